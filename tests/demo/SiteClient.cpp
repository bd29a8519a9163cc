// SiteClient: blocking loopback client for the demo site's tests (see SiteClient.h).
#include "SiteClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

std::string TTestReply::Header(const std::string& name) const {
    for (const auto& h : Headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
    return std::string();
}

bool TTestReply::Has(const std::string& name) const {
    for (const auto& h : Headers)
        if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
    return false;
}

TTestConnection::TTestConnection(int port) {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (FFd >= 0 && ::connect(FFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(FFd);
        FFd = -1;
    }
}

TTestConnection::~TTestConnection() {
    if (FFd >= 0) ::close(FFd);
}

bool TTestConnection::Send(const std::string& raw) {
    size_t off = 0;
    while (FFd >= 0 && off < raw.size()) {
        ssize_t n = ::send(FFd, raw.data() + off, raw.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += size_t(n);
    }
    return FFd >= 0;
}

bool TTestConnection::Fill(size_t n, int timeoutMs, TTestReply* reply) {
    char buf[65536];
    while (FBuffer.size() < n) {
        pollfd p{FFd, POLLIN, 0};
        int ready = ::poll(&p, 1, timeoutMs);
        if (ready <= 0) {
            reply->TimedOut = true;
            return false;
        }
        ssize_t got = ::recv(FFd, buf, sizeof buf, 0);
        if (got <= 0) {
            reply->Closed = true;
            return false;
        }
        FBuffer.append(buf, size_t(got));
    }
    return true;
}

bool TTestConnection::FillLine(std::string* line, int timeoutMs, TTestReply* reply) {
    size_t lf;
    while ((lf = FBuffer.find('\n')) == std::string::npos)
        if (!Fill(FBuffer.size() + 1, timeoutMs, reply)) return false;
    *line = FBuffer.substr(0, lf);
    FBuffer.erase(0, lf + 1);
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

TTestReply TTestConnection::Read(size_t maxBody, int timeoutMs) {
    TTestReply r;
    if (FFd < 0) return r;
    std::string line;
    if (!FillLine(&r.StatusLine, timeoutMs, &r)) return r;
    if (r.StatusLine.size() >= 12) r.Status = std::atoi(r.StatusLine.c_str() + 9);
    for (;;) {
        if (!FillLine(&line, timeoutMs, &r)) return r;
        if (line.empty()) break;
        size_t colon = line.find(':');
        size_t v = line.find_first_not_of(' ', colon + 1);
        r.Headers.emplace_back(line.substr(0, colon), v == std::string::npos ? "" : line.substr(v));
    }
    auto take = [&](size_t n) {
        r.Body += FBuffer.substr(0, n);
        FBuffer.erase(0, n);
    };
    if (!strcasecmp(r.Header("Transfer-Encoding").c_str(), "chunked")) {
        for (;;) {
            if (!FillLine(&line, timeoutMs, &r)) return r;
            size_t size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) {
                if (!FillLine(&line, timeoutMs, &r)) return r;  // the empty line after the last
                break;
            }
            if (r.Body.size() + size > maxBody) {
                Fill(std::min(size, maxBody - r.Body.size()), timeoutMs, &r);
                take(std::min(FBuffer.size(), maxBody - r.Body.size()));
                return r;
            }
            if (!Fill(size + 2, timeoutMs, &r)) return r;
            take(size);
            FBuffer.erase(0, 2);
        }
    } else if (r.Has("Content-Length")) {
        size_t length = std::strtoul(r.Header("Content-Length").c_str(), nullptr, 10);
        size_t want = std::min(length, maxBody);
        bool whole = Fill(want, timeoutMs, &r);
        take(std::min(FBuffer.size(), want));
        if (!whole || want < length) return r;
    } else {
        // Up to the end of the connection.
        while (r.Body.size() < maxBody && Fill(FBuffer.size() + 1, timeoutMs, &r))
            take(std::min(FBuffer.size(), maxBody - r.Body.size()));
        take(std::min(FBuffer.size(), maxBody - r.Body.size()));
        if (!r.Closed) return r;
        r.Complete = true;
        return r;
    }
    r.Complete = true;
    return r;
}

bool TTestConnection::ClosedWithin(int timeoutMs) {
    TTestReply r;
    auto start = TTestClock::now();
    while (!r.Closed) {
        long left = timeoutMs - MillisecondsSince(start);
        if (left <= 0) return false;
        FBuffer.clear();
        r.TimedOut = false;
        if (!Fill(1, int(left), &r) && r.TimedOut) return false;
    }
    return true;
}

std::string TTestConnection::ReadFor(int timeoutMs, size_t max) {
    TTestReply r;
    auto start = TTestClock::now();
    while (FBuffer.size() < max && !r.Closed) {
        long left = timeoutMs - MillisecondsSince(start);
        if (left <= 0 || !Fill(FBuffer.size() + 1, int(left), &r)) break;
    }
    std::string out = FBuffer.substr(0, std::min(max, FBuffer.size()));
    FBuffer.erase(0, out.size());
    return out;
}

std::string RequestText(const std::string& target, const std::string& version,
                        const std::string& extraHeaders, const std::string& method) {
    return method + " " + target + " " + version + "\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

TTestReply Exchange(int port, const std::string& raw, size_t maxBody, int timeoutMs) {
    TTestConnection c(port);
    if (!c.Connected() || !c.Send(raw)) return TTestReply();
    TTestReply r = c.Read(maxBody, timeoutMs);
    if (r.Complete && !r.Closed && r.Header("Connection") == "close") r.Closed = c.ClosedWithin(timeoutMs);
    return r;
}

TTestReply Get(int port, const std::string& target, const std::string& extraHeaders) {
    return Exchange(port, RequestText(target, "HTTP/1.0", extraHeaders));
}
