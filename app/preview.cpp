// preview: the preview window's frame (see preview.h).
#include "app/preview.h"

TPreviewForm::TPreviewForm(TComponent* AOwner) : TForm(AOwner) {
    SetName("PreviewForm");
    SetCaption("预览图片");
    SetBounds(0, 0, 918, 654);
    SetPosition(poScreenCenter);
    SetFormStyle(fsStayOnTop);
    SetColor(clBtnFace);
    Font().SetName("Tahoma");
    Font().SetHeight(-11);
}
