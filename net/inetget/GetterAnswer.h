// GetterAnswer: the answer a getter's transfer reads, wherever it comes from: a request
// handle of the internet library, or the worker's own line (ServerLine.h). The worker's
// read loop, its head handling and its failure texts see only this interface, so one
// read loop serves both, and another transport can take the line's place behind it.
//
// An answer is the final one (after redirects, interim answers skipped). Read follows
// InternetReadFile's rules: bytes delivered together with a failure are still the body's.
// Threads: the worker's only.
#pragma once

#include "net/inetget/ServerLine.h"
#include "platform/wininet/WinInet.h"

#include <memory>
#include <string>

class TGetterAnswer {
public:
    virtual ~TGetterAnswer() = default;
    // The final head's status code (0 when unknown), reason phrase and whole text.
    virtual int Status() const = 0;
    virtual std::string StatusText() const = 0;
    virtual std::string RawHead() const = 0;
    // The Content-Length value as it came; false when the answer has none.
    virtual bool ContentLength(std::string& value) const = 0;
    // Up to Count body bytes into Dest; Got receives how many (0 at the end of the body).
    // ERROR_SUCCESS, or the failure's ERROR_* number (Got may still be above 0).
    virtual DWORD Read(char* dest, DWORD count, DWORD& got) = 0;
    // The reason of the failure Error of this answer's last call, in English (a refused
    // certificate names the host, a time-out names its wait and length).
    virtual std::string FailureText(DWORD error) const = 0;
};

// The answer on a library request handle that was sent (not owned).
std::unique_ptr<TGetterAnswer> LibraryAnswer(HINTERNET request);
// The answer being read on Line, with the transfer's time-outs (the line stays the caller's).
std::unique_ptr<TGetterAnswer> LineAnswer(TServerLine& line, const inetwire::TTimeouts& limits);

// The reason of the internet library's last error on this thread, for Request (may be
// null): the text of a refused certificate or tunnel, or the error's own.
std::string LibraryFailureText(HINTERNET request);
// The reason of a failure Error of Line's last call.
std::string LineFailureText(const TServerLine& line, DWORD error, const inetwire::TTimeouts& limits);
