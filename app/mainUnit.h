// mainUnit: the main window TMainForm, the state the windows share, and the status line.
//
// The constructor builds every control of the window in layout order at its fixed
// position (client coordinates of the 770 x 578 window); FormCreate then sets the title,
// the program folder, starts the browser panel on the maker's information page and
// fetches the promotional links. The globals below live for the whole run and are touched
// on the interface thread only.
#pragma once

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
#include <memory>
#include <string>

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

    // Read by the usage report; empty at creation.
    std::string SourceUrl;

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

private:
    void BuildAddressRow();
    void BuildLeftColumn();
    void BuildThumbnails();
    void BuildStatusBar();
    void BuildComponents();
    // Fetches the promotional links into LinkList.
    void LoadLinks();
};

// ---- state shared by the windows ----

extern std::string AppDir;      // the program's folder, ending in "/"
extern std::string AlbumDir;    // the latest album's folder, ending in "/"
extern bool StopRequested;      // set by the stop button
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
