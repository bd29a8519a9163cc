// The thumbnails and the preview window, headless: the photo guard, opening and stepping
// the preview with wrap-around at both ends, bring-to-front without reload, missing and
// undecodable files, hiding, and "打开图片所在目录" recorded with the album folder.
//
// The fixture plays the end of an album run itself: JPEG files 0.jpg ... in a scratch
// album folder, the photo list in cbbPhotos, pictures and the popup menu on the first
// thumbnails.
#include "app/commonDefine.h"
#include "app/mainUnit.h"
#include "app/preview.h"
#include "demo/SiteMedia.h"
#include "platform/rtl/FileSys.h"
#include "platform/shell/ShellApi.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

constexpr const char* DeadSite = "127.0.0.1:9";  // the link fetch fails at once

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct GalleryTest : ::testing::Test {
    std::unique_ptr<TApplication> app;
    void SetUp() override {
        ASSERT_TRUE(SetSiteHost(DeadSite));
        InitializeMainUnit();
        app = std::make_unique<TApplication>();
        app->CreateForm(MainForm);
        app->CreateForm(PreviewForm);
        SetShellRecording(true);
        ClearRecordedShellCalls();
    }
    void TearDown() override {
        app.reset();
        MainForm = nullptr;
        PreviewForm = nullptr;
        FinalizeMainUnit();
        SetSiteHost(DefaultSiteHost);
        ClearRecordedShellCalls();
    }

    // An album of Count photos in a fresh folder, the first 30 shown as thumbnails.
    void FakeAlbum(int count, const std::string& name = "album") {
        AlbumDir = PrivateTempDir() + name + "-" + IntToStr(count) + "/";
        ASSERT_TRUE(ForceDirectories(AlbumDir));
        MainForm->cbbPhotos->Items().Clear();
        for (int i = 0; i < count; i++) {
            MainForm->cbbPhotos->Items().Add("http://127.0.0.1/photos/" + IntToStr(i) + ".jpg");
            std::string file = AlbumDir + IntToStr(i) + ".jpg";
            WriteFile(file, *DemoPhotoJpeg("spring12", i % 12));
            if (i < ThumbnailCount) {
                MainForm->Images[size_t(i)]->Picture().LoadFromFile(file);
                MainForm->Images[size_t(i)]->SetPopupMenu(MainForm->popup1);
            }
        }
    }
    TImage* Image(int t) { return MainForm->Images[size_t(t - 1)]; }
    std::string Photo(int index) { return AlbumDir + IntToStr(index) + ".jpg"; }
    // The popup item Item clicked on thumbnail t.
    void PopupOn(int t, TMenuItem* item) {
        MainForm->popup1->SetPopupComponent(Image(t));
        item->Click();
    }
};

}  // namespace

TEST_F(GalleryTest, PreviewWindowLayout) {
    TPreviewForm& p = *PreviewForm;
    EXPECT_EQ(p.Caption(), "预览图片");
    EXPECT_EQ(p.Width(), 918);
    EXPECT_EQ(p.Height(), 654);
    EXPECT_EQ(p.FormStyle(), fsStayOnTop);
    EXPECT_EQ(p.Position(), poScreenCenter);
    EXPECT_FALSE(p.Visible());
    struct Row { TControl* C; int L, T, W, H; const char* Caption; } rows[] = {
        {p.img1, 168, 16, 537, 561, ""},
        {p.btn1, 56, 240, 65, 57, "<<"},
        {p.Button1, 792, 240, 65, 57, ">>"},
        {p.btn3, 784, 472, 75, 25, nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.C->Name());
        EXPECT_EQ(r.C->Parent(), &p);
        EXPECT_EQ(r.C->Left(), r.L);
        EXPECT_EQ(r.C->Top(), r.T);
        EXPECT_EQ(r.C->Width(), r.W);
        EXPECT_EQ(r.C->Height(), r.H);
        if (r.Caption) {
            EXPECT_EQ(r.C->Caption(), r.Caption);
        }
    }
    // Sized to each photo by the window itself, within the picture area.
    EXPECT_FALSE(p.img1->AutoSize());
    EXPECT_TRUE(p.img1->Stretch());
}

