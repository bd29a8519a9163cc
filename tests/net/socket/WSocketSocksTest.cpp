// WSocketSocksTest: the SOCKS client against a real SOCKS server from Debian (danted,
// started here on 127.0.0.1 with a generated configuration) for SOCKS 5 and 4, and against
// the scripted server for SOCKS 5 with user name and password, SOCKS 4A, refusals,
// malformed and split replies. Events are recorded and checked after the loop has run.
#include "net/socket/WSocket.h"
#include "tests/net/socket/SocketTestUtil.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace {

constexpr DWORD kWait = 5000;

struct TSocksRun {
    std::vector<std::string> Log;
    std::string Data;
    bool Closed = false;
};

// Connects through the proxy at ProxyPort to 127.0.0.1:DestPort, sends Hello once
// connected and collects events and data until the session closes or Stop() holds.
TSocksRun RunThrough(int proxyPort, const std::string& level, const std::string& destPort,
                     const std::function<void(TWSocket&)>& setup, const std::string& hello,
                     const std::function<bool(const TSocksRun&)>& stop) {
    TSocksRun run;
    TWSocket s(nullptr);
    s.SetAddr("127.0.0.1");
    s.SetPort(destPort);
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxyPort));
    s.SetSocksLevel(level);
    if (setup) setup(s);
    s.OnSocksConnected = [&](TObject*, uint16_t e) { run.Log.push_back("socksconnected " + std::to_string(e)); };
    s.OnSocksError = [&](TObject*, int32_t e, const std::string& m) {
        run.Log.push_back("sockserror " + std::to_string(e) + " " + m);
    };
    s.OnSocksAuthState = [&](TObject*, TSocksAuthState a) { run.Log.push_back("auth " + std::to_string(a)); };
    s.OnSessionConnected = [&](TObject*, uint16_t e) {
        run.Log.push_back("connected " + std::to_string(e));
        if (e == 0 && !hello.empty()) s.SendStr(hello);
    };
    s.OnDataAvailable = [&](TObject*, uint16_t) { run.Data += s.ReceiveStr(); };
    s.OnSessionClosed = [&](TObject*, uint16_t e) {
        run.Log.push_back("closed " + std::to_string(e));
        run.Closed = true;
    };
    s.Connect();
    WaitUntil([&] { return run.Closed || stop(run); }, kWait);
    return run;
}

// danted on a free loopback port, no authentication.
class TDante {
public:
    TDante() {
        char dir[] = "/tmp/albrivo-socks-XXXXXX";
        FDir = mkdtemp(dir) ? dir : "/tmp";
        Port = FreeLoopbackPort();
        std::ofstream conf(FDir + "/danted.conf");
        conf << "logoutput: " << FDir << "/danted.log\n"
             << "internal: 127.0.0.1 port = " << Port << "\n"
             << "external: 127.0.0.1\n"
             << "socksmethod: none\nclientmethod: none\n";
        if (geteuid() == 0) conf << "user.privileged: root\nuser.unprivileged: nobody\n";
        conf << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
             << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 protocol: tcp }\n";
        conf.close();
        try {
            FProcess = std::make_unique<TChildProcess>(
                std::vector<std::string>{"/usr/sbin/danted", "-f", FDir + "/danted.conf", "-N", "1"});
            Ready = WaitForPort(Port, 5000);
        } catch (const Exception&) {
            Ready = false;
        }
    }
    ~TDante() {
        FProcess.reset();
        std::system(("rm -rf '" + FDir + "'").c_str());
    }
    int Port = 0;
    bool Ready = false;

private:
    std::string FDir;
    std::unique_ptr<TChildProcess> FProcess;
};

std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += char(c);
    return s;
}

}  // namespace

TEST(WSocketSocks, ThroughDanteSocks5AndSocks4) {
    TDante dante;
    if (!dante.Ready) GTEST_SKIP() << "danted did not start";
    TEchoPeer echo;
    for (const char* level : {"5", "4"}) {
        TSocksRun run = RunThrough(dante.Port, level, echo.PortStr(), nullptr, "through the proxy",
                                   [](const TSocksRun& r) { return r.Data.size() >= 17; });
        EXPECT_EQ(run.Data, "through the proxy") << level;
        ASSERT_GE(run.Log.size(), 2u) << level;
        EXPECT_EQ(run.Log[0], "socksconnected 0");
        EXPECT_EQ(run.Log[1], "connected 0");
    }
}

