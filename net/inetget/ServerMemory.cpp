// ServerMemory: the servers struck off for requests ahead (see ServerMemory.h).
#include "net/inetget/ServerMemory.h"

#include "platform/rtl/SysUtils.h"

bool TServerMemory::MayGoAhead(const std::string& host) const {
    std::lock_guard<std::mutex> g(FLock);
    return FNoAhead.count(LowerCase(host)) == 0;
}

void TServerMemory::NoAhead(const std::string& host) {
    std::lock_guard<std::mutex> g(FLock);
    FNoAhead.insert(LowerCase(host));
}
