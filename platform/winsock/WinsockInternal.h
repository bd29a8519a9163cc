// WinsockInternal: what the units of the Winsock layer share among themselves.
#pragma once

namespace winsock {

// Starts and stops the resolver thread (called by WSAStartup and the last WSACleanup).
void ResolverStart();
void ResolverStop();
bool WinsockStarted();

}  // namespace winsock
