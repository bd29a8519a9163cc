// TransferQueue: the connections of a run and the ordered queue of its transfers (see
// TransferQueue.h).
//
// A connection is one getter and the transfer it holds. A try ends with the getter's done
// or error event, raised on the interface thread inside the pump of WaitForEnded; the
// handler only marks the connection, and WaitForEnded collects it after the pump returns,
// so no try's end is handled re-entrantly inside another's. Transfers handed in but not
// started wait in FWaiting until a connection is free, or in a busy connection's line,
// from which that connection takes them one after the other.
#include "net/inetget/TransferQueue.h"

#include <algorithm>

TTransferQueue::TTransferQueue(int Connections, DWORD TimeoutMs, int Ahead)
    : FTimeoutMs(TimeoutMs), FLimit(std::max(1, Connections)), FAhead(std::max(0, Ahead)),
      FServers(std::make_shared<TServerMemory>()) {}

TTransferQueue::~TTransferQueue() {
    // The getters' destructors cancel and wait; no event reaches a connection after this.
    for (auto& c : FConnections) c->Getter.reset();
}

// ==== handing in ============================================================================

int TTransferQueue::Running() const {
    int running = 0;
    for (const auto& c : FConnections) running += c->Active;
    return running;
}

size_t TTransferQueue::Taken() const {
    size_t taken = FWaiting.size();
    for (const auto& c : FConnections) taken += c->Active + c->Line.size();
    return taken;
}

TTransferQueue::TConnection& TTransferQueue::FreeConnection() {
    for (auto& c : FConnections)
        if (!c->Active && c->Line.empty()) return *c;
    return NewConnection();
}

TTransferQueue::TConnection& TTransferQueue::NewConnection() {
    // A new getter, kept for the rest of the run. Its events only mark the connection.
    auto connection = std::make_unique<TConnection>();
    TConnection* c = connection.get();
    c->Getter = std::make_unique<THTTPGet>(nullptr);
    c->Getter->SetReceiveTimeout(FTimeoutMs);
    c->Getter->SetServerMemory(FServers);  // what one getter learns of a server, all know
    c->Getter->OnDoneFile = [c](TObject*, const std::string&, int32_t) { c->Ended = true; };
    c->Getter->OnError = [c](TObject*) { c->Ended = true; };
    c->Getter->OnHead = [this, c](TObject*, int status, const std::string& rawHead) {
        if (OnHead) OnHead(c->Transfer.Id, status, rawHead);
    };
    FConnections.push_back(std::move(connection));
    return *c;
}

void TTransferQueue::Preconnect(const std::string& Url) {
    if (FCancelled) return;
    // Connections the run already has were made to its servers: only new ones connect now.
    while (int(FConnections.size()) < FLimit) NewConnection().Getter->Preconnect(Url);
}

void TTransferQueue::Add(const TTransfer& Transfer) {
    if (FCancelled) return;
    SettleReported();
    FWaiting.push_back(Transfer);
    Dispatch();
}

void TTransferQueue::SettleReported() {
    for (auto& c : FConnections)
        if (c->Active && c->Reported && !c->RetryAt) c->Active = c->Reported = false;
}

void TTransferQueue::Dispatch() {
    if (FCancelled) return;
    // Connections whose transfer ended go on with their lines first: those answers are on
    // the way.
    for (auto& c : FConnections) {
        if (c->Active || c->Line.empty() || Running() >= FLimit) continue;
        TTransfer next = c->Line.front();
        c->Line.pop_front();
        StartFirstTry(*c, next);
    }
    while (!FWaiting.empty() && Running() < FLimit) {
        TTransfer transfer = FWaiting.front();
        FWaiting.pop_front();
        StartFirstTry(FreeConnection(), transfer);
    }
    // The rest join the shortest line, so that every connection carries its share.
    std::vector<TConnection*> changed;
    while (!FWaiting.empty() && FAhead > 0) {
        TConnection* shortest = nullptr;
        for (auto& c : FConnections)
            if (c->Active && c->Line.size() < size_t(FAhead) && (!shortest || c->Line.size() < shortest->Line.size()))
                shortest = c.get();
        if (!shortest) break;
        shortest->Line.push_back(FWaiting.front());
        FWaiting.pop_front();
        if (std::find(changed.begin(), changed.end(), shortest) == changed.end()) changed.push_back(shortest);
    }
    for (TConnection* c : changed) ShowLine(*c);
}

void TTransferQueue::StartFirstTry(TConnection& c, const TTransfer& transfer) {
    c.Transfer = transfer;
    c.Active = true;
    c.Reported = false;
    c.RetryAt = 0;
    ShowLine(c);
    StartTry(c);
    if (OnStarted) OnStarted(transfer.Id);
}

THTTPGetNext TTransferQueue::AskedAs(const TTransfer& transfer) {
    return THTTPGetNext{transfer.Url, transfer.ResumeFrom, transfer.IfRange};
}

