// InetRequestHead: the HTTP/1.1 rules of one exchange on a connection that hold whoever
// drives it: the internet library's calls (InetExchange), and the getter's pipelined line
// in net/inetget, which speaks to a server on a connection of its own. Composing a request
// head (object name, extra header lines, how the request asks about its connection) and
// reading the final answer's head (interim 1xx answers skipped), and what an answer says
// about its connection. Pure functions over texts and one socket; no handles, no state.
#pragma once

#include "platform/wininet/InetWire.h"

#include <string>
#include <vector>

namespace inetwire {

// ---- request composition ---------------------------------------------------------------------

// The object name as it goes on the request line: spaces and bytes above 127
// percent-encoded, a leading "/" added.
std::string EncodeObject(const std::string& object);
// The caller's extra header lines, checked: false for a line that is not "Name: value" or
// holds control bytes. Content-Length lines are dropped: framing is ours to write.
bool SplitExtraHeaders(const std::string& text, std::vector<std::string>& lines);

// How a request asks about its connection: the version on the wire, the Connection line we
// add (empty: none), and whether it asks to keep the connection.
struct TConnectionAsk {
    std::string Version;
    std::string Line;
    bool Persistent = false;
};
// A request of Version asks to keep its connection when it is "HTTP/1.1", or "HTTP/1.0"
// with KeepConnection (it then goes out as HTTP/1.1); a "Connection" line among Extra
// replaces ours, and one that says close gives the connection up.
TConnectionAsk AskForConnection(const std::string& version, bool keepConnection, const std::vector<std::string>& extra);

// What a request head is made of, in the order its lines go out.
struct TRequestFields {
    std::string Verb, Target, Version;  // the request line
    std::string Accept, Referer, Agent; // each line only when not empty
    std::string Host;                   // the Host line's value
    std::string Credentials;            // "user:password" for Basic, or empty
    std::string ProxyCredentials;       // the proxy's, for an absolute target, or empty
    bool PragmaNoCache = false;
    std::string Connection;             // our Connection line's value, empty: none
    std::vector<std::string> Extra;     // the caller's lines, checked
    bool SendsLength = false;           // Content-Length goes out (a body, a POST or PUT)
    size_t BodyLength = 0;
};
std::string ComposeRequestHead(const TRequestFields& fields);

// ---- answers ------------------------------------------------------------------------------------

// Reads the final response head on Sock, skipping interim 1xx answers (a few).
// ERROR_SUCCESS or ReadResponseHead's failure; a server that sends interim answers
// without end fails with ERROR_HTTP_INVALID_SERVER_RESPONSE.
DWORD ReadFinalResponseHead(TInetSocket& sock, DWORD timeoutMs, TResponseHead& head);
// True when an exchange failed because the server closed (or reset) the connection
// before any byte of the answer: it may never have seen the request.
bool ClosedUnanswered(DWORD r, const TInetSocket& sock, uint64_t receivedBefore);
// True when a value of header Name holds Token.
bool HeaderHasToken(const TResponseHead& head, const std::string& name, const std::string& token);
// True when an answer says its connection stays open after it: the server did not say
// close, and an HTTP/1.0 server said keep-alive.
bool HeadKeepsConnection(const TResponseHead& head);

}  // namespace inetwire