TEST(WSocketSocks, ScriptedExchanges) {
    const std::string destPort = "8080";  // the proxy answers; nothing is contacted
    struct TCase {
        const char* Name;
        std::string Level;
        bool Auth;
        TScript Script;
        std::vector<std::string> Log;
        std::string Data;
        std::string Request;  // what the proxy must have received
    };
    std::string user = "user", pass = "secret";
    std::string socks5Connect = Bytes({5, 1, 0, 3, 9}) + "127.0.0.1" + Bytes({0x1F, 0x90});
    std::string authRequest = Bytes({1, 4}) + user + Bytes({6}) + pass;
    std::vector<TCase> cases = {
        {"socks5 user name and password, leftover data", "5", true,
         TScript().Read(3).Send(Bytes({5, 2})).Read(authRequest.size()).Send(Bytes({1, 0}))
             .Read(socks5Connect.size()).Send(Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90}) + "hello").Hang(),
         {"socksconnected 0", "auth 0", "auth 1", "connected 0"}, "hello",
         Bytes({5, 1, 2}) + authRequest + socks5Connect},
        {"socks5 method reply one byte at a time", "5", false,
         TScript().Read(3).Trickle(Bytes({5, 0}), 30).Read(socks5Connect.size())
             .Trickle(Bytes({5, 0, 0, 3, 2}) + "ab" + Bytes({0, 80}), 10).Hang(),
         {"socksconnected 0", "connected 0"}, "", Bytes({5, 1, 0}) + socks5Connect},
        {"socks4a", "4A", false,
         TScript().Read(8 + 1 + 10).Send(Bytes({0, 90, 0, 0, 0, 0, 0, 0}) + "x").Hang(),
         {"socksconnected 0", "connected 0"}, "x",
         Bytes({4, 1, 0x1F, 0x90, 0, 0, 0, 1, 0}) + "127.0.0.1" + Bytes({0})},
        {"socks4 refusal", "4", false, TScript().Read(9).Send(Bytes({0, 91, 0, 0, 0, 0, 0, 0})).Hang(),
         {"socksconnected 0", "sockserror 20016 request rejected or failed", "connected 20016", "closed 20016"}, "",
         Bytes({4, 1, 0x1F, 0x90, 127, 0, 0, 1, 0})},
        {"socks5 connection refused", "5", false,
         TScript().Read(3).Send(Bytes({5, 0})).Read(socks5Connect.size()).Send(Bytes({5, 5, 0, 1})).Hang(),
         {"socksconnected 0", "sockserror 20008 connection refused", "connected 20008", "closed 20008"}, "", ""},
        {"socks5 wrong version in method reply", "5", false, TScript().Read(3).Send(Bytes({4, 0})).Hang(),
         {"socksconnected 0", "sockserror 20002 socks version error", "connected 20002", "closed 20002"}, "", ""},
        {"socks5 authentication refused", "5", true,
         TScript().Read(3).Send(Bytes({5, 2})).Read(authRequest.size()).Send(Bytes({1, 1})).Hang(),
         {"socksconnected 0", "auth 0", "sockserror 20015 socks authentication failed", "connected 20015",
          "closed 20015"}, "", ""},
        {"socks5 unknown address type", "5", false,
         TScript().Read(3).Send(Bytes({5, 0})).Read(socks5Connect.size()).Send(Bytes({5, 0, 0, 4, 0, 0})).Hang(),
         {"socksconnected 0", "sockserror 20011 address type not supported", "connected 20011", "closed 20011"}, "",
         ""},
        {"socks5 short reply, then the proxy closes", "5", false,
         TScript().Read(3).Send(Bytes({5})).Close(), {"socksconnected 0", "closed 0"}, "", ""},
        {"socks5 unassigned reply code", "5", false,
         TScript().Read(3).Send(Bytes({5, 0})).Read(socks5Connect.size()).Send(Bytes({5, 42})).Hang(),
         {"socksconnected 0", "sockserror 20012 unassigned error #42", "connected 20012", "closed 20012"}, "", ""},
    };
    for (TCase& c : cases) {
        TScriptedServer proxy({c.Script}, 3000);
        size_t wantEvents = c.Log.size();
        std::string wantData = c.Data;
        TSocksRun run = RunThrough(
            proxy.Port(), c.Level, destPort,
            [&](TWSocket& s) {
                if (!c.Auth) return;
                s.SetSocksAuthentication(socksAuthenticateUsercode);
                s.SetSocksUsercode(user);
                s.SetSocksPassword(pass);
            },
            "", [&](const TSocksRun& r) { return r.Log.size() >= wantEvents && r.Data.size() >= wantData.size(); });
        EXPECT_EQ(run.Log, c.Log) << c.Name;
        EXPECT_EQ(run.Data, c.Data) << c.Name;
        if (!c.Request.empty()) {
            EXPECT_EQ(proxy.Received(0), c.Request) << c.Name;
        }
    }
}

TEST(WSocketSocks, SettersAndRefusals) {
    TWSocket s(nullptr);
    EXPECT_EQ(s.SocksLevel(), "5");
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    try {
        s.SetSocksLevel("6");
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Invalid socks level. Must be 4, 4A or 5.");
    }
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksServer(" 127.0.0.1 ");
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
    s.SetAddr("127.0.0.1");
    s.SetPort("1");
    try {
        s.Listen();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Listening is not supported thru socks server");
    }
    s.SetProto("udp");
    try {
        s.Connect();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "tcp is the only protocol supported thru socks server");
    }
    // Every close forgets the proxy.
    s.SetProto("tcp");
    s.SetSocksPort("1");
    TRefusedPort refused;
    s.SetSocksPort(refused.PortStr());
    s.Connect();
    WaitUntil([&] { return s.State() == wsClosed; }, kWait);
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
}
