// WSocketBinding: the socket classes' binding to the Winsock layer, by function name.
//
// Each call goes through a slot that is empty until its first use; the first use of any
// slot also "loads" Winsock and starts it as version 1.1. UnloadWinsock (run when the last
// socket object goes away) cleans Winsock up and empties every slot, so the next socket
// starts it again. Failures raise ESocketException whatever the socket's OnError.
#pragma once

#include "platform/winsock/Winsock.h"

#include <string>

namespace wsbinding {

struct TProcs {
#define ALBRIVO_WINSOCK_SLOT(name) decltype(&winsock::name) name = nullptr;
    WINSOCK_EXPORTS(ALBRIVO_WINSOCK_SLOT)
#undef ALBRIVO_WINSOCK_SLOT
};

TProcs& Procs();
// Loads and starts Winsock when needed; the address of Name (null for an empty name).
void* LoadWinsockProc(const std::string& name);
void UnloadWinsock();
bool Loaded();

template <typename Fn>
Fn Bound(Fn& slot, const char* name) {
    if (!slot) slot = reinterpret_cast<Fn>(LoadWinsockProc(name));
    return slot;
}

}  // namespace wsbinding

// Calls a Winsock function through its slot: WS(socket)(AF_INET, SOCK_STREAM, 0).
#define WS(name) (wsbinding::Bound(wsbinding::Procs().name, #name))
