// LoopbackListen: what the loopback test servers share: a listening socket on 127.0.0.1
// at a free port, and a stop pipe that every bounded wait of the server also watches.
#pragma once

class TLoopbackListener {
public:
    // Listens at once. Throws std::runtime_error when it cannot.
    explicit TLoopbackListener(int backlog);
    ~TLoopbackListener();
    TLoopbackListener(const TLoopbackListener&) = delete;
    TLoopbackListener& operator=(const TLoopbackListener&) = delete;

    int Port() const { return FPort; }
    int Fd() const { return FFd; }
    // Every Readable wait returns false from now on.
    void Stop();
    // Waits up to TimeoutMs (-1: no bound) until Fd is readable; false on time-out or once
    // stopped.
    bool Readable(int fd, int timeoutMs) const;

private:
    void CloseAll();

    int FStop[2] = {-1, -1};
    int FFd = -1;
    int FPort = 0;
};
