// WSocketBinding: slots filled by name on first use, Winsock started as version 1.1, and
// the error texts of the Winsock error numbers (see WSocketBinding.h).
#include "net/socket/WSocketBinding.h"
#include "net/socket/WSocket.h"

namespace wsbinding {

namespace {
const char* const kLibrary = "wsock32.dll";

// Unit shutdown at program exit releases Winsock like the last socket object does. The
// object is made on the first load, not at program start: objects with static storage go
// in the reverse order of their making, so it goes before the Winsock layer's own (its
// resolver's lock and wake-up, its reactor), whose threads it stops. Made at program start
// it would run after them, when the resolver thread still waits on a destroyed condition.
struct TUnloadAtExit {
    ~TUnloadAtExit() {
        try {
            UnloadWinsock();
        } catch (...) {
        }
    }
};
void UnloadAtExit() { static TUnloadAtExit unload; }
constexpr int ERROR_PROC_NOT_FOUND = 127;
bool gLoaded = false;
winsock::WSADATA gStartupData;
}  // namespace

TProcs& Procs() {
    static TProcs procs;
    return procs;
}

bool Loaded() { return gLoaded; }

void* LoadWinsockProc(const std::string& name) {
    if (!gLoaded) {
        // The library is part of the program here, so "loading" cannot fail; starting can.
        // The slots and the Winsock layer's name table are made before the unload object,
        // so that both are still there when it runs at exit.
        Procs();
        winsock::WinsockProcAddress("WSACleanup");
        UnloadAtExit();
        gLoaded = true;
        int rc = Bound(Procs().WSAStartup, "WSAStartup")(0x0101, &gStartupData);
        if (rc != 0)
            throw ESocketException(std::string(kLibrary) + ": WSAStartup error #" + IntToStr(rc));
    }
    if (name.empty()) return nullptr;
    void* proc = winsock::WinsockProcAddress(name);
    if (!proc)
        throw ESocketException("Procedure " + name + " not found in " + kLibrary + " Error #" +
                               IntToStr(ERROR_PROC_NOT_FOUND));
    return proc;
}

void UnloadWinsock() {
    if (gLoaded) {
        WS(WSACleanup)();
        gLoaded = false;
        Procs() = TProcs{};
    }
}

}  // namespace wsbinding

std::string SocketErrorDesc(int32_t errCode) {
    switch (errCode) {
        case 0: return "No Error";
        case 10004: return "Interrupted system call";
        case 10009: return "Bad file number";
        case 10013: return "Permission denied";
        case 10014: return "Bad address";
        case 10022: return "Invalid argument";
        case 10024: return "Too many open files";
        case 10035: return "Operation would block";
        case 10036: return "Operation now in progress";
        case 10037: return "Operation already in progress";
        case 10038: return "Socket operation on non-socket";
        case 10039: return "Destination address required";
        case 10040: return "Message too long";
        case 10041: return "Protocol wrong type for socket";
        case 10042: return "Protocol not available";
        case 10043: return "Protocol not supported";
        case 10044: return "Socket type not supported";
        case 10045: return "Operation not supported on socket";
        case 10046: return "Protocol family not supported";
        case 10047: return "Address family not supported by protocol family";
        case 10048: return "Address already in use";
        case 10049: return "Address not available";
        case 10050: return "Network is down";
        case 10051: return "Network is unreachable";
        case 10052: return "Network dropped connection on reset";
        case 10053: return "Connection aborted";
        case 10054: return "Connection reset by peer";
        case 10055: return "No buffer space available";
        case 10056: return "Socket is already connected";
        case 10057: return "Socket is not connected";
        case 10058: return "Can't send after socket shutdown";
        case 10059: return "Too many references: can't splice";
        case 10060: return "Connection timed out";
        case 10061: return "Connection refused";
        case 10062: return "Too many levels of symbolic links";
        case 10063: return "File name too long";
        case 10064: return "Host is down";
        case 10065: return "No route to host";
        case 10066: return "Directory not empty";
        case 10067: return "Too many processes";
        case 10068: return "Too many users";
        case 10069: return "Disc quota exceeded";
        case 10070: return "Stale NFS file handle";
        case 10071: return "Too many levels of remote in path";
        case 10091: return "Network sub-system is unusable";
        case 10092: return "WinSock DLL cannot support this application";
        case 10093: return "WinSock not initialized";
        case 11001: return "Host not found";
        case 11002: return "Non-authoritative host not found";
        case 11003: return "Non-recoverable error";
        case 11004: return "No Data";
        default: return "Not a WinSock error";
    }
}
