// StdCtrls: label, edit, memo, combo box, check box, button (see StdCtrls.h).
#include "ui/forms/StdCtrls.h"

void TLabel::SetAlignment(TAlignment a) {
    if (a == FAlignment) return;
    FAlignment = a;
    Changed(TChange::Caption);
}

TEdit::TEdit(TComponent* AOwner) : TControl(AOwner) { SetColor(clWindow); }

TMemo::TMemo(TComponent* AOwner) : TControl(AOwner) {
    SetColor(clWindow);
    FLines.OnChange = [this] { Changed(TChange::Content); };
}

void TMemo::SetCtl3D(bool v) {
    if (v == FCtl3D) return;
    FCtl3D = v;
    Invalidate();
}

TComboBox::TComboBox(TComponent* AOwner) : TControl(AOwner) {
    SetColor(clWindow);
    FItems.OnChange = [this] {
        if (FItemIndex >= FItems.Count()) FItemIndex = -1;
        Changed(TChange::Content);
    };
}

void TComboBox::SetItemIndex(int i) {
    if (i < -1 || i >= FItems.Count()) i = -1;
    if (i == FItemIndex) return;
    FItemIndex = i;
    if (i >= 0) SetText(FItems[i]);
    Changed(TChange::Content);
}

void TCheckBox::SetChecked(bool v) {
    if (v == FChecked) return;
    FChecked = v;
    Changed(TChange::Content);
    TControl::Click();
}
