// mainUnit: the main window's layout, its creation and destruction handlers, the stop
// button and the status line (see mainUnit.h).
//
// Organisation: the constructor calls one Build... function per region of the window,
// top to bottom, left to right; each creates its controls with the form as owner (the
// form frees them) and the region's container as parent. The album run, the gallery and
// the link rotation have units of their own (mainUnitAlbum.cpp, mainUnitGallery.cpp,
// mainUnitLinks.cpp).
#include "app/mainUnit.h"

#include "app/commonDefine.h"
#include "platform/rtl/FileSys.h"

std::string AppDir;
std::string AlbumDir;
std::unique_ptr<TStringList> LinkList;
int32_t LinkIndex = 0;
std::string AppVersion;
TMainForm* MainForm = nullptr;
TPreviewForm* PreviewForm = nullptr;

namespace {

// A control of class T owned by Form, named, in Parent at the given place.
template <class T>
T* Place(TForm* form, TWinControl* parent, const char* name, int left, int top, int width, int height) {
    T* c = new T(form);  // owned by the form
    c->SetName(name);
    c->SetBounds(left, top, width, height);
    c->SetParent(parent);
    return c;
}

TNotifyEvent Handler(TMainForm* form, void (TMainForm::*method)(TObject*)) {
    return [form, method](TObject* sender) { (form->*method)(sender); };
}

}  // namespace

// ==== layout ===============================================================================

TMainForm::TMainForm(TComponent* AOwner) : TForm(AOwner) {
    SetName("MainForm");
    SetBounds(0, 0, 770, 578);
    SetPosition(poScreenCenter);
    SetBorderStyle(bsSingle);  // fixed size
    SetBorderIcons(biSystemMenu | biMinimize);
    SetColor(clBtnFace);
    Font().SetName("Tahoma");
    Font().SetHeight(-11);
    OnCreate = Handler(this, &TMainForm::FormCreate);
    OnDestroy = Handler(this, &TMainForm::FormDestroy);

    BuildAddressRow();
    BuildLeftColumn();
    BuildThumbnails();
    BuildStatusBar();
    BuildComponents();
    WireAlbumRun();
}

void TMainForm::BuildAddressRow() {
    pnl1 = Place<TPanel>(this, this, "pnl1", 8, 8, 737, 37);
    lbl1 = Place<TLabel>(this, pnl1, "lbl1", 8, 12, 150, 13);
    lbl1->SetCaption("请输入相册视频所在页面：  ");
    edtUrl = Place<TEdit>(this, pnl1, "edtUrl", 160, 7, 449, 21);
    edtUrl->SetText(SampleAlbumUrl());
    btnDownload = Place<TButton>(this, pnl1, "btnDownload", 624, 6, 97, 25);
    btnDownload->SetCaption("下载相册");
    btnDownload->OnClick = Handler(this, &TMainForm::btnDownloadClick);
}

void TMainForm::BuildLeftColumn() {
    mmStatus = Place<TMemo>(this, this, "mmStatus", 8, 56, 177, 185);
    mmStatus->SetCtl3D(false);  // flat
    mmStatus->SetColor(clBtnFace);
    for (const std::string& line :
         {std::string("欢迎使用Grevolk软件"), std::string("-- TavoAlbrivo"), std::string(),
          std::string("官方网站："), MakerHomeUrl()})
        mmStatus->Lines().Add(line);
    cbbPhotos = Place<TComboBox>(this, this, "cbbPhotos", 48, 224, 145, 21);
    cbbPhotos->SetVisible(false);
    chkAutoDownMusic = Place<TCheckBox>(this, this, "chkAutoDownMusic", 8, 256, 169, 17);
    chkAutoDownMusic->SetCaption("自动下载相册背景音乐   ");
    wb1 = Place<TWebBrowser>(this, this, "wb1", 8, 280, 177, 185);
    btn2 = Place<TButton>(this, this, "btn2", 16, 480, 161, 25);
    btn2->SetCaption("停 止 下 载");
    btn2->OnClick = Handler(this, &TMainForm::btn2Click);
}