void TTransferQueue::ShowLine(TConnection& c) {
    c.Getter->SetAheadLimit(FAhead);
    std::vector<THTTPGetNext> next;
    for (const TTransfer& lined : c.Line) next.push_back(AskedAs(lined));
    c.Getter->SetAhead(std::move(next));
}

void TTransferQueue::RecallLines() {
    std::vector<TTransfer> recalled(FWaiting.begin(), FWaiting.end());
    for (auto& c : FConnections) {
        recalled.insert(recalled.end(), c->Line.begin(), c->Line.end());
        c->Line.clear();
        ShowLine(*c);
    }
    // Back in the order they were handed in (ids grow with it).
    std::stable_sort(recalled.begin(), recalled.end(),
                     [](const TTransfer& a, const TTransfer& b) { return a.Id < b.Id; });
    FWaiting.assign(recalled.begin(), recalled.end());
}

void TTransferQueue::StartTry(TConnection& c) {
    c.Ended = false;
    c.Reported = false;
    c.RetryAt = 0;
    THTTPGet& getter = *c.Getter;
    getter.SetURL(c.Transfer.Url);
    getter.SetFileName(c.Transfer.FileName);
    getter.SetResumeFrom(c.Transfer.ResumeFrom);
    getter.SetIfRange(c.Transfer.IfRange);
    // A retry starts afresh: the part of the failed try is gone.
    c.Transfer.ResumeFrom = 0;
    c.Transfer.IfRange.clear();
    getter.StartTransfer();
}

void TTransferQueue::OneAtATime() {
    FLimit = 1;
    FAhead = 0;
    RecallLines();
}

// ==== waiting ===============================================================================

bool TTransferQueue::AnyEnded() const {
    for (const auto& c : FConnections)
        if (c->Active && c->Ended && !c->Getter->Busy()) return true;
    return false;
}

bool TTransferQueue::AnyRetryDue() const {
    uint64_t now = GetTickCount64();
    for (const auto& c : FConnections)
        if (c->Active && c->RetryAt && c->RetryAt <= now) return true;
    return false;
}

DWORD TTransferQueue::MsToNextRetry() const {
    uint64_t now = GetTickCount64(), next = 0;
    for (const auto& c : FConnections)
        if (c->Active && c->RetryAt && (!next || c->RetryAt < next)) next = c->RetryAt;
    if (!next) return INFINITE;
    return next <= now ? 0 : DWORD(next - now);
}

void TTransferQueue::StartDueRetries() {
    uint64_t now = GetTickCount64();
    for (auto& c : FConnections)
        if (c->Active && c->RetryAt && c->RetryAt <= now) StartTry(*c);
}

TTransferResult TTransferQueue::ResultOf(TConnection& c) {
    c.Ended = false;
    c.Reported = true;
    const THTTPGet& g = *c.Getter;
    TTransferResult result;
    result.Id = c.Transfer.Id;
    result.Success = g.LastResult();
    result.StatusCode = g.StatusCode();
    result.ErrorText = g.ErrorText();
    result.RawHead = g.RawHead();
    return result;
}

std::vector<TTransferResult> TTransferQueue::WaitForEnded() {
    std::vector<TTransferResult> ended;
    SettleReported();
    while (ended.empty() && !FCancelled && Taken() > 0) {
        Dispatch();
        // Blocks in the message wait; a retry falling due ends the wait by its time-out.
        WaitUntil([this] { return FCancelled || AnyEnded() || AnyRetryDue(); }, MsToNextRetry());
        if (FCancelled) break;
        for (auto& c : FConnections)
            if (c->Active && c->Ended && !c->Getter->Busy()) ended.push_back(ResultOf(*c));
        StartDueRetries();
    }
    return ended;
}

void TTransferQueue::Retry(int Id, DWORD DelayMs) {
    for (auto& c : FConnections) {
        if (!c->Active || !c->Reported || c->Transfer.Id != Id) continue;
        c->RetryAt = GetTickCount64() + std::max<DWORD>(DelayMs, 1);
        return;
    }
}

// ==== cancelling ============================================================================

void TTransferQueue::Cancel() {
    FCancelled = true;
    FWaiting.clear();
    for (auto& c : FConnections) {
        c->Line.clear();
        c->RetryAt = 0;
        if (c->Getter->Busy()) c->Getter->CancelTransfer();
    }
}

std::vector<TTransferResult> TTransferQueue::Abandon() {
    // A cancelled getter ends within milliseconds; its end handler needs the pump.
    WaitUntil(
        [this] {
            for (const auto& c : FConnections)
                if (c->Getter->Busy()) return false;
            return true;
        },
        5000);
    std::vector<TTransferResult> ended;
    for (auto& c : FConnections) {
        if (c->Active && c->Ended && !c->Getter->Busy()) ended.push_back(ResultOf(*c));
        c->Active = c->Reported = false;
    }
    return ended;
}
