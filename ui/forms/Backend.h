// Backend: the window backend of the form toolkit, chosen once at start.
//
// A backend makes the widgets (peers) of controls, shows message boxes and popup menus.
// The headless backend, in force unless another is installed, makes no widgets: a message
// box is written to standard error and returns at once, a popup menu closes without a
// choice. The FLTK backend (ui/forms/FltkBackend.h, target ui_forms_fltk) draws real
// windows. Whatever the backend, user input reaches the model through the Deliver...
// functions, which run the same handlers a program or test runs directly and send any
// exception that escapes them to the application's HandleException.
#pragma once

#include <functional>
#include <memory>
#include <string>

class TControl;
class TControlPeer;
class TForm;
class TMenuItem;
class TObject;
class TPopupMenu;

class TWidgetBackend {
public:
    virtual ~TWidgetBackend() = default;
    virtual const char* Name() const = 0;
    // The widget for Control; its parent (if any) has its widget already. Null: none.
    virtual std::unique_ptr<TControlPeer> CreatePeer(TControl& control) = 0;
    // Shows a modal message box and returns when it is closed.
    virtual void ShowMessage(const std::string& title, const std::string& text) = 0;
    // Shows Menu at the screen point and returns the chosen item, or null.
    virtual TMenuItem* PopupMenu(TPopupMenu& menu, int x, int y) = 0;
};

// The backend in force (the headless one unless another was installed).
TWidgetBackend& WidgetBackend();
// Installs Backend (null: back to headless). Call before any form is shown.
void SetWidgetBackend(std::unique_ptr<TWidgetBackend> backend);
bool IsHeadless();

// ---- user input, from any backend (and from tests that act as the user) ---------------

// A click on Control: runs its Click() when the control and its parents are enabled.
void DeliverClick(TControl& control);
// A context click on Control at a screen point: opens its popup menu, if it has one, with
// Control as the menu's PopupComponent, and clicks the chosen item.
void DeliverContextMenu(TControl& control, int x, int y);
// The window's close box or Alt+F4 on Form.
void DeliverClose(TForm& form);
// Runs Action; an exception escaping it goes to the application's HandleException.
void DeliverEvent(TObject* sender, const std::function<void()>& action);
