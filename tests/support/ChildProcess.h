// ChildProcess: real servers for tests, run as child processes on the loopback interface.
//
// TChildProcess starts an argument vector with posix_spawnp (no shell) in a process group
// of its own, and on destruction ends that whole group: SIGTERM, a bounded wait, then
// SIGKILL. Output may be captured into a scratch file and read back. The helpers start
// Python's http.server and tinyproxy on a free loopback port and return only once the
// port accepts connections.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

class TChildProcess {
public:
    // Starts Argv[0] (looked up in PATH) with Argv. CaptureOutput: standard output and
    // error go to a scratch file (Output() reads it); otherwise they go to /dev/null.
    // ExtraEnv: "NAME=value" entries added to (or replacing those of) the environment.
    // Throws Exception "Cannot start <program>: <reason>".
    explicit TChildProcess(const std::vector<std::string>& argv, bool captureOutput = false,
                           const std::vector<std::string>& extraEnv = {});
    // Kills the process group and reaps the child (at most about two seconds).
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    pid_t Pid() const { return FPid; }
    bool Running();
    // Waits up to TimeoutMs for the child to end; its exit status (or 128 + signal), -1 if
    // it is still running.
    int Wait(int timeoutMs);
    // The captured output so far; empty without capture.
    std::string Output() const;

private:
    pid_t FPid = -1;
    int FStatus = -1;  // exit status once reaped
    std::string FOutputFile;
};

// A TCP port on 127.0.0.1 that was free a moment ago (bind to port 0, read it, close).
int FreeLoopbackPort();
// Tries to connect to 127.0.0.1:Port until it accepts or TimeoutMs passes; sleeps 20 ms
// between attempts.
bool WaitForPort(int port, int timeoutMs);

// A started server: the process and the port it accepts on.
struct TServerProcess {
    std::unique_ptr<TChildProcess> Process;
    int Port = 0;
};

// python3 -m http.server --bind 127.0.0.1 PORT --directory Dir. Throws Exception when it
// does not accept within TimeoutMs.
TServerProcess StartPythonHttpServer(const std::string& dir, int timeoutMs = 10000);
// Python's http.server speaking HTTP/1.1 (its handler's protocol_version), so connections
// persist, serving Dir. Each request is logged in the captured output as a line
// "CLIENTPORT "GET /path HTTP/1.1" STATUS SIZE", which tells the connections apart.
TServerProcess StartPythonHttp11Server(const std::string& dir, int timeoutMs = 10000);
// The distinct client ports in such a log: one per connection that carried a request.
int PythonClientConnections(const TServerProcess& server);
// tinyproxy -d -c <generated config> listening on 127.0.0.1, allowing only
// 127.0.0.1. Throws Exception when it does not accept within TimeoutMs.
TServerProcess StartTinyProxy(int timeoutMs = 10000);
