// WinInet: the internet library's HTTP calls, doing blocking HTTP over BSD sockets on the
// thread that calls them.
//
// Handles form a tree: a session (InternetOpenA) holds connections (InternetConnectA),
// a connection holds requests (HttpOpenRequestA). HINTERNET values are numbers of this
// layer, counted upwards and never reused, so a closed handle stays invalid for good.
// Calls keep the library's conventions: a handle or TRUE on success, NULL or FALSE on
// failure with the reason in GetLastError() (a per-thread value; ERROR_* numbers below).
//
// Threads: every call may be made from any thread. A request is meant to be driven by one
// thread at a time (its calls are serialised by a lock of its own); InternetCloseHandle
// may come from any other thread at any moment: it aborts a call blocked on that handle
// (or on a child of it) at once, which then fails with ERROR_INTERNET_OPERATION_CANCELLED.
//
// What HttpSendRequestA does: connects (directly, or through the configured proxy),
// sends the request line and headers, follows redirects (301, 302, 303 as GET; 307, 308
// keeping method and body; at most 10; not with INTERNET_FLAG_NO_AUTO_REDIRECT), and reads
// the response head. InternetReadFile then reads the body, framed by Content-Length, by
// chunked transfer coding, or by the closing of the connection: such a body is whole only
// after an orderly close (a reset fails the read). Every wait is bounded:
// connect (10 s by default) and receive (30 s without a byte by default), settable with
// InternetSetOptionA on a handle, or on NULL for the process-wide defaults. Redirect
// targets are resolved as RFC 3986 section 5 resolves a reference; one whose Location
// names another scheme than http or https, or leads from https to http, fails the send.
//
// https (INTERNET_FLAG_SECURE): the request goes over TLS (platform/tls), to port 443
// when the connection was opened with INTERNET_INVALID_PORT_NUMBER. The certificate is
// verified as the process's settings say (tls::SetVerifySettings; by default the system
// trust store, SSL_CERT_FILE and SSL_CERT_DIR honoured, the host name or address checked,
// SNI sent, TLS 1.2 at least); a failed check fails the send with ERROR_INTERNET_SEC_*
// or _SECURITY_CHANNEL_ERROR before anything is sent, and InternetGetLastResponseInfoA
// gives its text, which names the host and the reason. Never is an https request sent in
// clear. A TLS body that ends at the close is whole only after the server's closing alert;
// a TCP close without it fails the read (ERROR_INTERNET_CONNECTION_ABORTED). TLS
// connections wait in the pool apart from plain ones, and reconnects resume the TLS
// session of the last connection to the same place. Through a proxy an https request
// goes through a CONNECT tunnel (the proxy sees only the host and port).
//
// Persistent connections: a request sent as HTTP/1.1 asks to keep its connection
// ("Connection: Keep-Alive"). That is every request opened with version "HTTP/1.1" (the
// default) and every "HTTP/1.0" one opened with INTERNET_FLAG_KEEP_CONNECTION, which then
// goes out as HTTP/1.1; other HTTP/1.0 requests go as they are and close, and a
// "Connection" line among the caller's headers replaces ours. The connection returns to
// the session's pool of idle connections (keyed by server host and port, and by proxy)
// once the body has been read to its proper end, unless the server said
// "Connection: close" or answered HTTP/1.0 without "Connection: keep-alive". A later GET of
// the same session to the same place takes it; when the server had closed it meanwhile
// (it ends before any byte of the answer), the GET goes once more on a new connection.
// Other verbs always take a new connection and are never sent twice. A redirect to the
// same place reuses the connection when the redirect's body is short. The pool keeps at
// most 4 idle connections per place and 16 per session, none reused after 30 s idle
// (INTERNET_OPTION_POOL_* below); closing the session closes them.
//
// Proxy (INTERNET_OPEN_TYPE_PRECONFIG): the environment's http_proxy (or HTTP_PROXY; for
// https requests https_proxy or HTTPS_PROXY),
// "[http://][user:password@]host[:port]", bypassed for hosts matching no_proxy (or
// NO_PROXY): a comma-separated list of names, ".suffix" / "suffix" domain matches, or "*".
//
// Texts containing CR, LF or other control bytes (server name, object name, verb, version,
// referrer, accept types, agent, user name, header lines) are refused: the call fails and
// nothing is sent.
#pragma once

#include "platform/rtl/WinTypes.h"

#include <cstdint>

using HINTERNET = void*;
using INTERNET_PORT = uint16_t;
using DWORD_PTR = uintptr_t;
using LPVOID = void*;
using LPDWORD = DWORD*;
using LPCSTR = const char*;

