// Form toolkit, headless: the application's loop and error handling, forms, controls,
// timers and popup menus. Every wait is bounded.
#include "ui/forms/Backend.h"
#include "ui/forms/ExtCtrls.h"
#include "ui/forms/Forms.h"
#include "ui/forms/Menus.h"
#include "ui/forms/StdCtrls.h"

#include <gtest/gtest.h>

namespace {

struct FormsTest : ::testing::Test {
    TApplication app;
    TForm* form = nullptr;
    void SetUp() override {
        app.SetTitle("Test");
        app.CreateForm(form);
    }
};

template <class T>
T* Make(TForm* form, TWinControl* parent, const char* name) {
    T* c = new T(form);
    c->SetName(name);
    c->SetParent(parent);
    return c;
}

}  // namespace

// ---- the loop and HandleException ------------------------------------------------------

TEST_F(FormsTest, ExceptionFromClickHandlerReachesHandleExceptionAndLoopGoesOn) {
    auto* bad = Make<TButton>(form, form, "bad");
    auto* quit = Make<TButton>(form, form, "quit");
    int quitClicks = 0;
    bad->OnClick = [](TObject*) { throw Exception("handler failed"); };
    quit->OnClick = [&](TObject*) {
        quitClicks++;
        form->Close();
    };
    app.PostClick(bad);
    app.PostClick(quit);
    app.Run();  // returns because the main form closed
    EXPECT_EQ(quitClicks, 1);
    ASSERT_EQ(app.MessageLog().size(), 1u);
    EXPECT_EQ(app.MessageLog()[0], "handler failed");
    EXPECT_EQ(app.ExceptionCount(), 1);
    EXPECT_TRUE(app.Terminated());
}

TEST_F(FormsTest, ExceptionInOnCreateIsShownAndCreationCompletes) {
    struct TFailingForm : TForm {
        explicit TFailingForm(TComponent* o) : TForm(o) {
            OnCreate = [](TObject*) { throw Exception("link server unreachable"); };
        }
    };
    TFailingForm* f = nullptr;
    app.CreateForm(f);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(app.MainForm(), form);  // the first form stays the main form
    ASSERT_EQ(app.MessageLog().size(), 1u);
    EXPECT_EQ(app.MessageLog()[0], "link server unreachable");
}

TEST_F(FormsTest, DisabledControlsTakeNoClicks) {
    auto* panel = Make<TPanel>(form, form, "panel");
    auto* button = Make<TButton>(form, panel, "button");
    int clicks = 0;
    button->OnClick = [&](TObject*) { clicks++; };
    DeliverClick(*button);
    button->SetEnabled(false);
    DeliverClick(*button);
    button->SetEnabled(true);
    panel->SetEnabled(false);
    DeliverClick(*button);
    EXPECT_EQ(clicks, 1);
    button->Click();  // the program itself may still run the handler
    EXPECT_EQ(clicks, 2);
}

TEST_F(FormsTest, PostedClickOnDestroyedControlIsDropped) {
    auto* button = Make<TButton>(form, form, "button");
    int clicks = 0;
    button->OnClick = [&](TObject*) { clicks++; };
    app.PostClick(button);
    delete button;
    app.ProcessMessages();
    EXPECT_EQ(clicks, 0);
}

// ---- forms -------------------------------------------------------------------------------

TEST_F(FormsTest, ShowRunsOnShowOnlyWhenHidden) {
    int shows = 0;
    form->OnShow = [&](TObject*) { shows++; };
    EXPECT_FALSE(form->Visible());
    form->Show();
    form->Show();
    EXPECT_EQ(shows, 1);
    form->Hide();
    form->Show();
    EXPECT_EQ(shows, 2);
}

