// Backend: the backend in force, the headless backend and the delivery of user input
// (see Backend.h).
#include "ui/forms/Backend.h"

#include "ui/forms/Forms.h"
#include "ui/forms/Menus.h"

#include <cstdio>

namespace {

// Draws nothing: controls have no widgets, message boxes go to standard error, popup
// menus close without a choice.
class THeadlessBackend : public TWidgetBackend {
public:
    const char* Name() const override { return "headless"; }
    std::unique_ptr<TControlPeer> CreatePeer(TControl&) override { return nullptr; }
    void ShowMessage(const std::string& title, const std::string& text) override {
        std::fprintf(stderr, "%s: %s\n", title.empty() ? "message" : title.c_str(), text.c_str());
    }
    TMenuItem* PopupMenu(TPopupMenu&, int, int) override { return nullptr; }
};

std::unique_ptr<TWidgetBackend>& Installed() {
    static std::unique_ptr<TWidgetBackend> backend = std::make_unique<THeadlessBackend>();
    return backend;
}

// A control takes clicks only when it and every container above it are enabled.
bool EnabledUpwards(const TControl& control) {
    for (const TControl* c = &control; c; c = c->Parent())
        if (!c->Enabled()) return false;
    return true;
}

}  // namespace

TWidgetBackend& WidgetBackend() { return *Installed(); }

void SetWidgetBackend(std::unique_ptr<TWidgetBackend> backend) {
    Installed() = backend ? std::move(backend) : std::make_unique<THeadlessBackend>();
}

bool IsHeadless() { return dynamic_cast<THeadlessBackend*>(Installed().get()) != nullptr; }

void DeliverEvent(TObject* sender, const std::function<void()>& action) {
    try {
        action();
    } catch (...) {
        if (Application) {
            Application->HandleException(sender);
        } else {
            // No application to show it: say so rather than lose it.
            try {
                throw;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "unhandled: %s\n", e.what());
            } catch (...) {
                std::fprintf(stderr, "unhandled exception\n");
            }
        }
    }
}

void DeliverClick(TControl& control) {
    if (!EnabledUpwards(control)) return;
    DeliverEvent(&control, [&control] { control.Click(); });
}

void DeliverContextMenu(TControl& control, int x, int y) {
    TPopupMenu* menu = control.PopupMenu();
    if (!menu || !EnabledUpwards(control)) return;
    DeliverEvent(&control, [&] {
        menu->SetPopupComponent(&control);
        menu->Popup(x, y);
    });
}

void DeliverClose(TForm& form) {
    DeliverEvent(&form, [&form] { form.Close(); });
}
