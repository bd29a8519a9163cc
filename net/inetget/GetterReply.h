// GetterReply: what the getter reads out of an answer, and how it words a failure. Pure
// functions over texts, no state: the Content-Range of a resumed transfer, and the English reasons that ErrorText reports
// ("connection refused", "HTTP 404 Not Found", ...). Address schemes and control-byte
// checks are the shared wire rules' (platform/httpwire).
#pragma once

#include "platform/rtl/WinTypes.h"

#include <cstdint>
#include <string>

namespace getterreply {

// A Content-Range "bytes FIRST-LAST/TOTAL" (TOTAL -1 for "*").
struct TContentRange {
    int64_t First = 0, Last = 0, Total = -1;
};
// False for any other form, or LAST before FIRST, or TOTAL not beyond LAST.
bool ParseContentRange(const std::string& value, TContentRange& range);
// True when a 206 answer with this Content-Range value continues a file of Offset bytes to
// its end: it starts at Offset, reaches the last byte when the total is known, and agrees
// with the Content-Length when there is one (Length < 0: none).
bool RangeContinues(const std::string& value, int64_t offset, int64_t length);

// ---- failure texts --------------------------------------------------------------------

// The reason for an internet-library error number. For ERROR_INTERNET_TIMEOUT, Wait names
// the bound that ran out ("connect", "send", "receive") and Ms its length.
std::string InternetErrorText(DWORD error, const std::string& wait = "receive", DWORD ms = 0);
// "HTTP 404 Not Found" ("HTTP 404" without a reason phrase); control bytes in the server's
// phrase become '?', and it is cut at 100 bytes.
std::string StatusErrorText(int status, const std::string& reason);

}  // namespace getterreply
