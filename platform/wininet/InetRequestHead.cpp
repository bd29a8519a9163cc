// InetRequestHead: composing request heads and reading final answers (see InetRequestHead.h).
#include "platform/wininet/InetRequestHead.h"

#include "platform/rtl/SysUtils.h"

namespace inetwire {

// ==== request composition =====================================================================

// Spaces and bytes above 127 in an object name are percent-encoded so that the request
// line stays three words of plain ASCII; everything else goes as given.
std::string EncodeObject(const std::string& object) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : object) {
        if (c == ' ' || c >= 0x80) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    if (out.empty() || out[0] != '/') out = "/" + out;
    return out;
}

// The caller's extra header lines, checked: each is "Name: value" without control bytes.
bool SplitExtraHeaders(const std::string& text, std::vector<std::string>& lines) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(start, nl - start);
        start = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        size_t colon = line.find(':');
        if (!IsCleanText(line) || colon == std::string::npos || colon == 0 || line[0] == ' ')
            return false;
        // Framing headers are ours to write.
        if (SameText(Trim(line.substr(0, colon)), "Content-Length")) continue;
        lines.push_back(line);
    }
    return true;
}

TConnectionAsk AskForConnection(const std::string& version, bool keepConnection, const std::vector<std::string>& extra) {
    TConnectionAsk ask;
    bool keep = version == "HTTP/1.1" || (version == "HTTP/1.0" && keepConnection);
    ask.Version = keep ? "HTTP/1.1" : version;
    ask.Persistent = keep;
    // HTTP/1.0 closes by default; any other version is asked to.
    ask.Line = keep ? "Keep-Alive" : version == "HTTP/1.0" ? "" : "close";
    for (const std::string& line : extra) {
        size_t colon = line.find(':');
        if (!SameText(Trim(line.substr(0, colon)), "Connection")) continue;
        ask.Line.clear();  // the caller's line says it
        if (httpwire::ListHasToken(line.substr(colon + 1), "close")) ask.Persistent = false;
    }
    return ask;
}

std::string ComposeRequestHead(const TRequestFields& f) {
    std::string head = f.Verb + " " + f.Target + " " + f.Version + "\r\n";
    if (!f.Accept.empty()) head += "Accept: " + f.Accept + "\r\n";
    if (!f.Referer.empty()) head += "Referer: " + f.Referer + "\r\n";
    if (!f.Agent.empty()) head += "User-Agent: " + f.Agent + "\r\n";
    head += "Host: " + f.Host + "\r\n";
    if (!f.Credentials.empty()) head += "Authorization: Basic " + Base64(f.Credentials) + "\r\n";
    if (!f.ProxyCredentials.empty()) head += "Proxy-Authorization: Basic " + Base64(f.ProxyCredentials) + "\r\n";
    if (f.PragmaNoCache) head += "Pragma: no-cache\r\n";
    if (!f.Connection.empty()) head += "Connection: " + f.Connection + "\r\n";
    for (const std::string& line : f.Extra) head += line + "\r\n";
    if (f.SendsLength) head += "Content-Length: " + IntToStr(int64_t(f.BodyLength)) + "\r\n";
    return head + "\r\n";
}

// ==== answers ======================================================================================

// Interim 1xx answers skipped before the final one; real servers send one or two.
constexpr int MaxInterimAnswers = 16;

DWORD ReadFinalResponseHead(TInetSocket& sock, DWORD timeoutMs, TResponseHead& head) {
    DWORD r = ERROR_SUCCESS;
    for (int interim = 0; r == ERROR_SUCCESS; ++interim) {
        // A server that sends interim answers without end would hold the request
        // forever, each one a fresh head within the bounds.
        if (interim > MaxInterimAnswers) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        r = ReadResponseHead(sock, timeoutMs, head);
        if (r != ERROR_SUCCESS || head.Status < 100 || head.Status >= 200) break;
    }
    return r;
}

bool ClosedUnanswered(DWORD r, const TInetSocket& sock, uint64_t receivedBefore) {
    return r != ERROR_SUCCESS && r != ERROR_INTERNET_TIMEOUT && r != ERROR_INTERNET_OPERATION_CANCELLED &&
           sock.BytesReceived() == receivedBefore;
}

bool HeaderHasToken(const TResponseHead& head, const std::string& name, const std::string& token) {
    std::string value;
    for (size_t i = 0; head.Find(name, i, value); ++i)
        if (httpwire::ListHasToken(value, token)) return true;
    return false;
}

bool HeadKeepsConnection(const TResponseHead& head) {
    if (HeaderHasToken(head, "Connection", "close") || HeaderHasToken(head, "Proxy-Connection", "close"))
        return false;
    if (head.Version == "HTTP/1.0")
        return HeaderHasToken(head, "Connection", "keep-alive") ||
               HeaderHasToken(head, "Proxy-Connection", "keep-alive");
    return head.Version.compare(0, 7, "HTTP/1.") == 0;
}

}  // namespace inetwire
