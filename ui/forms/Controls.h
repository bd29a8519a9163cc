// Controls: the model of every visible control of the form toolkit.
//
// A control is a component with a parent (the container it sits in), geometry relative to
// that parent, a caption, colour, font, visible and enabled state, an optional popup menu
// and a click event. The model is the truth: setters change the model first and then tell
// the control's peer (its widget in the window backend, if any) what changed, so a
// headless program behaves exactly as a windowed one minus the drawing. Every change that
// would repaint counts as one repaint request; a setter given the current value changes
// nothing and requests no repaint.
//
// Invariants: a control is in its parent's child list exactly while Parent() is that
// container; peers exist only while the parent's peer exists (children's peers are
// destroyed before their parent's).
#pragma once

#include "platform/rtl/Classes.h"
#include "ui/forms/Graphics.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TWinControl;
class TPopupMenu;
class TControlPeer;

// What kind of widget a control needs; subclasses outside the toolkit reuse a kind.
enum class TControlKind { Form, Panel, Label, Edit, Memo, ComboBox, CheckBox, Button, Image, HtmlView };

// What changed, so that a peer updates only that.
enum class TChange { Bounds, Caption, Visible, Enabled, Color, Font, Content, Repaint, Front };

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// ---- notifying string list ----------------------------------------------------------

// An ordered list of texts (a memo's lines, a combo box's items) that reports every change
// to its control through OnChange. Index access throws EListError as TStringList does.
class TStrings {
public:
    int Count() const { return FList.Count(); }
    int Add(const std::string& s);
    void Insert(int index, const std::string& s);
    void Delete(int index);
    void Clear();
    const std::string& Strings(int index) const { return FList.Strings(index); }
    const std::string& operator[](int index) const { return FList.Strings(index); }
    void SetStrings(int index, const std::string& s);
    int IndexOf(const std::string& s) const { return FList.IndexOf(s); }
    std::string Text() const { return FList.Text(); }
    void SetText(const std::string& text);
    const std::vector<std::string>& Items() const { return FList.Items(); }

    std::function<void()> OnChange;

private:
    void Changed() {
        if (OnChange) OnChange();
    }
    TStringList FList;
};

// ---- controls ------------------------------------------------------------------------

class TControl : public TComponent {
public:
    explicit TControl(TComponent* AOwner);
    ~TControl() override;

    virtual TControlKind Kind() const = 0;

    TWinControl* Parent() const { return FParent; }
    // Moves the control into Parent's child list (null: out of any). Takes the parent's
    // font while ParentFont is set, and gets a widget when the parent has one.
    void SetParent(TWinControl* parent);

    int Left() const { return FLeft; }
    int Top() const { return FTop; }
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }
    void SetLeft(int v) { SetBounds(v, FTop, FWidth, FHeight); }
    void SetTop(int v) { SetBounds(FLeft, v, FWidth, FHeight); }
    void SetWidth(int v) { SetBounds(FLeft, FTop, v, FHeight); }
    void SetHeight(int v) { SetBounds(FLeft, FTop, FWidth, v); }
    virtual void SetBounds(int left, int top, int width, int height);
    // Position of the control's top-left corner in its form's client area.
    int FormLeft() const;
    int FormTop() const;

    // Caption and Text are one value, as in the original toolkit.
    const std::string& Caption() const { return FText; }
    void SetCaption(const std::string& s);
    const std::string& Text() const { return FText; }
    void SetText(const std::string& s) { SetCaption(s); }

    bool Visible() const { return FVisible; }
    virtual void SetVisible(bool v);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v);
    TColor Color() const { return FColor; }
    void SetColor(TColor c);
    TFont& Font() { return FFont; }
    const TFont& Font() const { return FFont; }
    bool ParentFont() const { return FParentFont; }
    void SetParentFont(bool v);
    TAlign Align() const { return FAlign; }
    void SetAlign(TAlign a);
    TPopupMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(TPopupMenu* menu);

    // Runs OnClick (skipped when empty). User clicks arrive here through DeliverClick.
    virtual void Click();
    TNotifyEvent OnClick;

    // Asks for a repaint; counted, so tests can see that nothing was repainted.
    void Invalidate() { Changed(TChange::Repaint); }
    int RepaintRequests() const { return FRepaintRequests; }

    // ---- backend side ----
    TControlPeer* Peer() const { return FPeer.get(); }
    // Creates the widgets of this control and its children (when the backend makes any).
    void CreatePeers();
    // Destroys the widgets of the children, then this control's.
    void DestroyPeers();
    // True while the control exists; guards posted clicks against destroyed controls.
    static bool IsAlive(const TControl* control);

protected:
    // Records a change, counts a repaint request and tells the peer.
    void Changed(TChange what);
    // Called on the peer of every descendant when the control moved.
    void NotifyDescendants(TChange what);
    virtual void ParentFontChanged();

private:
    friend class TWinControl;
    friend class TPopupMenu;

    TWinControl* FParent = nullptr;
    int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
    std::string FText;
    bool FVisible = true;
    bool FEnabled = true;
    TColor FColor = clBtnFace;
    TFont FFont;
    bool FParentFont = true;
    TAlign FAlign = alNone;
    TPopupMenu* FPopupMenu = nullptr;
    int FRepaintRequests = 0;
    std::unique_ptr<TControlPeer> FPeer;
};

// A control that holds other controls.
class TWinControl : public TControl {
public:
    using TControl::TControl;
    ~TWinControl() override;

    int ControlCount() const { return int(FControls.size()); }
    TControl* Controls(int index) const;
    // The client area; a form's is smaller than its outer size.
    virtual int ClientWidth() const { return Width(); }
    virtual int ClientHeight() const { return Height(); }
    void SetBounds(int left, int top, int width, int height) override;

protected:
    // Places aligned children (bottom and top bars, client fill) inside the client area.
    void AlignControls();
    void ParentFontChanged() override;

private:
    friend class TControl;
    std::vector<TControl*> FControls;  // children in insertion order; not owned
};

// ---- the peer interface ----------------------------------------------------------------

// The widget of one control in a window backend. It reads what it needs from its control.
class TControlPeer {
public:
    virtual ~TControlPeer() = default;
    virtual void Changed(TChange what) = 0;
};
