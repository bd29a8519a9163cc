// commonFunc: file-name sanitiser, percent-encoder, album folder rule, status hook and
// scratch file name (see commonFunc.h).
#include "album/commonFunc.h"

#include "platform/rtl/FileSys.h"

#include <utility>

namespace {

TStatusTextSink& StatusSink() {
    static TStatusTextSink sink;
    return sink;
}

bool IsUnsafeFileNameByte(unsigned char c) {
    if (c < 32 || c == 127) return true;
    switch (c) {
    case '*': case '?': case '"': case '/': case '\\': case '<': case '>': case '\'':
        return true;
    default:
        return false;
    }
}

bool IsUnreservedByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
}

// True when the name would be read by the file system as "this folder" or "the parent"
// (or, with trailing blanks, is unusable as a visible name): empty, or dots and blanks only.
bool IsDotsOrBlanksOnly(const std::string& name) {
    return name.find_first_not_of(". ") == std::string::npos;
}

// Cuts Text to at most MaxBytes without splitting a UTF-8 sequence. A sequence is at most
// four bytes, so the cut moves back over at most three continuation bytes; a longer run
// of them is no character at all and is cut where it stands (moving back further would
// eat the whole name, or leave ".." of "..\x80\x80...").
std::string CutAtCharBoundary(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t n = maxBytes;
    while (n > 0 && maxBytes - n < 3 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    if ((static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n = maxBytes;
    return text.substr(0, n);
}

}  // namespace

std::string SafeFileName(const std::string& Name) {
    std::string result = Name;
    for (char& c : result)
        if (IsUnsafeFileNameByte(static_cast<unsigned char>(c))) c = '_';
    return result;
}

std::string UrlEncode(const std::string& Text, bool SpaceAsPlus) {
    static const char hex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(Text.size());
    for (char ch : Text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (IsUnreservedByte(c)) {
            result += ch;
        } else if (c == ' ') {
            result += SpaceAsPlus ? "+" : "%20";
        } else {
            result += '%';
            result += hex[c >> 4];
            result += hex[c & 0x0F];
        }
    }
    return result;
}

std::string AlbumFolderName(const std::string& SafeTitle, const std::string& AlbumId) {
    // Sanitise again: the rule must hold whatever the caller passed in. The dots-and-blanks
    // test looks at the name after cutting, since a cut can leave "." or "..".
    std::string name = CutAtCharBoundary(SafeFileName(SafeTitle), MaxFolderNameBytes);
    if (IsDotsOrBlanksOnly(name))
        name = CutAtCharBoundary("album_" + SafeFileName(AlbumId), MaxFolderNameBytes);
    return name;
}

void SetStatusTextSink(TStatusTextSink Sink) { StatusSink() = std::move(Sink); }

void ShowStatusText(const std::string& Text) {
    if (StatusSink()) StatusSink()(Text);
}

std::string ScratchFileName() { return PrivateTempDir() + "1.txt"; }
