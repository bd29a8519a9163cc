// FltkPeers: FLTK widgets for forms, panels, labels, edits, memos, combo boxes, check
// boxes, buttons, images and HTML views (see FltkPeers.h).
//
// Organisation: TFltkPeer holds one widget and applies the changes common to all
// controls (bounds, visibility, enabled state, colour, font); a subclass per kind makes
// its widget and applies Caption and Content. Widget classes derived from FLTK's live in
// the anonymous namespace and hold a reference to their control, which outlives them
// (the control destroys its peer first).
#include "ui/forms/FltkPeers.h"

#include "ui/forms/Backend.h"
#include "ui/forms/ExtCtrls.h"
#include "ui/forms/Forms.h"
#include "ui/forms/StdCtrls.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Help_View.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Input_Choice.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Editor.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#include <cstdlib>
#include <string>

// ==== mapping ==============================================================================

Fl_Font FltkFont(const TFont& font) {
    bool bold = (font.Style() & fsBold) != 0, italic = (font.Style() & fsItalic) != 0;
    if (bold && italic) return FL_HELVETICA_BOLD_ITALIC;
    if (bold) return FL_HELVETICA_BOLD;
    if (italic) return FL_HELVETICA_ITALIC;
    return FL_HELVETICA;
}

// One pixel above the layout's character height: CJK glyphs lose strokes below 12 pixels.
int FltkFontSize(const TFont& font) {
    int px = font.PixelHeight();
    return px < 8 ? 12 : px + 1;
}

Fl_Color FltkColor(TColor color) {
    TColor rgb = ColorToRGB(color);
    return fl_rgb_color(GetRValue(rgb), GetGValue(rgb), GetBValue(rgb));
}

namespace {

// ==== the common peer ======================================================================

class TFltkPeer : public TControlPeer {
public:
    explicit TFltkPeer(TControl& control) : FControl(control) {}
    ~TFltkPeer() override { DeleteWidget(); }

    Fl_Widget* Widget() const { return FWidget; }
    // The group children are added to (containers only).
    virtual Fl_Group* Group() const { return nullptr; }

    void Changed(TChange what) override {
        if (!FWidget) return;
        switch (what) {
        case TChange::Bounds: ApplyBounds(); break;
        case TChange::Visible: ApplyVisible(); break;
        case TChange::Enabled:
            if (FControl.Enabled())
                FWidget->activate();
            else
                FWidget->deactivate();
            break;
        case TChange::Color: FWidget->color(FltkColor(FControl.Color())); break;
        case TChange::Font: ApplyFont(); break;
        case TChange::Caption: ApplyCaption(); break;
        case TChange::Content: ApplyContent(); break;
        case TChange::Front: ApplyFront(); break;
        case TChange::Repaint: break;
        }
        Redraw();
    }

protected:
    virtual void Redraw() { FWidget->redraw(); }
    void DeleteWidget() {
        if (!FWidget) return;
        // Out of the parent group first, so the group never deletes it a second time.
        if (Fl_Group* parent = FWidget->parent()) parent->remove(FWidget);
        delete FWidget;
        FWidget = nullptr;
    }
    // Takes ownership of W, places it in the parent's group and applies the whole model.
    void Adopt(Fl_Widget* w) {
        FWidget = w;
        if (TWinControl* parent = FControl.Parent())
            if (auto* pp = dynamic_cast<TFltkPeer*>(parent->Peer()))
                if (Fl_Group* g = pp->Group()) g->add(w);
        w->color(FltkColor(FControl.Color()));
        ApplyFont();
        ApplyCaption();
        ApplyContent();
        if (!FControl.Enabled()) w->deactivate();
        ApplyBounds();
        ApplyVisible();
    }
    virtual void ApplyBounds() {
        FWidget->resize(FControl.FormLeft(), FControl.FormTop(), FControl.Width(), FControl.Height());
    }
    virtual void ApplyVisible() {
        if (FControl.Visible())
            FWidget->show();
        else
            FWidget->hide();
    }
    virtual void ApplyFont() {
        FWidget->labelfont(FltkFont(FControl.Font()));
        FWidget->labelsize(FltkFontSize(FControl.Font()));
        FWidget->labelcolor(FltkColor(FControl.Font().Color()));
    }
    virtual void ApplyCaption() { FWidget->copy_label(FControl.Caption().c_str()); }
    virtual void ApplyContent() {}
    virtual void ApplyFront() {}