// ---- access types (InternetOpenA) ---------------------------------------------------------
constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;  // the system's proxy settings (environment)
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;     // no proxy
constexpr DWORD INTERNET_OPEN_TYPE_PROXY = 3;      // the proxy named in the call

// ---- ports and services (InternetConnectA) -------------------------------------------------
constexpr INTERNET_PORT INTERNET_INVALID_PORT_NUMBER = 0;  // the service's default port
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;
constexpr DWORD INTERNET_SERVICE_FTP = 1;
constexpr DWORD INTERNET_SERVICE_GOPHER = 2;
constexpr DWORD INTERNET_SERVICE_HTTP = 3;  // the only service this layer offers

// ---- request flags (HttpOpenRequestA) -----------------------------------------------------
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;          // from the server, not the cache
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;  // do not store in the cache
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;          // https: the request goes over TLS
constexpr DWORD INTERNET_FLAG_KEEP_CONNECTION = 0x00400000; // HTTP/1.0 requests too keep theirs
constexpr DWORD INTERNET_FLAG_NO_AUTO_REDIRECT = 0x00200000;// return 3xx answers as they are
constexpr DWORD INTERNET_FLAG_NO_COOKIES = 0x00080000;      // accepted, cookies are never kept
constexpr DWORD INTERNET_FLAG_NO_UI = 0x00000200;           // accepted, there is no UI
constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100;  // adds "Pragma: no-cache"
// This layer keeps no cache, so RELOAD and NO_CACHE_WRITE change nothing on the wire.

// ---- query levels (HttpQueryInfoA) --------------------------------------------------------
constexpr DWORD HTTP_QUERY_CONTENT_TYPE = 1;
constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD HTTP_QUERY_DATE = 9;
constexpr DWORD HTTP_QUERY_VERSION = 18;          // "HTTP/1.1"
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;      // "200"
constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;      // "OK"
constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22; // the whole response head, CR LF lines
constexpr DWORD HTTP_QUERY_LOCATION = 33;
constexpr DWORD HTTP_QUERY_TRANSFER_ENCODING = 63;
constexpr DWORD HTTP_QUERY_CUSTOM = 65535;        // the header named in the buffer
constexpr DWORD HTTP_QUERY_MODIFIER_FLAGS_MASK = 0xF0000000;
constexpr DWORD HTTP_QUERY_HEADER_MASK = 0x0000FFFF;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;          // the value as a DWORD
constexpr DWORD HTTP_QUERY_FLAG_REQUEST_HEADERS = 0x80000000; // the headers we sent

// ---- options (InternetSetOptionA / InternetQueryOptionA), DWORD milliseconds -------------
constexpr DWORD INTERNET_OPTION_CONNECT_TIMEOUT = 2;
constexpr DWORD INTERNET_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD INTERNET_OPTION_RECEIVE_TIMEOUT = 6;
// This layer's own options, DWORD values. The pool of idle connections, on a session (or
// NULL: the defaults of sessions opened later); 0 for either count keeps none:
constexpr DWORD INTERNET_OPTION_POOL_PER_SERVER = 0x10001;   // per server and proxy, 4
constexpr DWORD INTERNET_OPTION_POOL_TOTAL = 0x10002;        // per session, 16
constexpr DWORD INTERNET_OPTION_POOL_IDLE_TIMEOUT = 0x10003; // ms reusable when idle, 30000
// Read only, on a request: the time-out that ended its last failed call
// (INTERNET_OPTION_CONNECT_TIMEOUT, _SEND_TIMEOUT or _RECEIVE_TIMEOUT), 0 when none did.
constexpr DWORD INTERNET_OPTION_EXPIRED_TIMEOUT = 0x10004;

// ---- error numbers (GetLastError) ----------------------------------------------------------
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;                   // not a live handle
constexpr DWORD ERROR_INVALID_PARAMETER = 87;               // a missing or bad argument
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;            // *length now holds the size needed
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;             // connect, send or receive timed out
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;         // bad server or object name
constexpr DWORD ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006; // neither http nor https
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
constexpr DWORD ERROR_INTERNET_OPTION_NOT_SETTABLE = 12011;  // a read-only option
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017; // the handle was closed meanwhile
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;// not sent yet, or no response
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;      // refused or unreachable
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;  // closed before the end of the body
constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
// https: the certificate was not accepted (the text names the host and the reason) ...
constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;  // expired or not yet valid
constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;    // made out for another host
constexpr DWORD ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR = 12040; // a redirect from https to http
constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;             // not issued by a trusted authority
// ... or the handshake failed otherwise (an old protocol version, a cut, a bad CA file).
constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152; // not HTTP, or a head too large
constexpr DWORD ERROR_HTTP_INVALID_HEADER = 12153;          // a header line we were given
constexpr DWORD ERROR_HTTP_REDIRECT_FAILED = 12156;         // too many, or to another scheme

