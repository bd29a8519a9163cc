// StdCtrls: the standard controls: label, single-line edit, memo, combo box, check box
// and button.
//
// Each is a thin model over TControl: what a user can change in a widget (an edit's text,
// a memo's lines, a check box's state) flows back into the model through the same
// setters a program uses, so handlers see one truth whatever the backend.
#pragma once

#include "ui/forms/Controls.h"

class TLabel : public TControl {
public:
    using TControl::TControl;
    TControlKind Kind() const override { return TControlKind::Label; }
    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment a);
    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool v) { FTransparent = v; }

private:
    TAlignment FAlignment = taLeftJustify;
    bool FTransparent = true;
};

// A single-line edit; its Text is the line.
class TEdit : public TControl {
public:
    explicit TEdit(TComponent* AOwner);
    TControlKind Kind() const override { return TControlKind::Edit; }
};

// A multi-line text whose lines are Lines.
class TMemo : public TControl {
public:
    explicit TMemo(TComponent* AOwner);
    TControlKind Kind() const override { return TControlKind::Memo; }
    TStrings& Lines() { return FLines; }
    const TStrings& Lines() const { return FLines; }
    void Clear() { FLines.Clear(); }
    // Flat: drawn without the sunken three-dimensional frame.
    bool Ctl3D() const { return FCtl3D; }
    void SetCtl3D(bool v);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool v) { FReadOnly = v; }

private:
    TStrings FLines;
    bool FCtl3D = true;
    bool FReadOnly = false;
};

enum TComboBoxStyle { csDropDown, csDropDownList };

// A drop-down list of Items with an edit line (Text).
class TComboBox : public TControl {
public:
    explicit TComboBox(TComponent* AOwner);
    TControlKind Kind() const override { return TControlKind::ComboBox; }
    TStrings& Items() { return FItems; }
    const TStrings& Items() const { return FItems; }
    // -1 when no item is selected.
    int ItemIndex() const { return FItemIndex; }
    void SetItemIndex(int i);
    TComboBoxStyle Style() const { return FStyle; }
    void SetStyle(TComboBoxStyle s) { FStyle = s; }

private:
    TStrings FItems;
    int FItemIndex = -1;
    TComboBoxStyle FStyle = csDropDown;
};

class TCheckBox : public TControl {
public:
    using TControl::TControl;
    TControlKind Kind() const override { return TControlKind::CheckBox; }
    bool Checked() const { return FChecked; }
    // A change of state runs OnClick, as a click of the user does.
    void SetChecked(bool v);
    // A user click toggles the box.
    void Click() override { SetChecked(!FChecked); }

private:
    bool FChecked = false;
};

class TButton : public TControl {
public:
    using TControl::TControl;
    TControlKind Kind() const override { return TControlKind::Button; }
    // Click() (from TControl) runs OnClick: the same handler the widget's press runs.
};
