// SiteTransport: the demo site's server side, behind one small interface.
//
// A transport listens on an address, reads each connection's request with
// TRequestReader, asks its Handler for the answer, sends it with TResponseSender
// (directives included) and closes the connection: one request per connection, as
// HTTP/1.0 without keep-alive. Run serves on the calling thread until Stop, which any
// thread may call. Connections are served concurrently, so a trickling photo does not
// hold up the other requests.
#pragma once

#include "demo/SiteHttp.h"
#include "platform/rtl/SysUtils.h"

#include <functional>
#include <memory>
#include <string>

// A transport that cannot listen ("Cannot listen on 127.0.0.1:18690: ...").
class ESiteError : public Exception { using Exception::Exception; };

class TSiteTransport {
public:
    virtual ~TSiteTransport() = default;

    // Binds and listens; Port 0 picks a free port. Returns the port listened on. Throws
    // ESiteError.
    virtual int Listen(const std::string& bindAddress, int port) = 0;
    // Serves until Stop. Called once, after Listen, on the thread that serves.
    virtual void Run() = 0;
    // Makes Run return soon; open connections are closed. Any thread, any number of times.
    virtual void Stop() = 0;

    // The answer to a request; called on the serving thread.
    std::function<TSiteResponse(const TSiteRequest&)> Handler;
    // One line per answered request (see RequestLogLine); called on the serving thread.
    std::function<void(const std::string& line)> OnLog;
};

// Plain BSD sockets and poll().
std::unique_ptr<TSiteTransport> NewPollTransport();
// The project's own TWSocket in line mode, in the creating thread's message loop. Only in
// builds that have the socket layer (DEMO_HAVE_WSOCKET).
std::unique_ptr<TSiteTransport> NewWSocketTransport();
