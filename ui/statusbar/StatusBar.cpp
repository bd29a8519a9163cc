// StatusBar: status bar and panes (see StatusBar.h).
#include "ui/statusbar/StatusBar.h"

#include <algorithm>

TStatusBar::TStatusBar(TComponent* AOwner) : TPanel(AOwner) {
    SetBevelOuter(bvNone);
    SetBevelInner(bvNone);
    SetHeight(19);
    SetAlign(alBottom);
}

TStatusBar::~TStatusBar() {
    for (TStatusPane* p : FPanes) p->FBar = nullptr;
}

TStatusPane* TStatusBar::Panes(int index) const {
    if (index < 0 || index >= PaneCount()) throw EListError("List index out of bounds (" + IntToStr(index) + ")");
    return FPanes[size_t(index)];
}

void TStatusBar::LayoutPanes() {
    int left = 0;
    for (TStatusPane* p : FPanes) {
        p->SetBounds(left, 0, p->Width(), ClientHeight());
        left += p->Width();
    }
}

TStatusPane::TStatusPane(TComponent* AOwner, TStatusBar* bar) : TLabel(AOwner), FBar(bar) {
    SetTransparent(true);
    SetAlignment(taLeftJustify);
    if (!bar) return;
    bar->FPanes.push_back(this);
    SetParent(bar);
    bar->LayoutPanes();
}

TStatusPane::~TStatusPane() {
    if (!FBar) return;
    auto& panes = FBar->FPanes;
    panes.erase(std::remove(panes.begin(), panes.end(), this), panes.end());
}

void TStatusPane::SetPaneWidth(int width) {
    if (width == Width()) return;
    SetWidth(width);
    if (FBar) FBar->LayoutPanes();
}
