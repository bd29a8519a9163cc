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

void TCustomSocksWSocket::Connect() {
    if (!FSocksServerAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    Guarded([&] {
        if (LowerCase(FProtoStr) != "tcp") {
            RaiseError("tcp is the only protocol supported thru socks server");
            return;
        }
        if (FSslEnable) {
            RaiseError("TLS is not supported thru socks server");
            return;
        }
        try {
            // The connection goes to the proxy; the destination port is kept for the request.
            if (!FPortResolved) {
                FSin.sin_port = WS(htons)(WSocketResolvePort(FSocksPort, FProtoStr));
                FPortResolved = true;
            }
            if (!FAddrResolved) {
                FSin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
                FAddrResolved = true;
            }
            FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
            FSocksState = SocksMethods;
            FRcvCnt = 0;
        } catch (const Exception& e) {
            RaiseError("connect: " + e.Message());
            return;
        }
        TCustomWSocket::Connect();
    });
}

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

void TCustomSocksWSocket::DoSessionConnected(uint16_t error) {
    if (FSocksState == SocksMethods) {
        DoSocksConnected(error);
        if (error == 0) {
            if (FSocksLevel[0] == '4') {
                SendSocksConnectRequest();
            } else {
                FSocksAuthNumber = FSocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
                const char request[3] = {5, 1, char(FSocksAuthNumber)};
                Send(request, 3);
            }
            return;  // the owner hears of the connection once the proxy has connected it
        }
    }
    TCustomWSocket::DoSessionConnected(error);
}

void TCustomSocksWSocket::DoSessionClosed(uint16_t error) {
    if (FSocksState == SocksAuthenticating) DoSocksAuthState(socksAuthFailure);
    TCustomWSocket::DoSessionClosed(error);
}

bool TCustomSocksWSocket::DoDataAvailable(uint16_t error) {
    if (FSocksState == SocksIdle) return TCustomWSocket::DoDataAvailable(error);
    if (error != 0) {
        FailSocks(error, "data receive error");
        return false;
    }
    return HandleSocksReply();
}

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
    auto handler = OnSocksConnected;
    handler(this, error);
    CheckAlive(life);
}

void TCustomSocksWSocket::DoSocksError(int32_t error, const std::string& msg) {
    if (!OnSocksError) return;
    auto life = FLife;
    auto handler = OnSocksError;
    handler(this, error, msg);
    CheckAlive(life);
}

void TCustomSocksWSocket::DoSocksAuthState(TSocksAuthState authState) {
    if (!OnSocksAuthState) return;
    auto life = FLife;
    auto handler = OnSocksAuthState;
    handler(this, authState);
    CheckAlive(life);
}

// ==== requests ===============================================================================

namespace {
void AppendPort(std::string& r, uint16_t port) {
    r += char(port >> 8);
    r += char(port & 0xFF);
}
}  // namespace

void TCustomSocksWSocket::SendSocksConnectRequest() {
    std::string r;
    FSocksState = SocksConnecting;
    if (FSocksLevel[0] == '4') {
        uint32_t addr = WS(htonl)(1);  // 0.0.0.1: SOCKS 4A, the proxy resolves the name
        if (FSocksLevel == "4") {
            try {
                addr = WSocketResolveHost(FAddrStr);
            } catch (const Exception& e) {
                DoSocksError(20017, "ESocketException " + e.Message());
                InternalClose(true, 20017);
                return;
            }
        }
        r += char(4);
        r += char(1);
        AppendPort(r, FPortNum);
        r.append(reinterpret_cast<const char*>(&addr), 4);
        r += FSocksUsercode;
        r += '\0';
        if (FSocksLevel == "4A") {
            r += FAddrStr;
            r += '\0';
        }
    } else {
        if (FAddrStr.size() > 255) {
            FailSocks(20013, "internal error");  // a name the request cannot carry
            return;
        }
        r += char(5);
        r += char(1);
        r += char(0);
        r += char(3);  // the destination always goes as a name; the proxy resolves it
        r += char(FAddrStr.size());
        r += FAddrStr;
        AppendPort(r, FPortNum);
    }
    try {
        Send(r.data(), int32_t(r.size()));
    } catch (const TSocketGone&) {
        throw;
    } catch (...) {
    }
}

void TCustomSocksWSocket::SendSocksCredentials() {
    FSocksState = SocksAuthenticating;
    DoSocksAuthState(socksAuthStart);
    if (FSocksUsercode.size() > 255 || FSocksPassword.size() > 255) {
        FailSocks(20013, "internal error");  // credentials the request cannot carry
        return;
    }
    std::string r;
    r += char(1);
    r += char(FSocksUsercode.size());
    r += FSocksUsercode;
    r += char(FSocksPassword.size());
    r += FSocksPassword;
    try {
        Send(r.data(), int32_t(r.size()));
    } catch (const TSocketGone&) {
        throw;
    } catch (...) {
    }
}

void TCustomSocksWSocket::FailSocks(int32_t error, const std::string& msg) {
    DoSocksError(error, msg);
    FSocksState = SocksIdle;
    TCustomWSocket::DoSessionConnected(uint16_t(error));
    InternalClose(true, uint16_t(error));
}

