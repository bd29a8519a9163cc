// commonFunc: the small text helpers the album workflow and the album parser share.
//
// SafeFileName and UrlEncode work byte by byte on texts in the system code page (UTF-8
// here), so a multibyte character is never split or converted. AlbumFolderName is the one
// place that turns a sanitised album title into the name of the album's folder; the
// workflow must use it so that no title can point the photos beside the program or
// outside its folder. The rest are the small rules an album run applies to what a site
// sends: which addresses it follows, which bytes are a picture, how long a busy server
// asks it to wait.
#pragma once

#include <cstdint>
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

// Hears one text (a status text, a log line). Empty: the texts are dropped.
using TTextEvent = std::function<void(const std::string& Text)>;

// ---- what a site sends ------------------------------------------------------------------

// Percent-encodes ("%XX", upper case) every byte of Text that cannot stand in a request
// line: control bytes, the blank, DEL, "#" and every byte of 128 or more. Everything else,
// "%" included (an id may already be encoded), stays.
std::string EncodeRequestBytes(const std::string& Text);

// The scheme of an address, lower-cased ("http" of "HTTP://h/"), read as the HTTP client
// reads it (platform/httpwire); empty when the address has none.
std::string UrlScheme(const std::string& Url);
// True for an address this program fetches: scheme http or https and no control byte
// anywhere.
bool IsFetchableAddress(const std::string& Url);
// The site an address names, read as the HTTP client reads it: "scheme://host[:port]"
// with the scheme lower-cased ("http" when the address names none) and the port as
// written; empty when the address names no host ("/album/x.html").
std::string AddressSite(const std::string& Url);
// "host:port" of an address, the port filled in for its scheme (443 for https, else 80)
// when it gives none; empty when it names no host. Failure texts name the server so.
std::string AddressHostPort(const std::string& Url);

// True when Head (the first bytes of a file) starts with the signature of a JPEG
// (FF D8 FF), PNG, GIF (GIF87a, GIF89a) or WebP (RIFF....WEBP) picture.
constexpr size_t PictureSignatureBytes = 12;
bool HasPictureSignature(const std::string& Head);
// HasPictureSignature of the file's first bytes; false when it cannot be read.
bool FileHasPictureSignature(const std::string& FileName);
// True when Tail (the last bytes of a file of FileSize bytes, at least the last 16) ends
// the way a whole picture of the kind Head (its first bytes) names ends: a JPEG with its
// end marker (FF D9, zero bytes after it allowed), a PNG with its IEND chunk, a GIF with
// its trailer (3B), a WebP whose file holds the whole RIFF length. A picture cut short
// ends in the middle of its data.
bool HasPictureEnd(const std::string& Head, const std::string& Tail, int64_t FileSize);
// The file starts with a picture signature and ends like a whole picture; false when it
// cannot be read.
bool FileIsWholePicture(const std::string& FileName);

// Reads an HTTP date in any of the three forms HTTP allows ("Sun, 06 Nov 1994 08:49:37
// GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994") as seconds since
// 1970; false for anything else.
bool ParseHttpDate(const std::string& Text, int64_t& UnixSeconds);
// The wait a Retry-After value asks for, in milliseconds: a number of seconds, or an HTTP
// date taken against the answer's Date header (DateHeader; when it is empty or unreadable,
// against NowUnixSeconds). Never more than MaxRetryAfterMs, never less than 0; -1 when the
// value is neither.
constexpr int64_t MaxRetryAfterMs = 60000;
int64_t RetryAfterMs(const std::string& Value, const std::string& DateHeader, int64_t NowUnixSeconds);

// The validator a resumed transfer sends as If-Range, taken from a response head (the
// status line and header lines, CR LF or LF separated): the ETag when it is a strong one,
// else Last-Modified; empty when the head has neither (such a transfer is not resumed).
std::string ResumeValidator(const std::string& RawHead);
// Whether the answer with this head is worth resuming after a kill, which costs a
// validator file made and removed beside the photo's part: a megabyte or more, or chunks
// of a length not told. A smaller photo arrives in moments and is fetched again whole; so
// is an answer that ends at the close (no length, no chunks: a script's or a small
// server's, which seldom takes a range anyway).
constexpr int64_t ResumeWorthBytes = 1 << 20;
bool WorthResuming(const std::string& RawHead);

// ---- album folders ----------------------------------------------------------------------

// The folder album folders go in: ProgramDir when it can be written, else Fallback (both
// end in "/"). The window falls back to $HOME/Albrivo/, albrivo-cli to the current folder.
std::string AlbumBaseFolder(const std::string& ProgramDir, const std::string& Fallback);
// True when the folder exists and this process may create files in it.
bool FolderWritable(const std::string& Dir);

// ---- scratch file -------------------------------------------------------------------

// The scratch file for downloaded texts that are read back or thrown away (the album
// XML, the usage report's answer): "1.txt" in the process's private temporary folder.
// Throws EInOutError when that folder cannot be created.
std::string ScratchFileName();
