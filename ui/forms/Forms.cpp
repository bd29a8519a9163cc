// Forms: forms and the application object with its message loop (see Forms.h).
#include "ui/forms/Forms.h"

#include "ui/forms/Backend.h"

#include <cstdio>
#include <exception>

TApplication* Application = nullptr;

namespace {
constexpr UINT CM_POSTEDCLICK = WM_USER + 0x7E01;

// The message of the exception being handled.
std::string CurrentExceptionMessage() {
    if (!std::current_exception()) return "Unknown exception";
    try {
        throw;
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}
}  // namespace

// ==== TForm ================================================================================

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner) {
    TControl::SetVisible(false);
    SetParentFont(false);
}

TForm::~TForm() = default;

int TForm::ClientWidth() const {
    int frame = FBorderStyle == bsNone ? 0 : 2 * FormFrameWidth;
    return Width() > frame ? Width() - frame : 0;
}

int TForm::ClientHeight() const {
    int frame = FBorderStyle == bsNone ? 0 : FormCaptionHeight + FormFrameWidth;
    return Height() > frame ? Height() - frame : 0;
}

void TForm::SetClientSize(int width, int height) {
    int fw = FBorderStyle == bsNone ? 0 : 2 * FormFrameWidth;
    int fh = FBorderStyle == bsNone ? 0 : FormCaptionHeight + FormFrameWidth;
    SetBounds(Left(), Top(), width + fw, height + fh);
}

void TForm::SetVisible(bool v) {
    if (v == Visible()) {
        if (v) BringToFront();
        return;
    }
    if (!v) {
        TControl::SetVisible(false);
        if (OnHide) OnHide(this);
        return;
    }
    CreatePeers();
    TControl::SetVisible(true);
    if (OnShow) OnShow(this);
}

void TForm::Show() {
    SetVisible(true);
    BringToFront();
}

void TForm::BringToFront() {
    if (Visible()) Changed(TChange::Front);
}

void TForm::Close() {
    TCloseAction action = caHide;
    if (OnClose) OnClose(this, action);
    if (action == caNone) return;
    if (Application && Application->MainForm() == this)
        Application->Terminate();
    else
        Hide();
}

void TForm::DoCreate() {
    if (FCreated) return;
    FCreated = true;
    DeliverEvent(this, [this] {
        if (OnCreate) OnCreate(this);
    });
}

void TForm::DoDestroy() {
    if (FDestroyed) return;
    FDestroyed = true;
    DeliverEvent(this, [this] {
        if (OnDestroy) OnDestroy(this);
    });
}

// ==== TApplication =========================================================================

TApplication::TApplication() : TComponent(nullptr) {
    if (Application) throw Exception("Only one application object can exist");
    Application = this;
    SetApplicationTerminated(false);
    FWindow = AllocateHWnd([](TMessage& m) {
        if (m.Msg != CM_POSTEDCLICK) return;
        auto* control = reinterpret_cast<TControl*>(m.LParam);
        if (TControl::IsAlive(control)) DeliverClick(*control);
    });
}

TApplication::~TApplication() {
    // Forms first learn that they go (newest first), while everything still exists.
    for (int i = ComponentCount() - 1; i >= 0; i--)
        if (auto* form = dynamic_cast<TForm*>(Components(i))) form->DoDestroy();
    DeallocateHWnd(FWindow);
    Application = nullptr;
}

void TApplication::Initialize() {
    // The interface thread's queue exists from here on; nothing else to prepare.
    ::ProcessMessages();
}

void TApplication::Run() {
    if (!FMainForm) return;
    if (FShowMainForm) FMainForm->Show();
    while (!Terminated()) {
        try {
            ::ProcessMessages();
            if (Terminated()) break;
            WaitMessage();
        } catch (...) {
            HandleException(this);
        }
    }
}

void TApplication::Terminate() {
    if (!Terminated()) PostQuitMessage(0);
}

bool TApplication::Terminated() const { return ApplicationTerminated(); }

void TApplication::ProcessMessages() { ::ProcessMessages(); }

void TApplication::HandleException(TObject* sender) {
    std::string message = CurrentExceptionMessage();
    FExceptionCount++;
    if (OnException) {
        OnException(sender, message);
        return;
    }
    ShowException(message);
}

void TApplication::ShowException(const std::string& message) { MessageBox(message, FTitle); }

void TApplication::MessageBox(const std::string& text, const std::string& caption) {
    FMessageLog.push_back(text);
    WidgetBackend().ShowMessage(caption, text);
}

void TApplication::PostClick(TControl* control) {
    PostMessageA(FWindow, CM_POSTEDCLICK, 0, reinterpret_cast<LPARAM>(control));
}

void ShowMessage(const std::string& text) {
    if (Application)
        Application->MessageBox(text, Application->Title());
    else
        WidgetBackend().ShowMessage("", text);
}
