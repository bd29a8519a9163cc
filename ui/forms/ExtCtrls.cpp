// ExtCtrls: panel, image, HTML view, timer (see ExtCtrls.h).
#include "ui/forms/ExtCtrls.h"

#include "ui/forms/Backend.h"

// ---- panel ------------------------------------------------------------------------------

void TPanel::SetBevelInner(TBevelCut b) {
    if (b == FBevelInner) return;
    FBevelInner = b;
    Invalidate();
}

void TPanel::SetBevelOuter(TBevelCut b) {
    if (b == FBevelOuter) return;
    FBevelOuter = b;
    Invalidate();
}

// ---- image ------------------------------------------------------------------------------

TImage::TImage(TComponent* AOwner) : TControl(AOwner) {
    FPicture.OnChange = [this] { PictureChanged(); };
    // A stretched image never shows more pixels than the control has, so a large photo
    // is decoded at a reduced scale that still covers it: a thumbnail of a big photo then
    // costs a fraction of a full decode.
    FPicture.DecodeSizeHint = [this] {
        return FStretch && !FAutoSize ? std::make_pair(Width(), Height()) : std::make_pair(0, 0);
    };
}

void TImage::SetStretch(bool v) {
    if (v == FStretch) return;
    FStretch = v;
    Changed(TChange::Content);
}

void TImage::SetAutoSize(bool v) {
    if (v == FAutoSize) return;
    FAutoSize = v;
    if (v) PictureChanged();
}

void TImage::PictureChanged() {
    if (FAutoSize && FPicture.Width() > 0 && FPicture.Height() > 0)
        SetBounds(Left(), Top(), FPicture.Width(), FPicture.Height());
    Changed(TChange::Content);
}

// ---- HTML view --------------------------------------------------------------------------

THtmlView::THtmlView(TComponent* AOwner) : TControl(AOwner) { SetColor(clWindow); }

void THtmlView::SetHtml(const std::string& html) {
    if (html == FHtml) return;
    FHtml = html;
    Changed(TChange::Content);
}

// ---- timer ------------------------------------------------------------------------------

namespace {
constexpr UINT_PTR TimerId = 1;
}

TTimer::TTimer(TComponent* AOwner) : TComponent(AOwner) {
    FWindow = AllocateHWnd([this](TMessage& m) {
        if (m.Msg == WM_TIMER) Tick();
    });
    UpdateTimer();
}

TTimer::~TTimer() {
    FEnabled = false;
    UpdateTimer();
    DeallocateHWnd(FWindow);
}

void TTimer::SetInterval(UINT ms) {
    if (ms == FInterval) return;
    FInterval = ms;
    UpdateTimer();
}

void TTimer::SetEnabled(bool v) {
    if (v == FEnabled) return;
    FEnabled = v;
    UpdateTimer();
}

void TTimer::UpdateTimer() {
    KillTimer(FWindow, TimerId);
    FRunning = FEnabled && FInterval > 0 && SetTimer(FWindow, TimerId, FInterval, nullptr) != 0;
}

void TTimer::Tick() {
    DeliverEvent(this, [this] {
        if (OnTimer) OnTimer(this);
    });
}
