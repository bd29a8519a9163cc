// FltkBackend: widget backend, event loop backend, message boxes, popup menus and fonts
// for FLTK (see FltkBackend.h).
//
// The message queue's wake descriptor is watched with Fl::add_fd. Its callback drains the
// descriptor, so that FLTK's own nested loops (a popup menu being open) never see it
// readable forever and spin; the queued messages themselves are handled by the platform
// loop as soon as the wait returns. Message boxes run on that loop (WaitUntil), so
// messages, timers and sockets go on while one is open.
#include "ui/forms/FltkBackend.h"

#include "platform/messages/Messages.h"
#include "ui/forms/Backend.h"
#include "ui/forms/FltkPeers.h"
#include "ui/forms/Forms.h"
#include "ui/forms/Menus.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Return_Button.H>
#include <FL/fl_draw.H>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {

// ---- the event loop ---------------------------------------------------------------------

class TFltkEventLoop : public TEventLoopBackend {
public:
    void WaitEvents(int wakeFd, int timeoutMs) override {
        Watch(wakeFd);
        Fl::wait(timeoutMs < 0 ? 1e20 : timeoutMs / 1000.0);
    }
    void CheckEvents() override { Fl::check(); }

private:
    static void Drain(FL_SOCKET fd, void*) {
        uint64_t value;
        ssize_t r = ::read(fd, &value, sizeof value);
        (void)r;
    }
    void Watch(int fd) {
        if (fd == FFd) return;
        if (FFd >= 0) Fl::remove_fd(FFd);
        Fl::add_fd(fd, FL_READ, Drain);
        FFd = fd;
    }
    int FFd = -1;
};

// ---- message boxes ------------------------------------------------------------------------

void CloseBox(Fl_Widget* w, void*) { w->window()->hide(); }

// A modal box with the text and an OK button, sized to the text.
void RunMessageBox(const std::string& title, const std::string& text) {
    fl_font(FL_HELVETICA, 13);
    int tw = 0, th = 0;
    fl_measure(text.c_str(), tw, th);
    if (tw > 560) {
        tw = 560;
        th = 0;
        fl_measure(text.c_str(), tw, th);
    }
    int w = std::max(tw + 40, 240), h = th + 80;
    Fl_Double_Window win(w, h);
    win.copy_label(title.c_str());
    Fl_Box box(20, 15, w - 40, th + 10);
    box.copy_label(text.c_str());
    box.labelsize(13);
    box.align(FL_ALIGN_INSIDE | FL_ALIGN_LEFT | FL_ALIGN_WRAP);
    Fl_Return_Button ok(w / 2 - 40, h - 40, 80, 26, "OK");
    ok.callback(CloseBox);
    win.end();
    win.set_modal();
    win.position((Fl::w() - w) / 2, (Fl::h() - h) / 2);
    win.show();
    WaitUntil([&] { return !win.shown() || ApplicationTerminated(); });
    win.hide();
}

// ---- the widget backend -------------------------------------------------------------------

class TFltkBackend : public TWidgetBackend {
public:
    const char* Name() const override { return "fltk"; }
    std::unique_ptr<TControlPeer> CreatePeer(TControl& control) override { return CreateFltkPeer(control); }
    void ShowMessage(const std::string& title, const std::string& text) override { RunMessageBox(title, text); }

    // FLTK places a popup at the last event's window coordinates, which is where the
    // context click happened; the screen point is not needed.
    TMenuItem* PopupMenu(TPopupMenu& menu, int, int) override {
        std::vector<Fl_Menu_Item> items;
        std::vector<TMenuItem*> targets;
        for (int i = 0; i < menu.Count(); i++) {
            TMenuItem* item = menu.Items(i);
            if (item->IsLine()) {
                if (!items.empty()) items.back().flags |= FL_MENU_DIVIDER;
                continue;
            }
            Fl_Menu_Item m{};
            m.text = item->Caption().c_str();
            m.labelfont_ = FL_HELVETICA;
            m.labelsize_ = 13;
            if (!item->Enabled()) m.flags |= FL_MENU_INACTIVE;
            items.push_back(m);
            targets.push_back(item);
        }
        if (items.empty()) return nullptr;
        items.push_back(Fl_Menu_Item{});  // terminator
        const Fl_Menu_Item* chosen = items.front().popup(Fl::event_x(), Fl::event_y());
        if (!chosen) return nullptr;
        return targets[size_t(chosen - items.data())];
    }
};

// Every face FLTK draws with becomes the CJK font, keeping bold and italic.
void MapFonts() {
    static const std::string normal = std::string(" ") + FltkCjkFontName;
    static const std::string bold = std::string("B") + FltkCjkFontName;
    static const std::string italic = std::string("I") + FltkCjkFontName;
    static const std::string boldItalic = std::string("P") + FltkCjkFontName;
    static const std::string mono = std::string(" ") + FltkCjkFontName + " Mono";
    static const std::string monoBold = std::string("B") + FltkCjkFontName + " Mono";
    for (Fl_Font base : {FL_HELVETICA, FL_TIMES}) {
        Fl::set_font(base, normal.c_str());
        Fl::set_font(base + 1, bold.c_str());
        Fl::set_font(base + 2, italic.c_str());
        Fl::set_font(base + 3, boldItalic.c_str());
    }
    Fl::set_font(FL_COURIER, mono.c_str());
    Fl::set_font(FL_COURIER_BOLD, monoBold.c_str());
    Fl::set_font(FL_COURIER_ITALIC, mono.c_str());
    Fl::set_font(FL_COURIER_BOLD_ITALIC, monoBold.c_str());
    FL_NORMAL_SIZE = 12;
}

TFltkEventLoop& EventLoop() {
    static TFltkEventLoop loop;
    return loop;
}

}  // namespace

bool UseFltkBackend(std::string& error) {
    // FLTK ends the process when it cannot open the display; ask Xlib first.
    Display* probe = XOpenDisplay(nullptr);
    if (!probe) {
        const char* name = std::getenv("DISPLAY");
        error = std::string("cannot open display \"") + (name ? name : "") + "\"";
        return false;
    }
    XCloseDisplay(probe);
    Fl::scheme("gtk+");
    MapFonts();
    Fl::visual(FL_DOUBLE | FL_RGB);
    SetWidgetBackend(std::make_unique<TFltkBackend>());
    SetEventLoopBackend(&EventLoop());
    return true;
}
