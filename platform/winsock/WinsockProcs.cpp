// WinsockProcs: the calls of the Winsock layer by name, for callers that bind them at run
// time. The table is made from WINSOCK_EXPORTS, the calls a Winsock 1.1 library exports.
#include "platform/winsock/Winsock.h"

#include <map>

namespace winsock {

void* WinsockProcAddress(const std::string& name) {
    static const std::map<std::string, void*> procs = {
#define WINSOCK_PROC_ENTRY(name) {#name, reinterpret_cast<void*>(&name)},
        WINSOCK_EXPORTS(WINSOCK_PROC_ENTRY)
#undef WINSOCK_PROC_ENTRY
    };
    auto it = procs.find(name);
    return it == procs.end() ? nullptr : it->second;
}

}  // namespace winsock
