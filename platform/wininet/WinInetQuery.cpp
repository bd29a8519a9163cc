// WinInet: queries and options (see WinInet.h): HttpQueryInfoA over the response head (or
// the request head we sent), and the options of handles and of the process, which live
// under the table lock.
#include "platform/wininet/WinInet.h"

#include "platform/wininet/InetExchange.h"
#include "platform/rtl/SysUtils.h"

#include <cstring>
#include <mutex>
#include <string>

using namespace inetwire;

// ==== queries ===========================================================================================

namespace {

// The value the query asks for; false when absent.
bool QueryValue(const TRequestHandle& req, DWORD level, bool requestHeaders, LPVOID buffer, size_t index,
                std::string& value) {
    TResponseHead sent;
    const TResponseHead* head = &req.Response;
    if (requestHeaders) {
        // Parse our own head with the response parser: only the first line differs.
        std::string text = req.RequestHead;
        size_t eol = text.find("\r\n");
        TInetSocket none(-1);
        none.Buffer = "HTTP/1.0 200 x" + text.substr(eol);
        none.Eof = true;
        if (ReadResponseHead(none, 0, sent) != ERROR_SUCCESS) return false;
        sent.Raw = req.RequestHead;
        head = &sent;
    }
    const char* name = nullptr;
    switch (level) {
    case HTTP_QUERY_STATUS_CODE:
        value = IntToStr(head->Status);
        return !requestHeaders && index == 0;
    case HTTP_QUERY_STATUS_TEXT:
        value = head->StatusText;
        return !requestHeaders && index == 0;
    case HTTP_QUERY_VERSION:
        value = head->Version;
        return !requestHeaders && index == 0;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
        value = head->Raw;
        return index == 0;
    case HTTP_QUERY_CONTENT_TYPE: name = "Content-Type"; break;
    case HTTP_QUERY_CONTENT_LENGTH: name = "Content-Length"; break;
    case HTTP_QUERY_DATE: name = "Date"; break;
    case HTTP_QUERY_LOCATION: name = "Location"; break;
    case HTTP_QUERY_TRANSFER_ENCODING: name = "Transfer-Encoding"; break;
    case HTTP_QUERY_CUSTOM:
        if (!buffer) return false;
        name = static_cast<const char*>(buffer);
        break;
    default: return false;
    }
    std::string wanted = name;  // the buffer is overwritten below
    return head->Find(wanted, index, value);
}

}  // namespace

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                    LPDWORD index) {
    auto req = Lookup<TRequestHandle>(request);
    if (!req) return FALSE;
    if (!bufferLength) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(req->Lock);
    bool requestHeaders = (infoLevel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
    if (requestHeaders ? req->RequestHead.empty() : !req->HaveResponse)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    std::string value;
    size_t which = index ? *index : 0;
    if (!QueryValue(*req, infoLevel & HTTP_QUERY_HEADER_MASK, requestHeaders, buffer, which, value))
        return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    if (infoLevel & HTTP_QUERY_FLAG_NUMBER) {
        std::string digits = Trim(value);
        if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
            return Fail(ERROR_HTTP_INVALID_HEADER);
        if (*bufferLength < sizeof(DWORD) || !buffer) {
            *bufferLength = sizeof(DWORD);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        DWORD number = DWORD(std::stoull(digits));
        std::memcpy(buffer, &number, sizeof number);
        *bufferLength = sizeof(DWORD);
    } else {
        if (!buffer || *bufferLength < value.size() + 1) {
            *bufferLength = DWORD(value.size() + 1);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, value.c_str(), value.size() + 1);
        *bufferLength = DWORD(value.size());
    }
    if (index) *index = DWORD(which + 1);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

// ==== options ==============================================================================================

namespace {

DWORD* TimeoutSlot(TTimeouts& t, DWORD option) {
    switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT: return &t.Connect;
    case INTERNET_OPTION_SEND_TIMEOUT: return &t.Send;
    case INTERNET_OPTION_RECEIVE_TIMEOUT: return &t.Receive;
    default: return nullptr;
    }
}

DWORD* PoolSlot(TPoolLimits& l, DWORD option) {
    switch (option) {
    case INTERNET_OPTION_POOL_PER_SERVER: return &l.PerServer;
    case INTERNET_OPTION_POOL_TOTAL: return &l.Total;
    case INTERNET_OPTION_POOL_IDLE_TIMEOUT: return &l.IdleMs;
    default: return nullptr;
    }
}

// Reads (Write false) or sets one option of a live handle, or of the defaults for null.
// ERROR_SUCCESS or the failure's number. Caller holds the table lock.
DWORD AccessOption(HINTERNET handle, DWORD option, DWORD& value, bool write) {
    THandle* h = nullptr;
    if (handle && !(h = FindLocked(handle))) return ERROR_INVALID_HANDLE;
    // Time-outs are read by the request's own calls through TimeoutsNow, under this lock.
    if (DWORD* slot = TimeoutSlot(h ? h->Timeouts : DefaultTimeoutsLocked(), option)) {
        if (write) *slot = value;
        else value = *slot;
        return ERROR_SUCCESS;
    }
    if (option == INTERNET_OPTION_EXPIRED_TIMEOUT) {
        if (!h || h->Kind != hkRequest) return ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        if (write) return ERROR_INTERNET_OPTION_NOT_SETTABLE;
        value = static_cast<const TRequestHandle&>(*h).ExpiredTimeout.load();
        return ERROR_SUCCESS;
    }
    auto* session = h && h->Kind == hkSession ? static_cast<TSessionHandle*>(h) : nullptr;
    TPoolLimits limits = session ? session->Pool->Limits() : DefaultPoolLimitsLocked();
    DWORD* slot = PoolSlot(limits, option);
    if (!slot) return ERROR_INTERNET_INVALID_OPTION;
    if (h && !session) return ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    if (!write) {
        value = *slot;
        return ERROR_SUCCESS;
    }
    *slot = value;
    if (session) session->Pool->SetLimits(limits);
    else DefaultPoolLimitsLocked() = limits;
    return ERROR_SUCCESS;
}

}  // namespace

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
    if (!buffer || bufferLength < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof value);
    auto table = LockTable();
    DWORD r = AccessOption(handle, option, value, true);
    if (r != ERROR_SUCCESS) return Fail(r);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength) {
    if (!bufferLength) return Fail(ERROR_INVALID_PARAMETER);
    auto table = LockTable();
    DWORD value = 0;
    DWORD r = AccessOption(handle, option, value, false);
    if (r != ERROR_SUCCESS) return Fail(r);
    if (!buffer || *bufferLength < sizeof(DWORD)) {
        *bufferLength = sizeof(DWORD);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, &value, sizeof(DWORD));
    *bufferLength = sizeof(DWORD);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}
