// Fuzz target of the HTTP response parser: the input is the byte stream a server sends.
// The first byte chooses the request kind (HEAD or not) and the slice size, so that the
// same response is also cut at varying places; the rest is fed to the parser as it would
// arrive from the socket, followed by the end of the connection. The sink checks what
// must always hold: no event after a failure or a halt, no more body than input, header
// lines without line ends and within their bound.
#include "net/http/HttpParser.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class TCheckingSink : public THttpResponseSink {
public:
    THttpResponseParser* Parser = nullptr;
    size_t Body = 0;
    bool Ended = false;

    void Check() const {
        if (Ended || Parser->Failed()) std::abort();
    }
    void ResponseHeaderLine(const std::string& line, THttpLineKind, THttpField,
                            const std::string&) override {
        Check();
        if (line.empty() || line.size() >= THttpResponseParser::MaxLine ||
            line.find('\n') != std::string::npos)
            std::abort();
    }
    void ResponseNoHeader() override { Check(); }
    void ResponseHeaderEnd() override { Check(); }
    void ResponseBody(const char*, size_t len) override {
        Check();
        Body += len;
    }
    void ResponseComplete() override {
        Check();
        Ended = true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool head = data[0] & 0x80;
    const size_t slice = (data[0] & 0x7F) + 1;
    TCheckingSink sink;
    THttpResponseParser parser(sink);
    sink.Parser = &parser;
    parser.Reset(head);
    const char* p = reinterpret_cast<const char*>(data) + 1;
    size_t left = size - 1;
    while (left > 0) {
        size_t n = left < slice ? left : slice;
        parser.Feed(p, n);
        p += n;
        left -= n;
    }
    parser.Finish();
    if (sink.Body > size) std::abort();
    if (parser.Failed() != (parser.Error() != nullptr)) std::abort();
    return 0;
}
