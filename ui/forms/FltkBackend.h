// FltkBackend: the FLTK window backend (target ui_forms_fltk).
//
// UseFltkBackend connects to the X display, maps FLTK's font faces to the CJK font so
// that Chinese captions render, installs the widget backend for the toolkit and the event
// loop backend for the message platform: the interface thread then waits in Fl::wait,
// which also watches the message queue's wake descriptor, so messages and window events
// share one loop. Call it once at start, before any form is shown.
#pragma once

#include <string>

// The font every FLTK face is mapped to (fonts-wqy-microhei).
constexpr const char* FltkCjkFontName = "WenQuanYi Micro Hei";

// True when the display could be opened and the backend is in force; otherwise Error
// says why and the headless backend stays.
bool UseFltkBackend(std::string& error);
