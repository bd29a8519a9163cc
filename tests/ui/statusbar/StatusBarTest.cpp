// Status bar: panes side by side at fixed widths, captions that repaint only on change,
// underlined coloured fonts and click events.
#include "ui/forms/Backend.h"
#include "ui/forms/Forms.h"
#include "ui/statusbar/StatusBar.h"

#include <gtest/gtest.h>

namespace {
struct StatusBarTest : ::testing::Test {
    TApplication app;
    TForm* form = nullptr;
    TStatusBar* bar = nullptr;
    TStatusPane* text = nullptr;
    TStatusPane* link = nullptr;
    void SetUp() override {
        app.CreateForm(form);
        form->SetBounds(0, 0, 770, 578);
        bar = new TStatusBar(form);
        bar->SetParent(form);
        text = new TStatusPane(form, bar);
        text->SetPaneWidth(346);
        link = new TStatusPane(form, bar);
        link->SetPaneWidth(392);
    }
};
}  // namespace

TEST_F(StatusBarTest, BarSitsAtTheBottomAndPanesSideBySide) {
    EXPECT_EQ(bar->Height(), 19);
    EXPECT_EQ(bar->Top(), form->ClientHeight() - 19);
    EXPECT_EQ(bar->Width(), form->ClientWidth());
    EXPECT_EQ(bar->BevelInner(), bvNone);
    EXPECT_EQ(bar->BevelOuter(), bvNone);
    ASSERT_EQ(bar->PaneCount(), 2);
    struct {
        TStatusPane* Pane;
        int Left, Width;
    } expected[] = {{text, 0, 346}, {link, 346, 392}};
    for (auto& e : expected) {
        EXPECT_EQ(e.Pane->Left(), e.Left);
        EXPECT_EQ(e.Pane->Width(), e.Width);
        EXPECT_EQ(e.Pane->Height(), 19);
        EXPECT_EQ(e.Pane->Alignment(), taLeftJustify);
    }
    text->SetPaneWidth(100);  // the next pane moves up
    EXPECT_EQ(link->Left(), 100);
}

TEST_F(StatusBarTest, EqualCaptionChangesNothing) {
    text->SetCaption("正在下载: [3/12] - 2.jpg");
    int repaints = text->RepaintRequests();
    text->SetCaption("正在下载: [3/12] - 2.jpg");
    EXPECT_EQ(text->RepaintRequests(), repaints);
    text->SetCaption("正在下载: [4/12] - 3.jpg");
    EXPECT_EQ(text->RepaintRequests(), repaints + 1);
}

TEST_F(StatusBarTest, LinkPaneFontAndClick) {
    link->Font().SetStyle(fsUnderline);
    link->Font().SetColor(clMenuHighlight);
    EXPECT_TRUE(link->Font().Style() & fsUnderline);
    EXPECT_EQ(link->Font().Color(), clMenuHighlight);
    EXPECT_EQ(text->Font().Style(), 0u);  // the neighbour keeps the bar's font
    int clicks = 0;
    link->OnClick = [&](TObject* s) {
        EXPECT_EQ(s, link);
        clicks++;
    };
    DeliverClick(*link);
    EXPECT_EQ(clicks, 1);
}

TEST_F(StatusBarTest, PanesOutliveOrPrecedeTheirBarSafely) {
    delete link;
    EXPECT_EQ(bar->PaneCount(), 1);
    delete bar;  // the remaining pane forgets it
    EXPECT_EQ(text->Bar(), nullptr);
}