// ==== replies ================================================================================

namespace {
std::string Socks5ReplyText(uint8_t code, int32_t& error) {
    static const char* const texts[] = {"general SOCKS server failure", "connection not allowed by ruleset",
                                        "network unreachable", "host unreachable", "connection refused",
                                        "time to live expired", "command not supported", "address type not supported"};
    if (code >= 1 && code <= 8) {
        error = 20003 + code;
        return texts[code - 1];
    }
    error = 20012;
    return "unassigned error #" + IntToStr(code);
}
}  // namespace

// Collects the proxy's reply bytes and acts once a whole reply is there. Only bytes that
// were received are ever looked at; a reply that cannot fit the buffer fails.
bool TCustomSocksWSocket::HandleSocksReply() {
    bool socks4 = FSocksLevel[0] == '4';
    int32_t room = (FSocksState == SocksConnecting && socks4 ? 8 : 127) - FRcvCnt;
    if (room <= 0) {
        FailSocks(20013, "internal error");
        return true;
    }
    int32_t n = Receive(FRcvBuf + FRcvCnt, room);
    if (n < 0) return true;
    FRcvCnt += n;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(FRcvBuf);
    switch (FSocksState) {
        case SocksMethods:
            if (socks4) {
                FailSocks(20001, "TWSocket logic error");
            } else if (FRcvCnt >= 2) {
                FRcvCnt = 0;
                if (b[0] != 5) {
                    FailSocks(20002, "socks version error");
                } else if (b[1] == 0) {
                    if (FSocksAuthNumber != 0) DoSocksAuthState(socksAuthNotRequired);
                    SendSocksConnectRequest();
                } else if (b[1] == 2) {
                    SendSocksCredentials();
                } else {
                    FailSocks(20003, "authentification method not acceptable");
                }
            }
            return true;
        case SocksAuthenticating:
            if (FRcvCnt >= 1 && b[0] != 1) {
                FailSocks(20002, "socks version error");
            } else if (FRcvCnt == 2) {
                if (b[1] != 0) {
                    FailSocks(20015, "socks authentication failed");
                } else {
                    FRcvCnt = 0;
                    DoSocksAuthState(socksAuthSuccess);
                    SendSocksConnectRequest();
                }
            } else if (FRcvCnt > 2) {
                FailSocks(20001, "too much data availaible");
            }
            return true;
        case SocksConnecting:
            return socks4 ? HandleSocks4Reply() : HandleSocks5Reply();
        default:
            FailSocks(20013, "internal error");
            return false;
    }
}

bool TCustomSocksWSocket::HandleSocks4Reply() {
    if (FRcvCnt < 8) return true;
    FRcvCnt = 0;
    const uint8_t* b = reinterpret_cast<const uint8_t*>(FRcvBuf);
    if (b[0] != 0) {
        FailSocks(20002, "socks version error");
        return true;
    }
    switch (b[1]) {
        case 90:
            FSocksState = SocksIdle;
            TCustomWSocket::DoSessionConnected(0);
            return DoDataAvailable(0);
        case 91: FailSocks(20016, "request rejected or failed"); break;
        case 92: FailSocks(20008, "connection refused"); break;
        case 93: FailSocks(20015, "authentification failed"); break;
        default: FailSocks(20012, "unassigned error #" + IntToStr(b[1]));
    }
    return true;
}

bool TCustomSocksWSocket::HandleSocks5Reply() {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(FRcvBuf);
    if (FRcvCnt >= 1 && b[0] != 5) {
        FailSocks(20002, "socks version error");
        return true;
    }
    if (FRcvCnt >= 2 && b[1] != 0) {
        int32_t error;
        std::string text = Socks5ReplyText(b[1], error);
        FailSocks(error, text);
        return true;
    }
    if (FRcvCnt <= 4) return true;
    int32_t replyLen = b[3] == 1 ? 10 : b[3] == 3 ? 7 + b[4] : 5;
    if (replyLen > 127) {
        FailSocks(20013, "internal error");  // a bound name longer than any reply we hold
        return true;
    }
    if (FRcvCnt < replyLen) return true;
    if (b[3] == 1) {
        in_addr a;
        std::memcpy(&a, b + 4, 4);
        FBoundAddr = WS(inet_ntoa)(a);
        FBoundPort = IntToStr((b[8] << 8) | b[9]);
    } else if (b[3] == 3) {
        FBoundAddr.assign(FRcvBuf + 5, b[4]);
        FBoundPort = IntToStr((b[5 + b[4]] << 8) | b[6 + b[4]]);
    } else {
        FailSocks(20011, "address type not supported");
        return true;
    }
    FSocksState = SocksIdle;
    TCustomWSocket::DoSessionConnected(0);
    // Application bytes that came in behind the reply are delivered at once.
    FSocksRcvdCnt = std::max(0, FRcvCnt - replyLen);
    FSocksRcvdPtr = FRcvBuf + replyLen;
    FRcvCnt = 0;
    return DoDataAvailable(0);
}
