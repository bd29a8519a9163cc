// WinsockProcs: the calls of the Winsock layer by name, for callers that bind them at run
// time. The table holds exactly the calls a Winsock 1.1 library exports under these names.
#include "platform/winsock/Winsock.h"

#include <map>

namespace winsock {

void* WinsockProcAddress(const std::string& name) {
    static const std::map<std::string, void*> procs = {
        {"WSAStartup", reinterpret_cast<void*>(&WSAStartup)},
        {"WSACleanup", reinterpret_cast<void*>(&WSACleanup)},
        {"WSASetLastError", reinterpret_cast<void*>(&WSASetLastError)},
        {"WSAGetLastError", reinterpret_cast<void*>(&WSAGetLastError)},
        {"WSACancelAsyncRequest", reinterpret_cast<void*>(&WSACancelAsyncRequest)},
        {"WSAAsyncGetHostByName", reinterpret_cast<void*>(&WSAAsyncGetHostByName)},
        {"WSAAsyncGetHostByAddr", reinterpret_cast<void*>(&WSAAsyncGetHostByAddr)},
        {"WSAAsyncSelect", reinterpret_cast<void*>(&WSAAsyncSelect)},
        {"getservbyname", reinterpret_cast<void*>(&getservbyname)},
        {"getprotobyname", reinterpret_cast<void*>(&getprotobyname)},
        {"gethostbyname", reinterpret_cast<void*>(&gethostbyname)},
        {"socket", reinterpret_cast<void*>(&socket)},
        {"shutdown", reinterpret_cast<void*>(&shutdown)},
        {"setsockopt", reinterpret_cast<void*>(&setsockopt)},
        {"getsockopt", reinterpret_cast<void*>(&getsockopt)},
        {"sendto", reinterpret_cast<void*>(&sendto)},
        {"send", reinterpret_cast<void*>(&send)},
        {"recv", reinterpret_cast<void*>(&recv)},
        {"recvfrom", reinterpret_cast<void*>(&recvfrom)},
        {"ntohs", reinterpret_cast<void*>(&ntohs)},
        {"ntohl", reinterpret_cast<void*>(&ntohl)},
        {"htons", reinterpret_cast<void*>(&htons)},
        {"htonl", reinterpret_cast<void*>(&htonl)},
        {"listen", reinterpret_cast<void*>(&listen)},
        {"ioctlsocket", reinterpret_cast<void*>(&ioctlsocket)},
        {"inet_ntoa", reinterpret_cast<void*>(&inet_ntoa)},
        {"inet_addr", reinterpret_cast<void*>(&inet_addr)},
        {"getsockname", reinterpret_cast<void*>(&getsockname)},
        {"getpeername", reinterpret_cast<void*>(&getpeername)},
        {"connect", reinterpret_cast<void*>(&connect)},
        {"closesocket", reinterpret_cast<void*>(&closesocket)},
        {"bind", reinterpret_cast<void*>(&bind)},
        {"accept", reinterpret_cast<void*>(&accept)},
    };
    auto it = procs.find(name);
    return it == procs.end() ? nullptr : it->second;
}

}  // namespace winsock
