// FltkPeers: the FLTK widgets of the toolkit's controls (internal to ui_forms_fltk).
//
// One peer per control kind. A peer reads the model when told what changed and writes
// back only what the user changed in the widget (text typed, box ticked), through the
// model's own setters; a flag keeps that write from echoing back into the widget. Clicks
// go through DeliverClick and friends, so they run the handlers a test runs headless.
// Widget positions are window-relative in FLTK: a peer places its widget at the control's
// position in its form's client area.
#pragma once

#include "ui/forms/Controls.h"

#include <FL/Enumerations.H>
#include <memory>

// The widget of Control (a window for a form).
std::unique_ptr<TControlPeer> CreateFltkPeer(TControl& control);

// Font and colour mapping. Every face maps to the CJK font installed by FltkBackend.
Fl_Font FltkFont(const TFont& font);
int FltkFontSize(const TFont& font);
Fl_Color FltkColor(TColor color);
