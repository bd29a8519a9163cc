// Menus: popup menus and items (see Menus.h).
#include "ui/forms/Menus.h"

#include "ui/forms/Backend.h"
#include "ui/forms/Controls.h"

#include <algorithm>

TMenuItem::TMenuItem(TComponent* AOwner, TPopupMenu* menu) : TComponent(AOwner) {
    if (menu) menu->Add(this);
}

TMenuItem::~TMenuItem() {
    if (FMenu) FMenu->Remove(this);
}

void TMenuItem::Click() {
    if (IsLine() || !FEnabled) return;
    if (OnClick) OnClick(this);
}

TPopupMenu::~TPopupMenu() {
    for (TControl* c : FAttached) c->FPopupMenu = nullptr;
    for (TMenuItem* item : FItems) item->FMenu = nullptr;
}

TMenuItem* TPopupMenu::Items(int index) const {
    if (index < 0 || index >= Count()) throw EListError("List index out of bounds (" + IntToStr(index) + ")");
    return FItems[size_t(index)];
}

void TPopupMenu::Add(TMenuItem* item) {
    if (item->FMenu) item->FMenu->Remove(item);
    item->FMenu = this;
    FItems.push_back(item);
}

void TPopupMenu::Remove(TMenuItem* item) {
    FItems.erase(std::remove(FItems.begin(), FItems.end(), item), FItems.end());
    item->FMenu = nullptr;
}

void TPopupMenu::Detach(TControl* c) {
    FAttached.erase(std::remove(FAttached.begin(), FAttached.end(), c), FAttached.end());
    if (FPopupComponent == c) FPopupComponent = nullptr;
}

void TPopupMenu::Popup(int x, int y) {
    if (OnPopup) OnPopup(this);
    // The choice is clicked after the menu has closed, as a menu command arrives.
    TMenuItem* chosen = WidgetBackend().PopupMenu(*this, x, y);
    if (chosen) chosen->Click();
}
