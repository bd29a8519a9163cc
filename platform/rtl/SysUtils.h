// SysUtils: the run-time library's root exception and its small text helpers.
//
// Every error this system raises derives from Exception, which carries one message in the
// system's own wording. Texts are byte strings (std::string) in the system code page,
// which is UTF-8 here; the case helpers work byte by byte on ASCII letters only, so a
// multibyte character is never altered.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

// The root of the system's exceptions. what() and Message() return the same text.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    ~Exception() override = default;

    const std::string& Message() const { return FMessage; }
    void SetMessage(const std::string& message) { FMessage = message; }
    const char* what() const noexcept override { return FMessage.c_str(); }

private:
    std::string FMessage;
};

// A text that is not a number where one was required.
class EConvertError : public Exception { using Exception::Exception; };
// An index outside a list ("List index out of bounds (5)").
class EListError : public Exception { using Exception::Exception; };
// A file that cannot be opened, created, read or written.
class EInOutError : public Exception { using Exception::Exception; };
class EFOpenError : public EInOutError { using EInOutError::EInOutError; };
class EFCreateError : public EInOutError { using EInOutError::EInOutError; };
class EReadError : public EInOutError { using EInOutError::EInOutError; };
class EWriteError : public EInOutError { using EInOutError::EInOutError; };

// ---- numbers ------------------------------------------------------------------------

std::string IntToStr(int64_t value);
// Decimal text (optional sign, blanks around allowed) to an integer; throws
// EConvertError "'<text>' is not a valid integer value" otherwise.
int64_t StrToInt(const std::string& text);
// As StrToInt, returning Default instead of throwing.
int64_t StrToIntDef(const std::string& text, int64_t Default);
// A number as a command line gives it: plain decimal digits only (no sign, no blanks)
// with a value from Low to High. False, with Value unchanged, for anything else.
bool ReadBoundedNumber(const std::string& text, int low, int high, int& value);

// ---- texts --------------------------------------------------------------------------

// Removes bytes <= 32 at both ends (the run-time library's Trim).
std::string Trim(const std::string& text);
std::string TrimLeft(const std::string& text);
std::string TrimRight(const std::string& text);
// Byte-wise ASCII case conversion; bytes >= 128 are left alone.
std::string UpperCase(const std::string& text);
std::string LowerCase(const std::string& text);
char CharUpper(char c);
char CharLower(char c);
// In-place case conversion of a buffer of Length bytes (the Windows calls' semantics).
void CharUpperBuffA(char* buffer, size_t length);
void CharLowerBuffA(char* buffer, size_t length);
bool SameText(const std::string& a, const std::string& b);
// 1-based position of Sub in S, 0 when absent (the run-time library's Pos).
size_t Pos(const std::string& sub, const std::string& s);
bool StartsText(const std::string& prefix, const std::string& s);

// ---- code pages ---------------------------------------------------------------------

// Converts UTF-8 to the system code page. The system code page is UTF-8, so valid text
// passes unchanged; every invalid sequence (stray continuation byte, truncated or
// overlong sequence, surrogate, value above U+10FFFF) becomes U+FFFD, never raw bytes.
std::string Utf8ToAnsi(const std::string& utf8);

// ---- string resources ---------------------------------------------------------------

// The program's string table. Unknown identifiers give an empty text.
constexpr int SMainWindowTitle = 65113;
std::string LoadStr(int ident);