TEST_F(FormsTest, ClosingASecondFormHidesItClosingTheMainFormEndsTheLoop) {
    TForm* second = nullptr;
    app.CreateForm(second);
    second->Show();
    second->Close();
    EXPECT_FALSE(second->Visible());
    EXPECT_FALSE(app.Terminated());
    int closes = 0;
    form->OnClose = [&](TObject*, TCloseAction& action) {
        if (++closes == 1) action = caNone;  // the first close is refused
    };
    form->Close();
    app.ProcessMessages();
    EXPECT_FALSE(app.Terminated());
    DeliverClose(*form);
    app.ProcessMessages();
    EXPECT_TRUE(app.Terminated());
}

TEST_F(FormsTest, ClientAreaAndFixedSize) {
    form->SetBounds(0, 0, 770, 578);
    EXPECT_EQ(form->ClientWidth(), 770 - 2 * FormFrameWidth);
    EXPECT_EQ(form->ClientHeight(), 578 - FormCaptionHeight - FormFrameWidth);
    form->SetBorderStyle(bsSingle);
    form->SetBorderIcons(biSystemMenu | biMinimize);
    EXPECT_FALSE(form->Resizable());
    EXPECT_FALSE(form->CanMaximize());
}

TEST(FormsLifetime, ApplicationRunsOnDestroyBeforeTheFormsPartsGo) {
    struct TProbeForm : TForm {
        TButton* Button;
        std::string* Seen = nullptr;
        explicit TProbeForm(TComponent* o) : TForm(o) {
            Button = new TButton(this);
            Button->SetCaption("still here");
            OnDestroy = [this](TObject*) { *Seen = Button->Caption(); };
        }
    };
    std::string seen;
    {
        TApplication app;
        TProbeForm* probe = nullptr;
        app.CreateForm(probe);
        probe->Seen = &seen;
    }
    EXPECT_EQ(seen, "still here");
    EXPECT_EQ(Application, nullptr);
}

// ---- controls ----------------------------------------------------------------------------

TEST_F(FormsTest, EqualValuesRequestNoRepaint) {
    auto* label = Make<TLabel>(form, form, "label");
    label->SetCaption("a");
    int before = label->RepaintRequests();
    label->SetCaption("a");
    label->SetBounds(label->Left(), label->Top(), label->Width(), label->Height());
    label->SetVisible(true);
    label->SetEnabled(true);
    label->SetColor(label->Color());
    EXPECT_EQ(label->RepaintRequests(), before);
    label->SetCaption("b");
    EXPECT_EQ(label->RepaintRequests(), before + 1);
}

TEST_F(FormsTest, ChildrenTakeTheParentsFontUntilTheyGetTheirOwn) {
    form->Font().SetHeight(-11);
    auto* panel = Make<TPanel>(form, form, "panel");
    auto* own = Make<TLabel>(form, panel, "own");
    auto* inherits = Make<TLabel>(form, panel, "inherits");
    own->Font().SetStyle(fsUnderline);
    form->Font().SetName("Other");
    EXPECT_EQ(panel->Font().Name(), "Other");
    EXPECT_EQ(inherits->Font().Name(), "Other");
    EXPECT_TRUE(inherits->ParentFont());
    EXPECT_EQ(own->Font().Name(), "Tahoma");
    EXPECT_FALSE(own->ParentFont());
}

TEST_F(FormsTest, BottomAlignedControlSpansTheClientWidth) {
    form->SetBounds(0, 0, 400, 300);
    auto* bar = new TPanel(form);
    bar->SetHeight(19);
    bar->SetAlign(alBottom);
    bar->SetParent(form);
    EXPECT_EQ(bar->Top(), form->ClientHeight() - 19);
    EXPECT_EQ(bar->Width(), form->ClientWidth());
    form->SetBounds(0, 0, 500, 350);
    EXPECT_EQ(bar->Top(), form->ClientHeight() - 19);
    EXPECT_EQ(bar->Width(), form->ClientWidth());
}

