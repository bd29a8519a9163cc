// ServerLine: a getter's own pipelined connection (see ServerLine.h). The state is the
// connection, the answer being read (head and body reader), how many requests wait behind
// it, and two marks: the connection carried requests ahead (a close never ends a body on
// it), and it broke (a send behind failed; it closes once the answer being read ended).
#include "net/inetget/ServerLine.h"

#include "platform/messages/Messages.h"
#include "platform/rtl/SysUtils.h"
#include "platform/wininet/InetTls.h"

#include <sys/eventfd.h>
#include <unistd.h>

using namespace inetwire;

bool TLinePlace::operator==(const TLinePlace& o) const {
    return SameText(Host, o.Host) && Port == o.Port && Secure == o.Secure;
}

TServerLine::TServerLine() : FAbortFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TServerLine::~TServerLine() {
    Close();
    if (FAbortFd >= 0) ::close(FAbortFd);
}

void TServerLine::Abort() {
    uint64_t one = 1;
    if (FAbortFd >= 0) (void)!::write(FAbortFd, &one, sizeof one);
}

void TServerLine::ClearAbort() {
    uint64_t count = 0;
    if (FAbortFd >= 0) (void)!::read(FAbortFd, &count, sizeof count);
}

// ==== connections =======================================================================================

DWORD TServerLine::Connect(const TLinePlace& place, DWORD connectMs, std::unique_ptr<TInetSocket>& sock) {
    // Without an abort descriptor a stop could not end the connect.
    if (FAbortFd < 0) return ERROR_INTERNET_INTERNAL_ERROR;
    sock = std::make_unique<TInetSocket>(FAbortFd);
    DWORD r = sock->Connect(place.Host, place.Port, connectMs);
    // Straight to the server: an https connection is of no use before its handshake.
    if (r == ERROR_SUCCESS) r = PrepareConnection(*sock, place.Secure, TProxy(), place.Host, place.Port, connectMs);
    if (r != ERROR_SUCCESS) sock.reset();
    FIdleSince = GetTickCount64();
    return Expired(r, INTERNET_OPTION_CONNECT_TIMEOUT);
}

void TServerLine::Close() {
    FSock.reset();
    FWaiting = 0;
    FBroken = false;
    FCarriedAhead = false;
}

void TServerLine::Break() {
    if (!FSock) return;
    FBroken = true;
    FWaiting = 0;
    if (!FHaveAnswer || FBody.Ended()) Close();
}

bool TServerLine::WaitedTooLong() const { return GetTickCount64() - FIdleSince > IdleMs; }

DWORD TServerLine::Expired(DWORD r, DWORD option) {
    if (r == ERROR_INTERNET_TIMEOUT && !FExpired) FExpired = option;
    return r;
}

DWORD TServerLine::Preconnect(const TLinePlace& place, DWORD connectMs) {
    FExpired = 0;
    LastFailureText().clear();
    bool answerDue = FWaiting > 0 || (FHaveAnswer && !FBody.Ended());
    if (FSock && FPlace == place && !answerDue && !WaitedTooLong() && FSock->IdleAndOpen()) return ERROR_SUCCESS;
    Close();
    FHaveAnswer = false;
    FPlace = place;
    return Connect(place, connectMs, FSock);
}

bool TServerLine::HasPreconnection(const TLinePlace& place) const {
    return FSock && FPlace == place && FSock->Fresh() && FWaiting == 0 && !WaitedTooLong();
}

bool TServerLine::HasIdleConnection(const TLinePlace& place) const {
    return FSock && FPlace == place && FWaiting == 0 && !FBroken && !(FHaveAnswer && !FBody.Ended()) &&
           !WaitedTooLong();
}

// ==== requests ===========================================================================================