// The calling thread's last error number, and setting it.
DWORD GetLastError();
void SetLastError(DWORD error);

// The text of the calling thread's last failed handshake or tunnel, from the last call
// that sends (HttpSendRequestA): "Certificate of 127.0.0.1 not
// accepted: certificate has expired". *Error receives the error number, Buffer the text
// (*BufferLength: in its size, out the text's length; ERROR_INSUFFICIENT_BUFFER with the
// size needed). An empty text when that call had no such failure.
BOOL InternetGetLastResponseInfoA(LPDWORD error, char* buffer, LPDWORD bufferLength);

// ---- the calls ------------------------------------------------------------------------------

// Opens a session, with an empty pool of idle connections. Agent: the User-Agent text (NULL or "": none sent). Proxy / ProxyBypass:
// for INTERNET_OPEN_TYPE_PROXY, "host:port" (optionally "http=host:port") and a bypass
// list in no_proxy's form. NULL on a bad access type or text.
HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass,
                        DWORD flags);

// Opens a connection handle to ServerName (a name or dotted address; a ":port" written in
// it wins over ServerPort; port 0 means the default: 80, or 443 for https requests). Nothing is sent yet. UserName non-empty:
// requests carry Basic credentials for UserName:Password. NULL when the service is not
// HTTP or the server name is empty or contains control bytes.
HINTERNET InternetConnectA(HINTERNET session, LPCSTR serverName, INTERNET_PORT serverPort,
                           LPCSTR userName, LPCSTR password, DWORD service, DWORD flags,
                           DWORD_PTR context);

// Opens a request handle. Verb NULL: "GET"; Version NULL: "HTTP/1.1"; ObjectName NULL:
// "/"; Referrer may be NULL; AcceptTypes is a NULL-terminated array (NULL: no Accept
// header) whose entries are joined with ", ". NULL on a bad text. INTERNET_FLAG_SECURE:
// an https request.
HINTERNET HttpOpenRequestA(HINTERNET connect, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR context);

// Sends the request and reads the response head (following redirects). Headers: extra
// header lines separated by CR LF (HeadersLength (DWORD)-1: up to the NUL). Optional /
// OptionalLength: the body. FALSE when nothing could be sent or no response head arrived.
// Sending a request again drops what is left of its last answer.
BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength);

// Copies a response (or, with HTTP_QUERY_FLAG_REQUEST_HEADERS, request) header into Buffer.
// *BufferLength: in, the buffer's size in bytes; out, the text's length without its NUL, or
// on ERROR_INSUFFICIENT_BUFFER the size needed with it. With HTTP_QUERY_FLAG_NUMBER the
// value is stored as a DWORD (4 bytes). *Index (may be NULL): which occurrence of a
// repeated header, moved to the next on success. FALSE with ERROR_HTTP_HEADER_NOT_FOUND
// when the header is absent; ERROR_INTERNET_INCORRECT_HANDLE_STATE before a response.
BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                    LPDWORD index);

// Reads up to NumberOfBytesToRead body bytes, blocking until that many have come or the
// body has ended. TRUE with *NumberOfBytesRead 0 at the proper end of the body; FALSE
// when the connection broke before it (ERROR_INTERNET_CONNECTION_ABORTED or _RESET), on a
// receive time-out, or a bad chunked coding (bytes read before the failure are kept for
// the next call).
BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead,
                      LPDWORD numberOfBytesRead);

// Closes a handle and every handle below it; a call blocked on one of them returns at once.
// A session's idle connections close with it. A request whose body was not read to its
// end closes its connection.
// FALSE with ERROR_INVALID_HANDLE when it is not a live handle.
BOOL InternetCloseHandle(HINTERNET handle);

// Sets a time-out option (Buffer points to a DWORD of milliseconds, 0: no bound) on a
// handle (inherited by handles opened below it later) or, with Handle NULL, the defaults
// of handles opened later in the process; or a pool option on a session (or NULL).
// ERROR_INTERNET_INCORRECT_HANDLE_TYPE for an option the handle does not have.
BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
BOOL InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength);