    TControl& FControl;
    Fl_Widget* FWidget = nullptr;
    bool FUpdating = false;  // writing the user's change into the model
};

// ==== forms ================================================================================

class TFlFormWindow : public Fl_Double_Window {
public:
    TFlFormWindow(TForm& form, int w, int h) : Fl_Double_Window(w, h), FForm(form) {}

    int handle(int event) override {
        // Alt+F4 closes the window as the window manager's close box does.
        if ((event == FL_KEYBOARD || event == FL_SHORTCUT) && Fl::event_key() == FL_F + 4 &&
            Fl::event_state(FL_ALT)) {
            DeliverClose(FForm);
            return 1;
        }
        int used = Fl_Double_Window::handle(event);
        if (event == FL_PUSH && !used && Fl::event_button() == FL_LEFT_MOUSE) {
            DeliverClick(FForm);  // a click on the form's own surface
            return 1;
        }
        return used;
    }

private:
    TForm& FForm;
};

class TFormPeer : public TFltkPeer {
public:
    explicit TFormPeer(TForm& form) : TFltkPeer(form), FForm(form) {
        auto* w = new TFlFormWindow(form, form.ClientWidth(), form.ClientHeight());
        w->end();
        w->resizable(nullptr);
        w->callback(OnWindowClose, this);
        FWindow = w;
        ApplyBounds();
        Adopt(w);
    }
    Fl_Group* Group() const override { return FWindow; }

protected:
    void ApplyBounds() override {
        int cw = FForm.ClientWidth(), ch = FForm.ClientHeight();
        int x = FForm.Left() + FormFrameWidth, y = FForm.Top() + FormCaptionHeight;
        if (FForm.Position() == poScreenCenter) {
            x = Fl::x() + (Fl::w() - FForm.Width()) / 2 + FormFrameWidth;
            y = Fl::y() + (Fl::h() - FForm.Height()) / 2 + FormCaptionHeight;
        }
        FWindow->resize(x, y, cw, ch);
        // A fixed size: the window manager offers no maximise and no resizing.
        if (!FForm.Resizable())
            FWindow->size_range(cw, ch, cw, ch);
        else
            FWindow->size_range(100, 50);
    }
    void ApplyVisible() override {
        if (FForm.Visible()) {
            FWindow->show();
            if (FForm.FormStyle() == fsStayOnTop) KeepAbove();
        } else {
            FWindow->hide();
        }
    }
    void ApplyFont() override {}
    void ApplyCaption() override { FWindow->copy_label(FForm.Caption().c_str()); }
    void ApplyFront() override {
        if (FWindow->shown()) FWindow->show();  // show() on a shown window raises it
    }

private:
    static void OnWindowClose(Fl_Widget*, void* self) {
        // Escape would close an FLTK window; a form closes only by its close box or Alt+F4.
        if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
        DeliverClose(static_cast<TFormPeer*>(self)->FForm);
    }
    // Asks the window manager to keep the window above others (no effect without one).
    void KeepAbove() {
        Display* d = fl_display;
        Window xid = fl_xid(FWindow);
        if (!d || !xid) return;
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = xid;
        e.xclient.message_type = XInternAtom(d, "_NET_WM_STATE", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = 1;  // add
        e.xclient.data.l[1] = long(XInternAtom(d, "_NET_WM_STATE_ABOVE", False));
        XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    }

    TForm& FForm;
    TFlFormWindow* FWindow = nullptr;
};

// ==== panels ===============================================================================

class TPanelPeer : public TFltkPeer {
public:
    explicit TPanelPeer(TPanel& panel) : TFltkPeer(panel), FPanel(panel) {
        FGroup = new Fl_Group(panel.FormLeft(), panel.FormTop(), panel.Width(), panel.Height());
        FGroup->end();
        FGroup->resizable(nullptr);
        FGroup->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE);
        Adopt(FGroup);
    }
    Fl_Group* Group() const override { return FGroup; }

