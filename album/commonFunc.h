// commonFunc: the small text helpers the album workflow and the album parser share.
//
// SafeFileName and UrlEncode work byte by byte on texts in the system code page (UTF-8
// here), so a multibyte character is never split or converted. AlbumFolderName is the one
// place that turns a sanitised album title into the name of the album's folder; the
// workflow must use it so that no title can point the photos beside the program or
// outside its folder. The status hook lets the parser report progress without knowing
// the main window: the window installs its SetStatusText with SetStatusTextSink.
#pragma once

#include <functional>
#include <string>

// Replaces each of * ? " / \ < > ' and every control byte (0-31, 127) by "_". Every other
// byte, the colon and the vertical bar included, stays. The result has the input's length.
std::string SafeFileName(const std::string& Name);

// Percent-encodes Text byte by byte: A-Z a-z 0-9 - . _ stay, a blank becomes "+" when
// SpaceAsPlus is true and "%20" otherwise, every other byte becomes "%XX" (upper-case
// hexadecimal). Bytes of 128 and more are encoded as they are, not converted.
std::string UrlEncode(const std::string& Text, bool SpaceAsPlus);

// The folder name of an album (no trailing "/"). SafeTitle is SafeFileName of the page
// title. When it is empty or holds only dots and blanks (".", "..", " . "), which would
// name the program's own folder or its parent, the name is "album_" + SafeFileName of
// AlbumId. A name longer than MaxFolderNameBytes is cut at a character boundary so that
// the folder can be created.
constexpr size_t MaxFolderNameBytes = 200;
std::string AlbumFolderName(const std::string& SafeTitle, const std::string& AlbumId);

// ---- status text --------------------------------------------------------------------

// Receives each progress text of the album layer; the main window installs one that
// writes its status pane. An empty sink (the default) drops the texts.
using TStatusTextSink = std::function<void(const std::string& Text)>;
void SetStatusTextSink(TStatusTextSink Sink);
// Passes Text to the installed sink, if any. Interface thread only.
void ShowStatusText(const std::string& Text);

// ---- scratch file -------------------------------------------------------------------

// The scratch file for downloaded texts that are read back or thrown away (the album
// XML, the usage report's answer): "1.txt" in the process's private temporary folder.
// Throws EInOutError when that folder cannot be created.
std::string ScratchFileName();