TEST_F(GalleryTest, ClickingAThumbnailShowsItsPhoto) {
    FakeAlbum(12);
    MainForm->Image1Click(Image(3));
    EXPECT_TRUE(PreviewForm->Visible());
    EXPECT_EQ(PreviewForm->PhotoIndex, 2);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(2));
    ASSERT_NE(PreviewForm->img1->Picture().Graphic(), nullptr);
}

TEST_F(GalleryTest, APhotoLargerThanThePictureAreaIsScaledDownToFitKeepingItsAspect) {
    // Photos of the demo site's sizes; the area is 537 x 561 at 168, 16.
    struct TCase { int W, H, ShownW, ShownH; };
    const TCase cases[] = {
        {800, 600, 537, 402},  // wider than the area: the width decides (600 * 537 / 800)
        {600, 800, 420, 561},  // taller: the height decides (600 * 561 / 800)
        {320, 240, 320, 240},  // fits: its own size, never enlarged
    };
    FakeAlbum(0);
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.W) + "x" + std::to_string(c.H));
        int index = 0;
        while (index < 200 && (DemoPhotoSize("preview", index).Width != c.W || DemoPhotoSize("preview", index).Height != c.H))
            index++;
        ASSERT_LT(index, 200);
        WriteFile(Photo(0), *DemoPhotoJpeg("preview", index));
        MainForm->cbbPhotos->Items().Add("http://127.0.0.1/photos/0.jpg");
        PreviewForm->PhotoIndex = 0;
        PreviewForm->ShowPhoto();
        TImage* img = PreviewForm->img1;
        EXPECT_EQ(img->Left(), 168);
        EXPECT_EQ(img->Top(), 16);
        EXPECT_EQ(img->Width(), c.ShownW);
        EXPECT_EQ(img->Height(), c.ShownH);
        EXPECT_LE(img->Left() + img->Width(), PreviewForm->Button1->Left());  // never under the buttons
    }
    // A missing photo leaves the whole area empty.
    DeleteFile(Photo(0));
    PreviewForm->ShowPhoto();
    EXPECT_EQ(PreviewForm->img1->Picture().Graphic(), nullptr);
    EXPECT_EQ(PreviewForm->img1->Width(), 537);
}

TEST_F(GalleryTest, StepsWrapAroundAtBothEnds) {
    FakeAlbum(12);
    MainForm->Image1Click(Image(12));  // Tag equal to the count passes the guard
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(11));
    PreviewForm->Button1Click(PreviewForm->Button1);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(0));
    PreviewForm->btn1Click(PreviewForm->btn1);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(11));
    PreviewForm->btn1Click(PreviewForm->btn1);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(10));
    // Photos beyond the thirty thumbnails are reached by stepping.
    FakeAlbum(40);
    PreviewForm->PhotoIndex = 29;
    for (int expected : {30, 31}) {
        PreviewForm->Button1Click(PreviewForm->Button1);
        EXPECT_EQ(PreviewForm->CurrentFile, Photo(expected));
    }
}

TEST_F(GalleryTest, GuardLetsOnlyFilledThumbnailsOfTheCurrentListThrough) {
    FakeAlbum(20, "earlier");
    FakeAlbum(12);  // thumbnails 13 ... 20 keep the earlier album's pictures
    TLabel notAnImage(MainForm);
    struct Case { TObject* Control; int Expected; } cases[] = {
        {Image(1), 1}, {Image(12), 12}, {Image(13), 0}, {Image(20), 0},
        {Image(21), 0},  // no picture
        {&notAnImage, 0}, {nullptr, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(MainForm->GuardedPhotoTag(c.Control), c.Expected);
    MainForm->Image1Click(Image(13));
    EXPECT_FALSE(PreviewForm->Visible());
    MainForm->N3Click(MainForm->N3);  // popup never opened: no component
    EXPECT_TRUE(RecordedShellCalls().empty());
    PopupOn(13, MainForm->N1);
    PopupOn(13, MainForm->N3);
    EXPECT_FALSE(PreviewForm->Visible());
    EXPECT_TRUE(RecordedShellCalls().empty());
}

TEST_F(GalleryTest, ClickWhileShownBringsToFrontWithoutReload) {
    FakeAlbum(12);
    MainForm->Image1Click(Image(3));
    const TGraphic* shown = PreviewForm->img1->Picture().Graphic();
    PopupOn(7, MainForm->N1);  // the popup item "预览" on another thumbnail
    EXPECT_TRUE(PreviewForm->Visible());
    EXPECT_EQ(PreviewForm->PhotoIndex, 6);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(2));
    EXPECT_EQ(PreviewForm->img1->Picture().Graphic(), shown);
    PreviewForm->Button1Click(PreviewForm->Button1);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(7));
}