    void Changed(TChange what) override {
        if (what == TChange::Repaint) ApplyContent();
        TFltkPeer::Changed(what);
    }

protected:
    void ApplyContent() override {
        switch (FPanel.BevelOuter()) {
        case bvRaised: FGroup->box(FL_THIN_UP_BOX); break;
        case bvLowered: FGroup->box(FL_THIN_DOWN_BOX); break;
        case bvNone: FGroup->box(FL_FLAT_BOX); break;
        }
    }
    // Moving a group moves its children with it in FLTK; put each back where the model
    // has it, since the model tells every descendant about the move anyway.
    void ApplyBounds() override {
        FGroup->Fl_Widget::resize(FControl.FormLeft(), FControl.FormTop(), FControl.Width(), FControl.Height());
    }

private:
    TPanel& FPanel;
    Fl_Group* FGroup = nullptr;
};

// ==== labels ===============================================================================

// Draws its caption left-aligned (or as the label's alignment says), vertically centred,
// in the control's font, colour and underline; clickable when it has a click handler.
class TFlLabel : public Fl_Widget {
public:
    TFlLabel(TLabel& label) : Fl_Widget(0, 0, 1, 1), FLabel(label) {}

    void draw() override {
        if (!FLabel.Transparent()) {
            fl_color(FltkColor(FLabel.Color()));
            fl_rectf(x(), y(), w(), h());
        }
        const TFont& f = FLabel.Font();
        fl_font(FltkFont(f), FltkFontSize(f));
        fl_color(active_r() ? FltkColor(f.Color()) : FL_INACTIVE_COLOR);
        const std::string& text = FLabel.Caption();
        Fl_Align align = FL_ALIGN_INSIDE | FL_ALIGN_CLIP | FL_ALIGN_LEFT;
        if (FLabel.Alignment() == taRightJustify) align = FL_ALIGN_INSIDE | FL_ALIGN_CLIP | FL_ALIGN_RIGHT;
        if (FLabel.Alignment() == taCenter) align = FL_ALIGN_INSIDE | FL_ALIGN_CLIP;
        fl_push_clip(x(), y(), w(), h());
        fl_draw(text.c_str(), x() + 2, y(), w() - 4, h(), align, nullptr, 0);
        if ((f.Style() & fsUnderline) && !text.empty()) {
            int tw = int(fl_width(text.c_str()));
            if (tw > w() - 4) tw = w() - 4;
            int lx = x() + 2;
            if (FLabel.Alignment() == taRightJustify) lx = x() + w() - 2 - tw;
            if (FLabel.Alignment() == taCenter) lx = x() + (w() - tw) / 2;
            int base = y() + (h() + fl_height()) / 2 - fl_descent() + 1;
            fl_line(lx, base, lx + tw, base);
        }
        fl_pop_clip();
    }