void TMainForm::BuildThumbnails() {
    Panel1 = Place<TPanel>(this, this, "Panel1", 192, 48, 553, 457);
    for (int t = 1; t <= ThumbnailCount; t++) {
        int row = (t - 1) / ThumbnailColumns, column = (t - 1) % ThumbnailColumns;
        std::string name = "Image" + IntToStr(t);
        TImage* image = Place<TImage>(this, Panel1, name.c_str(), 16 + 88 * column, 16 + 88 * row, 75, 75);
        image->SetTag(t);
        image->SetStretch(true);
        image->OnClick = Handler(this, &TMainForm::Image1Click);
        Images[size_t(t - 1)] = image;
    }
}

void TMainForm::BuildStatusBar() {
    status = new TStatusBar(this);  // owned by the form; aligned to the bottom edge
    status->SetName("status");
    status->SetParent(this);
    status1 = new TStatusPane(this, status);
    status1->SetName("status1");
    status1->SetPaneWidth(346);
    statusLink = new TStatusPane(this, status);
    statusLink->SetName("statusLink");
    statusLink->SetPaneWidth(392);
    statusLink->Font().SetName("Tahoma");
    statusLink->Font().SetHeight(-11);
    statusLink->Font().SetStyle(fsUnderline);
    statusLink->Font().SetColor(clMenuHighlight);
    statusLink->OnClick = Handler(this, &TMainForm::statusLinkClick);
}

void TMainForm::BuildComponents() {
    httpcli1 = new THttpCli(this);  // owned by the form
    httpcli1->SetName("httpcli1");
    httpcli1->SetLocalAddr("0.0.0.0");
    httpcli1->SetProxyPort("80");
    httpcli1->SetAgent("Mozilla/3.0 (compatible)");
    httpcli1->SetAccept("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    httpcli1->SetNoCache(false);
    httpcli1->SetContentTypePost("application/x-www-form-urlencoded");
    httpcli1->SetMultiThreaded(false);
    popup1 = new TPopupMenu(this);  // owned by the form, like its items
    popup1->SetName("popup1");
    N1 = new TMenuItem(this, popup1);
    N1->SetName("N1");
    N1->SetCaption("预览");
    N1->OnClick = Handler(this, &TMainForm::N1Click);
    N2 = new TMenuItem(this, popup1);
    N2->SetName("N2");
    N2->SetCaption("-");
    N3 = new TMenuItem(this, popup1);
    N3->SetName("N3");
    N3->SetCaption("打开图片所在目录");
    N3->OnClick = Handler(this, &TMainForm::N3Click);
    tmr1 = new TTimer(this);  // owned by the form
    tmr1->SetName("tmr1");
    tmr1->SetInterval(5000);
    tmr1->OnTimer = Handler(this, &TMainForm::tmr1Timer);
    tmr1->SetEnabled(true);
}

// ==== creation and destruction =============================================================

void TMainForm::FormCreate(TObject*) {
    SetCaption(LoadStr(SMainWindowTitle));
    AppDir = ExtractFilePath(ExecutableFileName());
    wb1->Navigate(MakerInfoUrl());
    LinkList = std::make_unique<TStringList>();
    // Last, because it may fail (link server unreachable): the window is complete then.
    LoadLinks();
}

void TMainForm::FormDestroy(TObject*) { LinkList.reset(); }

// ==== handlers =============================================================================

void TMainForm::btn2Click(TObject*) {
    SetStatusText("正在停止...");
    FAlbumRun->Stop();
}


// ==== module ===============================================================================

void SetStatusText(const std::string& text) {
    if (MainForm) MainForm->status1->SetCaption(text);
}

void InitializeMainUnit() {
    AppVersion = KVersion;
    AppDir.clear();
    AlbumDir.clear();
    LinkIndex = 0;
}

void FinalizeMainUnit() {
    LinkList.reset();
    AppDir.clear();
    AlbumDir.clear();
}