TEST_F(FormsTest, CheckBoxClickTogglesAndRunsOnClick) {
    auto* box = Make<TCheckBox>(form, form, "box");
    int clicks = 0;
    box->OnClick = [&](TObject*) { clicks++; };
    EXPECT_FALSE(box->Checked());
    DeliverClick(*box);
    EXPECT_TRUE(box->Checked());
    box->SetChecked(true);  // no change, no click
    EXPECT_EQ(clicks, 1);
}

TEST_F(FormsTest, MemoAndComboLists) {
    auto* memo = Make<TMemo>(form, form, "memo");
    memo->Lines().Add("one");
    memo->Lines().Add("two");
    EXPECT_EQ(memo->Lines().Count(), 2);
    memo->Clear();
    EXPECT_EQ(memo->Lines().Count(), 0);
    EXPECT_THROW(memo->Lines()[0], EListError);
    auto* combo = Make<TComboBox>(form, form, "combo");
    combo->Items().Add("http://a/1.jpg");
    combo->SetItemIndex(0);
    EXPECT_EQ(combo->Text(), "http://a/1.jpg");
    combo->Items().Clear();
    EXPECT_EQ(combo->ItemIndex(), -1);
}

TEST_F(FormsTest, FindComponentIgnoresCase) {
    auto* image = Make<TImage>(form, form, "Image7");
    EXPECT_EQ(form->FindComponent("image7"), image);
    EXPECT_EQ(form->FindComponent("IMAGE7"), image);
    EXPECT_EQ(form->FindComponent("image70"), nullptr);
}

// ---- timers ------------------------------------------------------------------------------

TEST_F(FormsTest, TimerTicksWhileEnabledAndSurvivesAFailingHandler) {
    auto* timer = new TTimer(form);
    EXPECT_TRUE(timer->Enabled());
    EXPECT_EQ(timer->Interval(), 1000u);
    int ticks = 0;
    timer->OnTimer = [&](TObject*) {
        if (++ticks == 1) throw Exception("tick failed");
    };
    timer->SetInterval(10);
    EXPECT_TRUE(WaitUntil([&] { return ticks >= 3; }, 3000));
    EXPECT_EQ(app.MessageLog().front(), "tick failed");
    timer->SetEnabled(false);
    EXPECT_FALSE(timer->Running());
    int stopped = ticks;
    WaitUntil([] { return false; }, 60);
    EXPECT_EQ(ticks, stopped);
    timer->SetEnabled(true);
    timer->SetInterval(0);  // no interval: not running
    EXPECT_FALSE(timer->Running());
}

// ---- popup menus -------------------------------------------------------------------------

TEST_F(FormsTest, PopupMenuItemsAndPopupComponent) {
    auto* menu = new TPopupMenu(form);
    auto* preview = new TMenuItem(form, menu);
    preview->SetCaption("预览");
    auto* line = new TMenuItem(form, menu);
    line->SetCaption("-");
    std::vector<TObject*> clicked;
    preview->OnClick = [&](TObject* s) { clicked.push_back(s); };
    line->OnClick = [&](TObject* s) { clicked.push_back(s); };
    auto* image = Make<TImage>(form, form, "Image1");
    auto* bare = Make<TImage>(form, form, "Image2");
    int popups = 0;
    menu->OnPopup = [&](TObject*) { popups++; };
    DeliverContextMenu(*bare, 0, 0);  // no menu attached: nothing opens
    EXPECT_EQ(popups, 0);
    image->SetPopupMenu(menu);
    DeliverContextMenu(*image, 10, 10);  // headless: closes without a choice
    EXPECT_EQ(popups, 1);
    EXPECT_EQ(menu->PopupComponent(), image);
    EXPECT_TRUE(clicked.empty());
    preview->Click();
    line->Click();  // a separator cannot be clicked
    ASSERT_EQ(clicked.size(), 1u);
    EXPECT_EQ(clicked[0], preview);
    EXPECT_EQ(menu->Count(), 2);
    EXPECT_TRUE(menu->Items(1)->IsLine());
    delete menu;  // the image must not keep a pointer to it
    EXPECT_EQ(image->PopupMenu(), nullptr);
}