    int handle(int event) override {
        bool clickable = bool(FLabel.OnClick);
        switch (event) {
        case FL_ENTER:
            if (clickable) fl_cursor(FL_CURSOR_HAND);
            return clickable ? 1 : 0;
        case FL_LEAVE:
            if (clickable) fl_cursor(FL_CURSOR_DEFAULT);
            return clickable ? 1 : 0;
        case FL_PUSH: return clickable && Fl::event_button() == FL_LEFT_MOUSE ? 1 : 0;
        case FL_RELEASE:
            if (clickable && Fl::event_inside(this)) DeliverClick(FLabel);
            return 1;
        default: return Fl_Widget::handle(event);
        }
    }

private:
    TLabel& FLabel;
};

class TLabelPeer : public TFltkPeer {
public:
    explicit TLabelPeer(TLabel& label) : TFltkPeer(label) {
        Adopt(new TFlLabel(label));
    }

protected:
    void ApplyCaption() override {}  // drawn from the model
    // A transparent label paints no background, so its old caption is only wiped when
    // what lies behind it is drawn again: the parent redraws the label's area.
    void Redraw() override {
        Fl_Widget* w = Widget();
        Fl_Group* parent = w->parent();
        if (static_cast<TLabel&>(FControl).Transparent() && parent)
            parent->damage(FL_DAMAGE_ALL, w->x(), w->y(), w->w(), w->h());
        else
            w->redraw();
    }
};

// ==== edits, memos, combo boxes ============================================================

class TEditPeer : public TFltkPeer {
public:
    explicit TEditPeer(TEdit& edit) : TFltkPeer(edit) {
        FInput = new Fl_Input(edit.FormLeft(), edit.FormTop(), edit.Width(), edit.Height());
        FInput->when(FL_WHEN_CHANGED);
        FInput->callback(OnChanged, this);
        Adopt(FInput);
    }

protected:
    void ApplyFont() override {
        FInput->textfont(FltkFont(FControl.Font()));
        FInput->textsize(FltkFontSize(FControl.Font()));
        FInput->textcolor(FltkColor(FControl.Font().Color()));
    }
    void ApplyCaption() override {
        if (!FUpdating) FInput->value(FControl.Text().c_str());
    }

private:
    static void OnChanged(Fl_Widget*, void* p) {
        auto* self = static_cast<TEditPeer*>(p);
        self->FUpdating = true;
        DeliverEvent(&self->FControl, [self] { self->FControl.SetText(self->FInput->value()); });
        self->FUpdating = false;
    }
    Fl_Input* FInput = nullptr;
};

// Joins lines with LF, the text buffer's line end.
std::string JoinLines(const TStrings& lines) {
    std::string text;
    for (int i = 0; i < lines.Count(); i++) {
        if (i) text += '\n';
        text += lines[i];
    }
    return text;
}

class TMemoPeer : public TFltkPeer {
public:
    explicit TMemoPeer(TMemo& memo) : TFltkPeer(memo), FMemo(memo), FBuffer(std::make_unique<Fl_Text_Buffer>()) {
        FEditor = new Fl_Text_Editor(memo.FormLeft(), memo.FormTop(), memo.Width(), memo.Height());
        FEditor->buffer(FBuffer.get());
        FEditor->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
        FEditor->scrollbar_width(14);
        FBuffer->add_modify_callback(OnModified, this);
        Adopt(FEditor);
    }
    ~TMemoPeer() override {
        FBuffer->remove_modify_callback(OnModified, this);
        // The editor refers to the buffer, which is a member and would go first.
        DeleteWidget();
    }

protected:
    void ApplyFont() override {
        FEditor->textfont(FltkFont(FControl.Font()));
        FEditor->textsize(FltkFontSize(FControl.Font()));
        FEditor->textcolor(FltkColor(FControl.Font().Color()));
    }
    void ApplyCaption() override {}
    void ApplyContent() override {
        FEditor->box(FMemo.Ctl3D() ? FL_DOWN_BOX : FL_FLAT_BOX);
        if (FUpdating) return;
        FUpdating = true;
        FBuffer->text(JoinLines(FMemo.Lines()).c_str());
        FUpdating = false;
    }

private:
    static void OnModified(int, int, int, int, const char*, void* p) {
        auto* self = static_cast<TMemoPeer*>(p);
        if (self->FUpdating) return;
        self->FUpdating = true;
        char* text = self->FBuffer->text();
        std::string copy = text;
        free(text);
        DeliverEvent(&self->FControl, [&] { self->FMemo.Lines().SetText(copy); });
        self->FUpdating = false;
    }
    TMemo& FMemo;
    std::unique_ptr<Fl_Text_Buffer> FBuffer;  // outlives the editor (declared before use)
    Fl_Text_Editor* FEditor = nullptr;
};

// Menu labels treat "/" as a submenu separator and "\" as an escape; keep them literal.
std::string MenuLabel(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '/' || c == '\\' || c == '&' || c == '_') out += '\\';
        out += c;
    }
    return out;
}