TEST_F(GalleryTest, HidingAndShowingAgainReloads) {
    FakeAlbum(12);
    MainForm->Image1Click(Image(2));
    PreviewForm->FormClick(PreviewForm);  // a click on the surface
    EXPECT_FALSE(PreviewForm->Visible());
    MainForm->Image1Click(Image(5));
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(4));
    PreviewForm->btn3->Click();  // the close button
    EXPECT_FALSE(PreviewForm->Visible());
    MainForm->Image1Click(Image(6));
    PreviewForm->Close();  // the title-bar close box
    EXPECT_FALSE(PreviewForm->Visible());
    EXPECT_EQ(PreviewForm->PhotoIndex, 5);  // kept while hidden
    EXPECT_EQ(app->ExceptionCount(), 1);    // only the link fetch of start-up
}

TEST_F(GalleryTest, MissingFileShowsAnEmptyPicture) {
    FakeAlbum(12);
    MainForm->cbbPhotos->Items().Add("http://127.0.0.1/photos/12.jpg");  // not fetched yet
    MainForm->Image1Click(Image(12));
    ASSERT_NE(PreviewForm->img1->Picture().Graphic(), nullptr);
    PreviewForm->Button1Click(PreviewForm->Button1);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(12));
    EXPECT_EQ(PreviewForm->img1->Picture().Graphic(), nullptr);
    PreviewForm->Button1Click(PreviewForm->Button1);  // 13 photos now: wraps to the first
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(0));
}

TEST_F(GalleryTest, UndecodableFileReportsAndTheWindowStaysUsable) {
    FakeAlbum(12);
    WriteFile(Photo(4), "<html>404 Not Found</html>");
    MainForm->Image1Click(Image(4));
    int before = app->ExceptionCount();
    app->PostClick(PreviewForm->Button1);  // as the user's click: through the default handler
    app->ProcessMessages();
    EXPECT_EQ(app->ExceptionCount(), before + 1);
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(4));
    EXPECT_EQ(PreviewForm->img1->Picture().Graphic(), nullptr);
    EXPECT_TRUE(PreviewForm->Visible());
    app->PostClick(PreviewForm->Button1);
    app->ProcessMessages();
    EXPECT_EQ(PreviewForm->CurrentFile, Photo(5));
    EXPECT_NE(PreviewForm->img1->Picture().Graphic(), nullptr);
    EXPECT_EQ(app->ExceptionCount(), before + 1);
}

TEST_F(GalleryTest, EmptyPhotoListStepsStayAtTheFirstPosition) {
    PreviewForm->Show();
    PreviewForm->btn1Click(PreviewForm->btn1);
    EXPECT_EQ(PreviewForm->PhotoIndex, 0);
    PreviewForm->Button1Click(PreviewForm->Button1);
    EXPECT_EQ(PreviewForm->PhotoIndex, 0);
}

TEST_F(GalleryTest, OpenFolderRecordsTheLatestAlbumFolder) {
    FakeAlbum(20, "earlier");
    FakeAlbum(12);
    PopupOn(12, MainForm->N3);
    PopupOn(1, MainForm->N3);
    auto calls = RecordedShellCalls();
    ASSERT_EQ(calls.size(), 2u);
    for (const TShellCall& c : calls) {
        EXPECT_EQ(c.File, AlbumDir);
        EXPECT_EQ(c.Verb, "");
        EXPECT_EQ(c.Parameters, "");
        EXPECT_EQ(c.Directory, "");
        EXPECT_EQ(c.ShowCmd, SW_SHOWNORMAL);
    }
    EXPECT_FALSE(PreviewForm->Visible());
}
