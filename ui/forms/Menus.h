// Menus: popup menus and their items.
//
// A popup menu is a component holding items in order; an item with the caption "-" is a
// separator and cannot be clicked. Controls attach a popup menu through SetPopupMenu; the
// menu keeps the list of controls attached to it so that, when the menu goes first, no
// control keeps a pointer to it. PopupComponent is the control the menu was last opened
// on, which the items' handlers read.
#pragma once

#include "platform/rtl/Classes.h"

#include <string>
#include <vector>

class TControl;
class TPopupMenu;

class TMenuItem : public TComponent {
public:
    // Owner: the form (or the menu); the item joins Menu's item list when Menu is given.
    TMenuItem(TComponent* AOwner, TPopupMenu* menu = nullptr);
    ~TMenuItem() override;

    const std::string& Caption() const { return FCaption; }
    void SetCaption(const std::string& s) { FCaption = s; }
    bool IsLine() const { return FCaption == "-"; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool v) { FEnabled = v; }
    TPopupMenu* Menu() const { return FMenu; }

    // Runs OnClick unless the item is a separator or disabled.
    void Click();
    TNotifyEvent OnClick;

private:
    friend class TPopupMenu;
    std::string FCaption;
    bool FEnabled = true;
    TPopupMenu* FMenu = nullptr;
};

class TPopupMenu : public TComponent {
public:
    using TComponent::TComponent;
    ~TPopupMenu() override;

    int Count() const { return int(FItems.size()); }
    TMenuItem* Items(int index) const;
    void Add(TMenuItem* item);

    // The control the menu was opened on (null before the first popup).
    TControl* PopupComponent() const { return FPopupComponent; }
    void SetPopupComponent(TControl* c) { FPopupComponent = c; }
    // Shows the menu at a screen point through the backend and clicks the chosen item.
    void Popup(int x, int y);
    TNotifyEvent OnPopup;

private:
    friend class TControl;
    friend class TMenuItem;
    void Attach(TControl* c) { FAttached.push_back(c); }
    void Detach(TControl* c);
    void Remove(TMenuItem* item);

    std::vector<TMenuItem*> FItems;     // not owned (the owner frees them)
    std::vector<TControl*> FAttached;   // controls whose PopupMenu is this menu
    TControl* FPopupComponent = nullptr;
};