class TComboPeer : public TFltkPeer {
public:
    explicit TComboPeer(TComboBox& combo) : TFltkPeer(combo), FCombo(combo) {
        FChoice = new Fl_Input_Choice(combo.FormLeft(), combo.FormTop(), combo.Width(), combo.Height());
        FChoice->callback(OnChanged, this);
        FChoice->when(FL_WHEN_CHANGED);
        Adopt(FChoice);
    }

protected:
    void ApplyFont() override {
        FChoice->textfont(FltkFont(FControl.Font()));
        FChoice->textsize(FltkFontSize(FControl.Font()));
    }
    void ApplyCaption() override {
        if (!FUpdating) FChoice->value(FControl.Text().c_str());
    }
    void ApplyContent() override {
        FChoice->clear();
        for (const std::string& item : FCombo.Items().Items()) FChoice->add(MenuLabel(item).c_str());
    }

private:
    static void OnChanged(Fl_Widget*, void* p) {
        auto* self = static_cast<TComboPeer*>(p);
        self->FUpdating = true;
        DeliverEvent(&self->FControl, [self] { self->FCombo.SetText(self->FChoice->value()); });
        self->FUpdating = false;
    }
    TComboBox& FCombo;
    Fl_Input_Choice* FChoice = nullptr;
};

// ==== check boxes and buttons ==============================================================

class TCheckPeer : public TFltkPeer {
public:
    explicit TCheckPeer(TCheckBox& box) : TFltkPeer(box), FBox(box) {
        FButton = new Fl_Check_Button(box.FormLeft(), box.FormTop(), box.Width(), box.Height());
        FButton->callback(OnToggled, this);
        Adopt(FButton);
    }

protected:
    void ApplyContent() override { FButton->value(FBox.Checked() ? 1 : 0); }

private:
    static void OnToggled(Fl_Widget*, void* p) {
        auto* self = static_cast<TCheckPeer*>(p);
        DeliverEvent(&self->FControl, [self] { self->FBox.SetChecked(self->FButton->value() != 0); });
    }
    TCheckBox& FBox;
    Fl_Check_Button* FButton = nullptr;
};

class TButtonPeer : public TFltkPeer {
public:
    explicit TButtonPeer(TButton& button) : TFltkPeer(button) {
        auto* b = new Fl_Button(button.FormLeft(), button.FormTop(), button.Width(), button.Height());
        b->callback(OnPressed, this);
        Adopt(b);
        b->color(FL_BACKGROUND_COLOR);
    }

private:
    static void OnPressed(Fl_Widget*, void* p) { DeliverClick(static_cast<TButtonPeer*>(p)->FControl); }
};

// ==== images ===============================================================================

// Draws the control's picture, stretched or at its own size; left click clicks the
// control, right click opens its popup menu.
class TFlImage : public Fl_Widget {
public:
    explicit TFlImage(TImage& image) : Fl_Widget(0, 0, 1, 1), FImage(image) {}
    ~TFlImage() override { Drop(); }

    // Forgets the drawn image; the next draw builds it from the model.
    void Drop() {
        delete FDrawn;
        FDrawn = nullptr;
    }

