// Forms: forms (top-level windows) and the application object.
//
// The application object owns the forms and runs the message loop of the interface
// thread: Run shows the main form and then alternates "process all pending messages"
// with "wait for the next message" (platform/messages) until the main form closes, so an
// idle program sleeps in the wait. With the FLTK backend the same wait also handles the
// window system's events: there is one loop.
//
// Errors: every handler the toolkit runs on behalf of the user or a timer goes through
// DeliverEvent; an exception escaping it goes to HandleException, which shows the message
// in a message box (headless: records it and writes it to standard error) and returns, so
// the loop goes on. Anything else that escapes a dispatched message ends up there as well.
//
// Form geometry: Width and Height are the outer size, frame and title bar included, as in
// the window layouts; the client area is smaller by FormFrameWidth on the left, right and
// bottom and by FormCaptionHeight at the top.
#pragma once

#include "platform/messages/Messages.h"
#include "ui/forms/Controls.h"

#include <string>
#include <vector>

constexpr int FormFrameWidth = 4;
constexpr int FormCaptionHeight = 30;

enum : uint32_t { biSystemMenu = 1, biMinimize = 2, biMaximize = 4, biHelp = 8 };
using TBorderIcons = uint32_t;
enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog };
enum TPosition { poDesigned, poScreenCenter };
enum TFormStyle { fsNormal, fsStayOnTop };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm : public TWinControl {
public:
    explicit TForm(TComponent* AOwner);
    ~TForm() override;
    TControlKind Kind() const override { return TControlKind::Form; }

    int ClientWidth() const override;
    int ClientHeight() const override;
    void SetClientSize(int width, int height);

    TBorderIcons BorderIcons() const { return FBorderIcons; }
    void SetBorderIcons(TBorderIcons b) { FBorderIcons = b; }
    TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TFormBorderStyle b) { FBorderStyle = b; }
    // Whether the user can change the size, or maximise the window.
    bool Resizable() const { return FBorderStyle == bsSizeable; }
    bool CanMaximize() const { return (FBorderIcons & biMaximize) != 0 && Resizable(); }
    TPosition Position() const { return FPosition; }
    void SetPosition(TPosition p) { FPosition = p; }
    TFormStyle FormStyle() const { return FFormStyle; }
    void SetFormStyle(TFormStyle s) { FFormStyle = s; }

    // Showing a hidden form runs OnShow; showing a shown form only brings it to the front.
    void SetVisible(bool v) override;
    void Show();
    void Hide() { SetVisible(false); }
    void BringToFront();
    // Runs OnClose (default action: hide). Closing the main form ends the application.
    void Close();

    // Runs OnCreate once; an exception goes to HandleException. Called by CreateForm.
    void DoCreate();
    // Runs OnDestroy once, before the form's own parts go. Called by the owner.
    void DoDestroy();

    TNotifyEvent OnCreate;
    TNotifyEvent OnDestroy;
    TNotifyEvent OnShow;
    TNotifyEvent OnHide;
    std::function<void(TObject* Sender, TCloseAction& Action)> OnClose;

private:
    TBorderIcons FBorderIcons = biSystemMenu | biMinimize | biMaximize;
    TFormBorderStyle FBorderStyle = bsSizeable;
    TPosition FPosition = poDesigned;
    TFormStyle FFormStyle = fsNormal;
    bool FCreated = false;
    bool FDestroyed = false;
};

class TApplication : public TComponent {
public:
    // Becomes the global Application; only one exists at a time.
    TApplication();
    // Runs OnDestroy of every form (newest first) before the forms are freed.
    ~TApplication() override;

    void Initialize();
    const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& t) { FTitle = t; }

    // Creates a form owned by the application. Reference is set before OnCreate runs,
    // so the creation handler can reach the form through its global; the first form
    // created becomes the main form.
    template <class T>
    void CreateForm(T*& reference) {
        T* form = new T(this);  // owned by the application from here on
        reference = form;
        form->DoCreate();
        if (!FMainForm) FMainForm = form;
    }
    TForm* MainForm() const { return FMainForm; }
    bool ShowMainForm() const { return FShowMainForm; }
    void SetShowMainForm(bool v) { FShowMainForm = v; }

    // The message loop: shows the main form and returns when it has closed (or at once
    // when there is no main form).
    void Run();
    // Ends the loop (posts WM_QUIT).
    void Terminate();
    bool Terminated() const;
    // Handles every pending message and window event, then returns.
    void ProcessMessages();

    // Shows the message of the exception being handled (call inside a catch block).
    void HandleException(TObject* sender);
    // Shows an error message in a message box (recorded, headless: on standard error).
    void ShowException(const std::string& message);
    // A message box with an OK button; returns when it is closed.
    void MessageBox(const std::string& text, const std::string& caption);
    // Every message box shown so far, oldest first (tests read them).
    const std::vector<std::string>& MessageLog() const { return FMessageLog; }
    int ExceptionCount() const { return FExceptionCount; }
    // When assigned, exceptions go here instead of a message box.
    std::function<void(TObject* Sender, const std::string& Message)> OnException;

    // Queues a user click on Control, delivered by the loop as a widget's click would be.
    // Dropped when the control no longer exists then.
    void PostClick(TControl* control);

private:
    std::string FTitle = "Albrivo";
    TForm* FMainForm = nullptr;
    bool FShowMainForm = true;
    std::vector<std::string> FMessageLog;
    int FExceptionCount = 0;
    HWND FWindow = nullptr;
};

// The application object in existence (null before and after it).
extern TApplication* Application;

// A message box with the application's title.
void ShowMessage(const std::string& text);