DWORD TServerLine::Send(const TLinePlace& place, const std::string& head, const std::string& body,
                        const std::string& verb, const TConnectionAsk& ask, bool retry, const TTimeouts& limits) {
    FExpired = 0;
    LastFailureText().clear();
    // A request alone meets no answer due before it, nor bytes nobody asked for.
    bool answerDue = FWaiting > 0 || FBroken || (FHaveAnswer && !FBody.Ended());
    if (!FSock || FPlace != place || answerDue || WaitedTooLong() || !FSock->IdleAndOpen()) Close();
    FHaveAnswer = false;
    FPlace = place;
    for (;;) {
        const bool reused = FSock != nullptr;
        DWORD r = reused ? ERROR_SUCCESS : Connect(place, limits.Connect, FSock);
        uint64_t before = FSock ? FSock->BytesReceived() : 0;
        if (r == ERROR_SUCCESS) r = Expired(FSock->SendAll(head + body, limits.Send), INTERNET_OPTION_SEND_TIMEOUT);
        FPersistent = ask.Persistent;
        if (r == ERROR_SUCCESS) r = ReadHead(limits.Receive, verb);
        if (r == ERROR_SUCCESS) return r;
        // The server may have closed a waiting connection just before the request came.
        bool again = reused && retry && ClosedUnanswered(r, *FSock, before);
        Close();
        if (!again) return r;
    }
}

bool TServerLine::TakesRequestsBehind() const {
    return FSock && FHaveAnswer && !FBroken && FPersistent && HeadKeepsConnection(FHead) &&
           FBody.Mode() != TBodyReader::UntilClose;
}

bool TServerLine::SendBehind(const std::string& head, DWORD sendMs) {
    if (!TakesRequestsBehind()) return false;
    // Even a send that fails halfway may have put the request before the server.
    FCarriedAhead = true;
    if (!FBody.Ended()) FBody.NoteRequestBehind();
    DWORD r = Expired(FSock->SendAll(head, sendMs), INTERNET_OPTION_SEND_TIMEOUT);
    if (r == ERROR_SUCCESS) {
        ++FWaiting;
        return true;
    }
    // The answer being read may still end well; nothing after it is taken from here.
    FBroken = true;
    if (FBody.Ended()) Close();
    return false;
}

DWORD TServerLine::TakeNext(const TTimeouts& limits, bool& afresh) {
    afresh = false;
    FExpired = 0;
    LastFailureText().clear();
    // Its turn comes only after every answer before it was read to its end on a kept
    // connection; otherwise nothing tells its answer apart any more.
    bool outOfTurn = FBroken || (FHaveAnswer && !FBody.Ended());
    if (!FSock || outOfTurn || FWaiting == 0) {
        // A connection that merely has nothing due may still carry the request alone.
        if (outOfTurn) Close();
        afresh = true;
        return ERROR_SUCCESS;
    }
    --FWaiting;
    // Bytes already there are this answer's: the server had begun it.
    bool begun = FSock->Available() > 0;
    uint64_t before = FSock->BytesReceived();
    FPersistent = true;  // only requests that ask to keep the connection go behind
    DWORD r = ReadHead(limits.Receive, "GET");
    if (r == ERROR_SUCCESS) return r;
    // Closed before any byte of it: the server dropped the request, which goes again.
    afresh = !begun && ClosedUnanswered(r, *FSock, before);
    Close();
    return afresh ? ERROR_SUCCESS : r;
}

// ==== answers ============================================================================================

DWORD TServerLine::ReadHead(DWORD receiveMs, const std::string& verb) {
    FHaveAnswer = false;
    DWORD r = Expired(ReadFinalResponseHead(*FSock, receiveMs, FHead), INTERNET_OPTION_RECEIVE_TIMEOUT);
    if (r != ERROR_SUCCESS) return r;
    FHaveAnswer = true;
    FReadError = ERROR_SUCCESS;
    FBody.Start(FHead, verb);
    if (FCarriedAhead) FBody.NoteRequestBehind();
    if (FBody.Ended()) Release();  // an answer without a body
    return ERROR_SUCCESS;
}

DWORD TServerLine::Read(char* dest, size_t count, size_t* got, DWORD receiveMs) {
    *got = 0;
    FExpired = 0;
    if (!FHaveAnswer) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    if (FBody.Ended()) return ERROR_SUCCESS;
    if (!FSock) return FReadError != ERROR_SUCCESS ? FReadError : ERROR_INTERNET_CONNECTION_ABORTED;
    DWORD r = Expired(FBody.Read(*FSock, dest, count, got, receiveMs), INTERNET_OPTION_RECEIVE_TIMEOUT);
    if (r != ERROR_SUCCESS) {
        FReadError = r;
        Close();
        return r;
    }
    if (FBody.Ended()) Release();
    return ERROR_SUCCESS;
}

void TServerLine::Release() {
    bool kept = FPersistent && !FBroken && FBody.Mode() != TBodyReader::UntilClose && HeadKeepsConnection(FHead);
    if (!kept) Close();
    FIdleSince = GetTickCount64();
}
