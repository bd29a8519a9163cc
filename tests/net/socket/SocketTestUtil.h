// SocketTestUtil: small loopback peers for the socket tests, written with plain BSD
// sockets on 127.0.0.1, each on its own thread with bounded waits.
#pragma once

#include <atomic>
#include <string>
#include <thread>

// Accepts connections on 127.0.0.1:<ephemeral> and echoes every byte back until the
// client closes; serves connections one after another until destroyed.
class TEchoPeer {
public:
    TEchoPeer();
    ~TEchoPeer();
    int Port() const { return FPort; }
    std::string PortStr() const { return std::to_string(FPort); }

private:
    void Run();
    int FListen = -1;
    int FPort = 0;
    int FStop[2] = {-1, -1};
    std::thread FThread;
};

// A port on 127.0.0.1 where nothing listens (bound, never listening, so it stays ours).
class TRefusedPort {
public:
    TRefusedPort();
    ~TRefusedPort();
    std::string PortStr() const { return std::to_string(FPort); }

private:
    int FFd = -1;
    int FPort = 0;
};
