// ExtCtrls: panel, image control, HTML view and timer.
//
// The timer is a non-visual component over a hidden window of the message platform:
// SetTimer/KillTimer on that window, WM_TIMER running OnTimer. It runs while Enabled and
// Interval > 0; any change of either restarts it. An exception escaping OnTimer goes to
// the application's HandleException and the timer goes on ticking.
#pragma once

#include "platform/messages/Messages.h"
#include "ui/forms/Controls.h"

enum TBevelCut { bvNone, bvLowered, bvRaised };

class TPanel : public TWinControl {
public:
    using TWinControl::TWinControl;
    TControlKind Kind() const override { return TControlKind::Panel; }
    TBevelCut BevelInner() const { return FBevelInner; }
    void SetBevelInner(TBevelCut b);
    TBevelCut BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TBevelCut b);

private:
    TBevelCut FBevelInner = bvNone;
    TBevelCut FBevelOuter = bvRaised;
};

// Shows Picture: stretched to the control with Stretch, otherwise at its own size from
// the top-left corner. With AutoSize the control takes the size of each non-empty picture.
class TImage : public TControl {
public:
    explicit TImage(TComponent* AOwner);
    TControlKind Kind() const override { return TControlKind::Image; }
    TPicture& Picture() { return FPicture; }
    const TPicture& Picture() const { return FPicture; }
    bool Stretch() const { return FStretch; }
    void SetStretch(bool v);
    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool v);

private:
    void PictureChanged();
    TPicture FPicture;
    bool FStretch = false;
    bool FAutoSize = false;
};

// Shows a page of HTML (or plain text, which is HTML without tags).
class THtmlView : public TControl {
public:
    explicit THtmlView(TComponent* AOwner);
    TControlKind Kind() const override { return TControlKind::HtmlView; }
    const std::string& Html() const { return FHtml; }
    void SetHtml(const std::string& html);

private:
    std::string FHtml;
};

class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* AOwner);
    ~TTimer() override;

    UINT Interval() const { return FInterval; }
    void SetInterval(UINT ms);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    // Whether the platform timer runs now (Enabled and Interval > 0).
    bool Running() const { return FRunning; }

    TNotifyEvent OnTimer;

private:
    void UpdateTimer();
    void Tick();
    HWND FWindow = nullptr;
    UINT FInterval = 1000;
    bool FEnabled = true;
    bool FRunning = false;
};
