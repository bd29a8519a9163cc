// Controls: the control model and its link to the backend's widgets (see Controls.h).
#include "ui/forms/Controls.h"

#include "ui/forms/Backend.h"
#include "ui/forms/Menus.h"

#include <algorithm>
#include <unordered_set>

namespace {
// Controls in existence; touched on the interface thread only.
std::unordered_set<const TControl*>& LiveControls() {
    static std::unordered_set<const TControl*> live;
    return live;
}
}  // namespace

// ==== notifying string list =============================================================

int TStrings::Add(const std::string& s) {
    int i = FList.Add(s);
    Changed();
    return i;
}

void TStrings::Insert(int index, const std::string& s) {
    FList.Insert(index, s);
    Changed();
}

void TStrings::Delete(int index) {
    FList.Delete(index);
    Changed();
}

void TStrings::Clear() {
    if (FList.Count() == 0) return;
    FList.Clear();
    Changed();
}

void TStrings::SetStrings(int index, const std::string& s) {
    if (FList.Strings(index) == s) return;
    FList.SetStrings(index, s);
    Changed();
}

void TStrings::SetText(const std::string& text) {
    FList.SetText(text);
    Changed();
}

// ==== TControl ==========================================================================

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {
    LiveControls().insert(this);
    // A font set on the control itself ends ParentFont and passes on to the children
    // that take their parent's font.
    FFont.OnChange = [this] {
        FParentFont = false;
        Changed(TChange::Font);
        if (auto* self = dynamic_cast<TWinControl*>(this))
            for (TControl* c : self->FControls) c->ParentFontChanged();
    };
}

TControl::~TControl() {
    LiveControls().erase(this);
    if (FPopupMenu) FPopupMenu->Detach(this);
    DestroyPeers();
    SetParent(nullptr);
}

bool TControl::IsAlive(const TControl* control) { return LiveControls().count(control) != 0; }

void TControl::SetParent(TWinControl* parent) {
    if (parent == FParent) return;
    if (FParent) {
        DestroyPeers();
        auto& list = FParent->FControls;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    FParent = parent;
    if (!parent) return;
    parent->FControls.push_back(this);
    if (FParentFont) ParentFontChanged();
    if (FAlign != alNone) parent->AlignControls();
    if (parent->Peer()) CreatePeers();
}

void TControl::SetBounds(int left, int top, int width, int height) {
    if (left == FLeft && top == FTop && width == FWidth && height == FHeight) return;
    FLeft = left;
    FTop = top;
    FWidth = width;
    FHeight = height;
    Changed(TChange::Bounds);
    NotifyDescendants(TChange::Bounds);
}

int TControl::FormLeft() const {
    int x = 0;
    for (const TControl* c = this; c && c->FParent; c = c->FParent) x += c->FLeft;
    return x;
}

int TControl::FormTop() const {
    int y = 0;
    for (const TControl* c = this; c && c->FParent; c = c->FParent) y += c->FTop;
    return y;
}

void TControl::SetCaption(const std::string& s) {
    if (s == FText) return;  // an equal caption changes nothing, not even a repaint
    FText = s;
    Changed(TChange::Caption);
}

void TControl::SetVisible(bool v) {
    if (v == FVisible) return;
    FVisible = v;
    Changed(TChange::Visible);
}

void TControl::SetEnabled(bool v) {
    if (v == FEnabled) return;
    FEnabled = v;
    Changed(TChange::Enabled);
}

void TControl::SetColor(TColor c) {
    if (c == FColor) return;
    FColor = c;
    Changed(TChange::Color);
}

void TControl::SetParentFont(bool v) {
    FParentFont = v;
    if (v) ParentFontChanged();
}

void TControl::ParentFontChanged() {
    if (!FParent || !FParentFont) return;
    if (FFont.SameAs(FParent->Font())) return;
    // Taking the parent's font is not setting one of our own: keep ParentFont on.
    auto keep = std::move(FFont.OnChange);
    FFont.Assign(FParent->Font());
    FFont.OnChange = std::move(keep);
    Changed(TChange::Font);
}

void TControl::SetAlign(TAlign a) {
    if (a == FAlign) return;
    FAlign = a;
    if (FParent) FParent->AlignControls();
}

void TControl::SetPopupMenu(TPopupMenu* menu) {
    if (menu == FPopupMenu) return;
    if (FPopupMenu) FPopupMenu->Detach(this);
    FPopupMenu = menu;
    if (menu) menu->Attach(this);
}

void TControl::Click() {
    if (OnClick) OnClick(this);
}

void TControl::Changed(TChange what) {
    FRepaintRequests++;
    if (FPeer) FPeer->Changed(what);
}

void TControl::NotifyDescendants(TChange what) {
    auto* self = dynamic_cast<TWinControl*>(this);
    if (!self) return;
    for (TControl* c : self->FControls) {
        if (c->FPeer) c->FPeer->Changed(what);
        c->NotifyDescendants(what);
    }
}

void TControl::CreatePeers() {
    if (!FPeer) FPeer = WidgetBackend().CreatePeer(*this);
    if (!FPeer) return;  // the headless backend makes no widgets
    if (auto* self = dynamic_cast<TWinControl*>(this))
        for (TControl* c : self->FControls) c->CreatePeers();
}

void TControl::DestroyPeers() {
    if (auto* self = dynamic_cast<TWinControl*>(this))
        for (TControl* c : self->FControls) c->DestroyPeers();
    FPeer.reset();
}

// ==== TWinControl =======================================================================

TWinControl::~TWinControl() {
    DestroyPeers();
    // Children are freed by their owner later; they must not reach back into this list.
    for (TControl* c : FControls) c->FParent = nullptr;
    FControls.clear();
}

TControl* TWinControl::Controls(int index) const {
    if (index < 0 || index >= ControlCount())
        throw EListError("List index out of bounds (" + IntToStr(index) + ")");
    return FControls[size_t(index)];
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
    bool resized = width != Width() || height != Height();
    TControl::SetBounds(left, top, width, height);
    if (resized) AlignControls();
}

void TWinControl::AlignControls() {
    int top = 0, bottom = ClientHeight(), left = 0, right = ClientWidth();
    for (TControl* c : FControls) {
        switch (c->FAlign) {
        case alTop:
            c->SetBounds(left, top, right - left, c->Height());
            top += c->Height();
            break;
        case alBottom:
            c->SetBounds(left, bottom - c->Height(), right - left, c->Height());
            bottom -= c->Height();
            break;
        default: break;
        }
    }
    for (TControl* c : FControls) {
        switch (c->FAlign) {
        case alLeft:
            c->SetBounds(left, top, c->Width(), bottom - top);
            left += c->Width();
            break;
        case alRight:
            c->SetBounds(right - c->Width(), top, c->Width(), bottom - top);
            right -= c->Width();
            break;
        default: break;
        }
    }
    for (TControl* c : FControls)
        if (c->FAlign == alClient) c->SetBounds(left, top, right - left, bottom - top);
}

void TWinControl::ParentFontChanged() {
    TControl::ParentFontChanged();
    for (TControl* c : FControls) c->ParentFontChanged();
}
