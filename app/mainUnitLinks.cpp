// mainUnitLinks: the promotional links of the status bar: LoadLinks fetches the list once
// while the main window is created, tmr1Timer shows the next link's caption every five
// seconds, statusLinkClick opens the address of the caption showing.
//
// LinkList holds caption, address, caption, address ... in server order. The rotation
// runs over the complete pairs present, at most MaxLinkPairs: LinkIndex stays within
// 0 ... LinkPairCount() - 1, and with no pair a tick or a click does nothing, so a short
// or missing list never makes an index error. Only web addresses are opened: the list is
// a server's text, and a local path or another scheme in it must not reach the desktop.
#include "app/mainUnit.h"

#include "app/commonDefine.h"
#include "platform/rtl/SysUtils.h"

#include <exception>

// ==== the list ===========================================================================

void SplitLinkText(const std::string& Text, TStringList& Into) {
    const size_t n = Text.size();
    size_t i = 0;
    auto separator = [](char c) { return c == '|' || c == '\r' || c == '\n'; };
    while (i < n) {
        while (i < n && (Text[i] == '\r' || Text[i] == '\n')) i++;
        std::string piece;
        while (i < n && !separator(Text[i])) {
            char c = Text[i];
            if (c == '\'' || c == '"') {
                // The quoted stretch, marks included; unclosed, it runs to the end.
                size_t close = Text.find(c, i + 1);
                size_t end = close == std::string::npos ? n : close + 1;
                piece.append(Text, i, end - i);
                i = end;
            } else {
                piece += c;
                i++;
            }
        }
        if (!piece.empty()) Into.Add(piece);
        if (i < n) i++;  // the separator
    }
}

int LinkPairCount() {
    if (!LinkList) return 0;
    int pairs = LinkList->Count() / 2;
    return pairs < MaxLinkPairs ? pairs : MaxLinkPairs;
}

void TMainForm::LoadLinks() {
    LinkList->Clear();
    TStringStream stream;
    httpcli1->SetURL(LinkServerUrl());
    httpcli1->SetRcvdStream(&stream);
    // Whatever arrived is used even when the request failed (an error page, a cut-off
    // answer); the error itself then goes on to the default handler.
    std::exception_ptr failure;
    try {
        httpcli1->Get();
    } catch (...) {
        failure = std::current_exception();
    }
    httpcli1->SetRcvdStream(nullptr);  // the stream ends here; the client must not keep it
    SplitLinkText(Utf8ToAnsi(stream.DataString()), *LinkList);
    if (failure) std::rethrow_exception(failure);
}

// ==== the rotation =======================================================================

void TMainForm::tmr1Timer(TObject*) {
    int pairs = LinkPairCount();
    if (pairs == 0) return;
    LinkIndex++;
    if (LinkIndex > pairs - 1 || LinkIndex < 0) LinkIndex = 0;
    statusLink->SetCaption(LinkList->Strings(2 * LinkIndex));
}

void TMainForm::statusLinkClick(TObject*) {
    int pairs = LinkPairCount();
    if (LinkIndex < 0 || LinkIndex >= pairs) return;
    const std::string& address = LinkList->Strings(2 * LinkIndex + 1);
    if (StartsText("http://", address) || StartsText("https://", address)) OpenWithShell(address);
}