    void draw() override {
        const TGraphic* g = FImage.Picture().Graphic();
        if (!g || g->Empty()) return;
        int dw = FImage.Stretch() ? w() : g->Width(), dh = FImage.Stretch() ? h() : g->Height();
        if (!FDrawn || FDrawn->w() != dw || FDrawn->h() != dh) {
            Drop();
            Fl_RGB_Image source(g->Pixels().data(), g->Width(), g->Height(), 3);
            FDrawn = source.copy(dw, dh);  // its own pixels, scaled when stretched
        }
        fl_push_clip(x(), y(), w(), h());
        FDrawn->draw(x(), y());
        fl_pop_clip();
    }

    int handle(int event) override {
        switch (event) {
        case FL_PUSH:
            if (Fl::event_button() == FL_RIGHT_MOUSE) {
                DeliverContextMenu(FImage, Fl::event_x_root(), Fl::event_y_root());
                return 1;
            }
            return Fl::event_button() == FL_LEFT_MOUSE ? 1 : 0;
        case FL_RELEASE:
            if (Fl::event_button() == FL_LEFT_MOUSE && Fl::event_inside(this)) DeliverClick(FImage);
            return 1;
        default: return Fl_Widget::handle(event);
        }
    }

private:
    TImage& FImage;
    Fl_Image* FDrawn = nullptr;
};

class TImagePeer : public TFltkPeer {
public:
    explicit TImagePeer(TImage& image) : TFltkPeer(image) {
        FView = new TFlImage(image);
        Adopt(FView);
    }

protected:
    void ApplyCaption() override {}
    void ApplyContent() override { FView->Drop(); }
    void ApplyBounds() override {
        TFltkPeer::ApplyBounds();
        FView->Drop();
    }

private:
    TFlImage* FView = nullptr;
};

// ==== HTML views ===========================================================================

class THtmlPeer : public TFltkPeer {
public:
    explicit THtmlPeer(THtmlView& view) : TFltkPeer(view), FView(view) {
        FHelp = new Fl_Help_View(view.FormLeft(), view.FormTop(), view.Width(), view.Height());
        FHelp->link(IgnoreLink);
        FHelp->scrollbar_size(14);
        Adopt(FHelp);
    }

protected:
    void ApplyFont() override {
        FHelp->textfont(FltkFont(FControl.Font()));
        FHelp->textsize(FltkFontSize(FControl.Font()));
    }
    void ApplyCaption() override {}
    void ApplyContent() override { FHelp->value(FView.Html().c_str()); }

private:
    // Links are shown, not followed: the panel shows one page.
    static const char* IgnoreLink(Fl_Widget*, const char*) { return nullptr; }
    THtmlView& FView;
    Fl_Help_View* FHelp = nullptr;
};

}  // namespace

// ==== the factory ==========================================================================

std::unique_ptr<TControlPeer> CreateFltkPeer(TControl& control) {
    // A child gets a widget only inside a parent that has one.
    if (control.Parent() && !dynamic_cast<TFltkPeer*>(control.Parent()->Peer())) return nullptr;
    switch (control.Kind()) {
    case TControlKind::Form: return std::make_unique<TFormPeer>(static_cast<TForm&>(control));
    case TControlKind::Panel: return std::make_unique<TPanelPeer>(static_cast<TPanel&>(control));
    case TControlKind::Label: return std::make_unique<TLabelPeer>(static_cast<TLabel&>(control));
    case TControlKind::Edit: return std::make_unique<TEditPeer>(static_cast<TEdit&>(control));
    case TControlKind::Memo: return std::make_unique<TMemoPeer>(static_cast<TMemo&>(control));
    case TControlKind::ComboBox: return std::make_unique<TComboPeer>(static_cast<TComboBox&>(control));
    case TControlKind::CheckBox: return std::make_unique<TCheckPeer>(static_cast<TCheckBox&>(control));
    case TControlKind::Button: return std::make_unique<TButtonPeer>(static_cast<TButton&>(control));
    case TControlKind::Image: return std::make_unique<TImagePeer>(static_cast<TImage&>(control));
    case TControlKind::HtmlView: return std::make_unique<THtmlPeer>(static_cast<THtmlView&>(control));
    }
    return nullptr;
}
