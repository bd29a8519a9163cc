// links_fuzz: the link server's answer, as any bytes, through the conversion from UTF-8
// and the splitting rule of the promotional links. Checks what the rotation relies on:
// no entry is empty, none starts with a line break, every entry is a piece of the text,
// and together they are never longer than the text.
#include "app/mainUnit.h"
#include "platform/rtl/SysUtils.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = Utf8ToAnsi(std::string(reinterpret_cast<const char*>(data), size));
    TStringList list;
    SplitLinkText(text, list);
    size_t total = 0;
    for (const std::string& entry : list.Items()) {
        if (entry.empty() || entry[0] == '\r' || entry[0] == '\n') std::abort();
        if (text.find(entry) == std::string::npos) std::abort();
        total += entry.size();
    }
    if (total > text.size()) std::abort();
    return 0;
}
