// StatusBar: the framed status bar at the bottom of a form and its text panes.
//
// A status bar is a panel aligned to the bottom edge of its form; its panes sit side by
// side from the left, each with a fixed width and the full height of the bar, in the
// order they were added. A pane is a label: a caption, a font (with underline and colour),
// left (or other) alignment and a click event. Setting a caption equal to the current one
// changes nothing and requests no repaint (RepaintRequests stays), so a status line that
// is written repeatedly with the same text costs nothing.
#pragma once

#include "ui/forms/ExtCtrls.h"
#include "ui/forms/StdCtrls.h"

#include <vector>

class TStatusPane;

class TStatusBar : public TPanel {
public:
    // Height 19, aligned to the bottom, without bevels.
    explicit TStatusBar(TComponent* AOwner);
    ~TStatusBar() override;

    int PaneCount() const { return int(FPanes.size()); }
    TStatusPane* Panes(int index) const;
    // Places the panes side by side from the left edge.
    void LayoutPanes();

private:
    friend class TStatusPane;
    std::vector<TStatusPane*> FPanes;  // not owned: the form owns its panes
};

class TStatusPane : public TLabel {
public:
    // Owned by AOwner (the form), shown in Bar after the panes already there.
    TStatusPane(TComponent* AOwner, TStatusBar* bar);
    ~TStatusPane() override;

    TStatusBar* Bar() const { return FBar; }
    // The pane's fixed width in pixels.
    int PaneWidth() const { return Width(); }
    void SetPaneWidth(int width);

private:
    friend class TStatusBar;
    TStatusBar* FBar = nullptr;
};
