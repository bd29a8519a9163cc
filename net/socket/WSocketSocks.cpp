// WSocketSocks: the SOCKS 4/4A/5 client layer of the socket chain. Without a SOCKS server
// every call passes straight through to TCustomWSocket.
#include "net/socket/WSocket.h"
#include "net/socket/WSocketBinding.h"

#include <cstring>

TCustomSocksWSocket::TCustomSocksWSocket(TComponent* AOwner) : TCustomWSocket(AOwner) {}

void TCustomSocksWSocket::ResetToDefaults() {
    TCustomWSocket::ResetToDefaults();
    FSocksState = SocksIdle;
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    FSocksRcvdCnt = 0;
    FSocksPortAssigned = false;
    FSocksServerAssigned = false;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value) {
    if (FState != wsClosed) {
        RaiseError("Can't change socks server if not closed");
        return;
    }
    FSocksServer = Trim(value);
    FSocksServerAssigned = !FSocksServer.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value) {
    if (FState != wsClosed) {
        RaiseError("Can't change socks port if not closed");
        return;
    }
    FSocksPort = Trim(value);
    FSocksPortAssigned = !FSocksPort.empty();
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value) {
    if (FState != wsClosed) {
        RaiseError("Can't change socks level if not closed");
        return;
    }
    if (value != "4" && value != "5" && value != "4A" && value != "4a") {
        RaiseError("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = UpperCase(value);
}

void TCustomSocksWSocket::Connect() { TCustomWSocket::Connect(); }

void TCustomSocksWSocket::Listen() {
    if (FSocksServerAssigned) {
        RaiseError("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

int32_t TCustomSocksWSocket::RcvdCount() {
    if (FSocksRcvdCnt > 0) return FSocksRcvdCnt;
    return TCustomWSocket::RcvdCount();
}

void TCustomSocksWSocket::DoSessionConnected(uint16_t error) { TCustomWSocket::DoSessionConnected(error); }

void TCustomSocksWSocket::DoSessionClosed(uint16_t error) {
    if (FSocksState == SocksAuthenticating) DoSocksAuthState(socksAuthFailure);
    TCustomWSocket::DoSessionClosed(error);
}

bool TCustomSocksWSocket::DoDataAvailable(uint16_t error) { return TCustomWSocket::DoDataAvailable(error); }

int32_t TCustomSocksWSocket::RawReceive(void* buffer, int32_t size, int flags) {
    if (FSocksRcvdCnt <= 0) return TCustomWSocket::RawReceive(buffer, size, flags);
    int32_t n = std::min(size, FSocksRcvdCnt);
    std::memcpy(buffer, FSocksRcvdPtr, size_t(n));
    FSocksRcvdPtr += n;
    FSocksRcvdCnt -= n;
    return n;
}

void TCustomSocksWSocket::DoSocksConnected(uint16_t error) {
    if (!OnSocksConnected) return;
    auto life = FLife;
    OnSocksConnected(this, error);
    CheckAlive(life);
}

void TCustomSocksWSocket::DoSocksError(int32_t error, const std::string& msg) {
    if (!OnSocksError) return;
    auto life = FLife;
    OnSocksError(this, error, msg);
    CheckAlive(life);
}

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState authState) {
    if (!OnSocksAuthState) return;
    auto life = FLife;
    OnSocksAuthState(this, authState);
    CheckAlive(life);
}

void TCustomSocksWSocket::SendSocksConnectRequest() {}
void TCustomSocksWSocket::SendSocksCredentials() {}
void TCustomSocksWSocket::FailSocks(int32_t, const std::string&) {}
bool TCustomSocksWSocket::HandleSocksReply() { return true; }
