// mainUnit: the main window TMainForm, the state the windows share, and the status line.
//
// The constructor builds every control of the window in layout order at its fixed
// position (client coordinates of the 770 x 578 window); FormCreate then sets the title,
// the program folder, starts the browser panel on the maker's information page and
// fetches the promotional links. The album run itself is a TAlbumRun (album/albumRun.h)
// that the window owns and wires to its controls. The globals below live for the whole
// run and are touched on the interface thread only.
#pragma once

#include "album/albumRun.h"
#include "net/http/HttpProt.h"
#include "platform/rtl/Classes.h"
#include "ui/browser/WebBrowser.h"
#include "ui/forms/ExtCtrls.h"
#include "ui/forms/Forms.h"
#include "ui/forms/Menus.h"
#include "ui/forms/StdCtrls.h"
#include "ui/statusbar/StatusBar.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TPreviewForm;

// Number of thumbnails: 5 rows of 6.
constexpr int ThumbnailCount = 30;
constexpr int ThumbnailColumns = 6;

class TMainForm : public TForm {
public:
    explicit TMainForm(TComponent* AOwner);

    // ---- controls, in layout order (owned by the form) ----
    TPanel* pnl1;
    TLabel* lbl1;
    TEdit* edtUrl;
    TButton* btnDownload;
    TMemo* mmStatus;
    TComboBox* cbbPhotos;
    TCheckBox* chkAutoDownMusic;
    TWebBrowser* wb1;
    TButton* btn2;
    TPanel* Panel1;
    std::array<TImage*, ThumbnailCount> Images;  // Image1 ... Image30, Tag 1 ... 30
    TStatusBar* status;
    TStatusPane* status1;
    TStatusPane* statusLink;
    THttpCli* httpcli1;  // fetches the album page and the link list
    TPopupMenu* popup1;
    TMenuItem* N1;
    TMenuItem* N2;
    TMenuItem* N3;
    TTimer* tmr1;

    // ---- event handlers ----
    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void btnDownloadClick(TObject* Sender);
    void btn2Click(TObject* Sender);
    void Image1Click(TObject* Sender);
    void N1Click(TObject* Sender);
    void N3Click(TObject* Sender);
    void tmr1Timer(TObject* Sender);
    void statusLinkClick(TObject* Sender);

    // ---- the gallery and the link rotation (mainUnitGallery.cpp, mainUnitLinks.cpp) ----
    // The thumbnail's Tag when Control is an image holding a picture whose Tag is a
    // position in the photo list (1 ... photo count); 0 otherwise.
    int GuardedPhotoTag(TObject* Control) const;
    // Opens Target (a folder or a web address) with the desktop's default handler. The
    // headless program records the call instead (platform/shell recording mode).
    void OpenWithShell(const std::string& Target);

private:
    void BuildAddressRow();
    void BuildLeftColumn();
    void BuildThumbnails();
    void BuildStatusBar();
    void BuildComponents();
    // Fetches the promotional links into LinkList.
    void LoadLinks();

    // ---- the album run (mainUnitAlbum.cpp) ----
public:
    // The run the download button starts; its settings may be changed between runs (the
    // button sets the folder, the addresses and the music choice each time).
    TAlbumRun& AlbumRun() { return *FAlbumRun; }
    // How the latest album run ended.
    const TAlbumRunResult& LastRun() const { return FAlbumRun->Result(); }

private:
    void WireAlbumRun();
    void FetchAlbumPage(const std::string& PageUrl);
    void DownloadAlbum(const std::string& Title, const std::string& AlbumId);
    void AlbumOpened(const std::string& Folder);
    void ShowThumbnail(int Index, const std::string& FilePath, bool Saved);
    // Empties every thumbnail: picture and popup menu.
    void ClearThumbnails();
    void AlbumRunEnded(const TAlbumRunResult& Result);
    std::unique_ptr<TAlbumRun> FAlbumRun;
};

// The log's last line of a run that opened its album: "共 12 张：新保存 3，跳过 9，失败 0；
// 文件夹: FOLDER" ("，已停止" before the folder after a stop). New photos are the saved ones
// that were not there before.
std::string RunCountsLine(const TAlbumRunResult& Result, const std::string& Folder);

// ---- state shared by the windows ----

extern std::string AppDir;      // the program's folder, ending in "/"
extern std::string AlbumDir;    // the latest album's folder, ending in "/"
extern std::unique_ptr<TStringList> LinkList;  // promotional links: caption, address, ...
extern int32_t LinkIndex;       // the link pair showing, 0 ... 4
extern std::string AppVersion;  // "KV1.0"
extern TMainForm* MainForm;
extern TPreviewForm* PreviewForm;

// Writes one line of progress into the status pane of the main window. An equal text
// changes nothing. Processes no messages itself.
void SetStatusText(const std::string& text);

// The module's initialisation and finalisation, in the program's start-up order.
void InitializeMainUnit();
void FinalizeMainUnit();

// ---- the promotional link list (mainUnitLinks.cpp) ----

// The link rotation shows at most this many caption/address pairs.
constexpr int MaxLinkPairs = 5;
// Splits the link server's text into Into, appending each piece in order: pieces end at
// "|", CR, LF or the end; CR and LF at the start of a piece are skipped; a ' or " opens a
// quoted stretch, up to the next mark of the same kind or the end, in which "|", CR and LF
// do not end the piece (the marks stay in it); empty pieces add nothing.
void SplitLinkText(const std::string& Text, TStringList& Into);
// The number of complete caption/address pairs the rotation uses: those in LinkList, at
// most MaxLinkPairs; 0 without a list.
int LinkPairCount();
