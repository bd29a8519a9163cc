// photoTransfers: the photo getters of an album run, their retries and their files (see
// photoTransfers.h).
//
// A slot is one getter and the photo it holds. A try ends with the getter's done or error
// event, raised on the interface thread inside the pump of WaitForEnded; the handler only
// marks the slot, and WaitForEnded judges it after the pump returns, so no photo's end is
// handled re-entrantly inside another's. Photos taken but not started wait in FWaiting
// until a getter is free, or in a busy getter's line (its requests go ahead), from which
// the getter takes them one after the other.
#include "album/photoTransfers.h"

#include "album/commonFunc.h"
#include "net/inetget/HTTPGet.h"
#include "platform/httpwire/HttpWire.h"
#include "platform/rtl/FileSys.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::string PartFile(const TPhotoTask& task) { return task.FilePath + ".part"; }
// Beside the part: the ETag or Last-Modified of the answer the part came from.
std::string ValidatorFile(const TPhotoTask& task) { return task.FilePath + ".part.validator"; }

// Whether an answer is worth resuming after a kill: a megabyte or more, or a length not
// told. A smaller photo arrives in moments and is fetched again whole; it is spared the
// validator file, whose making and removing for every photo costs the folder more than a
// photo of that size takes to arrive.
constexpr int64_t ResumeWorthBytes = 1 << 20;
bool WorthResuming(const std::string& rawHead) {
    int64_t length = -1;
    std::string value = httpwire::HeadFieldValue(rawHead, "Content-Length");
    return value.empty() || !httpwire::ParseContentLength(value, length) || length >= ResumeWorthBytes;
}

// A validator read back from a file goes into a header line: no control bytes.
bool IsFetchableValidator(const std::string& v) {
    return !v.empty() && v.size() <= 200 && !httpwire::HasControlBytes(v);
}

// After a failed try: whether the photo's folder takes one more byte. A full disk, a
// file-size limit or a folder that cannot be written fail every photo the same way, so
// such a failure is not tried again; the text says why ("cannot write 3.jpg.part: File
// too large"). Empty when the byte could be written (the failure came from the network).
std::string WriteProblem(const std::string& part) {
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        if (write(fd, "", 1) != 1) error = errno ? errno : EIO;
        close(fd);
    }
    if (!error) return std::string();
    return "cannot write " + ExtractFileName(part) + ": " + std::strerror(error);
}

// A client error other than a time-out (408) or too many requests (429) says the same
// whatever the number of tries: the photo is not there, or not for us.
bool FinalAnswer(int status) { return status >= 400 && status < 500 && status != 408 && status != 429; }

}  // namespace

TPhotoTransfers::TPhotoTransfers(int Jobs, std::vector<DWORD> RetryDelaysMs, DWORD TimeoutMs, int Ahead)
    : FRetryDelaysMs(std::move(RetryDelaysMs)), FTimeoutMs(TimeoutMs), FLimit(std::max(1, Jobs)),
      FAhead(std::max(0, Ahead)), FServers(std::make_shared<TServerMemory>()) {}

TPhotoTransfers::~TPhotoTransfers() {
    // The getters' destructors cancel and wait; no event reaches a slot after this.
    for (auto& slot : FSlots) slot->Getter.reset();
}

// ==== starting ==============================================================================

int TPhotoTransfers::Active() const {
    int active = 0;
    for (const auto& slot : FSlots) active += slot->Active;
    return active;
}

size_t TPhotoTransfers::Taken() const {
    size_t taken = FWaiting.size();
    for (const auto& slot : FSlots) taken += slot->Active + slot->Line.size();
    return taken;
}

bool TPhotoTransfers::HasRoom() const {
    if (FStopped) return false;
    return Taken() < size_t(FLimit) * size_t(1 + FAhead);
}

bool TPhotoTransfers::Idle() const { return Taken() == 0; }

TPhotoTransfers::TSlot& TPhotoTransfers::FreeSlot() {
    for (auto& slot : FSlots)
        if (!slot->Active && slot->Line.empty()) return *slot;
    // A new getter, kept for the rest of the run. Its events only mark the slot.
    auto slot = std::make_unique<TSlot>();
    TSlot* s = slot.get();
    s->Getter = std::make_unique<THTTPGet>(nullptr);
    s->Getter->SetReceiveTimeout(FTimeoutMs);
    s->Getter->SetServerMemory(FServers);  // what one getter learns of a server, all know
    s->Getter->OnDoneFile = [s](TObject*, const std::string&, int32_t) { s->Ended = true; };
    s->Getter->OnError = [s](TObject*) { s->Ended = true; };
    // Before any byte of a whole answer is written: the validator a later run resumes with.
    s->Getter->OnHead = [s](TObject*, int status, const std::string& rawHead) {
        if (status != 200) return;
        if (WorthResuming(rawHead)) StoreValidator(s->Task, ResumeValidator(rawHead));
        else DeleteFile(ValidatorFile(s->Task));  // a killed run's, of the part this answer replaces
    };
    FSlots.push_back(std::move(slot));
    return *s;
}

void TPhotoTransfers::Start(const TPhotoTask& Task) {
    FWaiting.push_back(Task);
    Dispatch();
}

void TPhotoTransfers::Dispatch() {
    if (FStopped) return;
    // Getters whose photo ended go on with their lines first: those answers are on the way.
    for (auto& slot : FSlots)
        if (!slot->Active && !slot->Line.empty() && Active() < FLimit) StartNextInLine(*slot);
    while (!FWaiting.empty() && Active() < FLimit) {
        TPhotoTask task = FWaiting.front();
        FWaiting.pop_front();
        StartPhoto(FreeSlot(), task);
    }
    // The rest join the shortest line, so that every connection carries its share.
    std::vector<TSlot*> changed;
    while (!FWaiting.empty() && FAhead > 0) {
        TSlot* shortest = nullptr;
        for (auto& slot : FSlots)
            if (slot->Active && slot->Line.size() < size_t(FAhead) &&
                (!shortest || slot->Line.size() < shortest->Line.size()))
                shortest = slot.get();
        if (!shortest) break;
        shortest->Line.emplace_back(FWaiting.front(), AskedAs(FWaiting.front()));
        FWaiting.pop_front();
        if (std::find(changed.begin(), changed.end(), shortest) == changed.end()) changed.push_back(shortest);
    }
    for (TSlot* slot : changed) ShowLine(*slot);
}

void TPhotoTransfers::StartPhoto(TSlot& slot, const TPhotoTask& task) {
    slot.Task = task;
    slot.Active = true;
    slot.Retries = 0;
    slot.RetryAt = 0;
    THTTPGetNext asked = AskedAs(task);
    slot.ResumeFrom = asked.ResumeFrom;
    slot.IfRange = asked.IfRange;
    if (slot.ResumeFrom == 0) RemovePartFiles(task);
    ShowLine(slot);
    StartTry(slot);
    if (OnStarted) OnStarted(task.Index);
}

// What an earlier run left (it was killed mid-photo) is resumed when the site told us how
// to ask for the rest; anything else starts afresh.
THTTPGetNext TPhotoTransfers::AskedAs(const TPhotoTask& task) {
    THTTPGetNext next{task.Url, std::max<int64_t>(0, FileSize(PartFile(task))), ReadValidator(task)};
    if (next.ResumeFrom == 0 || next.IfRange.empty()) {
        next.ResumeFrom = 0;
        next.IfRange.clear();
    }
    return next;
}

void TPhotoTransfers::ShowLine(TSlot& slot) {
    slot.Getter->SetAheadLimit(FAhead);
    std::vector<THTTPGetNext> next;
    for (const auto& lined : slot.Line) next.push_back(lined.second);
    slot.Getter->SetAhead(std::move(next));
}

void TPhotoTransfers::StartNextInLine(TSlot& slot) {
    if (FStopped || slot.Line.empty()) return;
    TPhotoTask next = slot.Line.front().first;
    slot.Line.pop_front();
    StartPhoto(slot, next);
}

void TPhotoTransfers::RecallLines() {
    std::vector<TPhotoTask> recalled(FWaiting.begin(), FWaiting.end());
    for (auto& slot : FSlots) {
        for (const auto& lined : slot->Line) recalled.push_back(lined.first);
        slot->Line.clear();
        ShowLine(*slot);
    }
    std::sort(recalled.begin(), recalled.end(),
              [](const TPhotoTask& a, const TPhotoTask& b) { return a.Index < b.Index; });
    FWaiting.assign(recalled.begin(), recalled.end());
}

void TPhotoTransfers::StartTry(TSlot& slot) {
    slot.Ended = false;
    slot.RetryAt = 0;
    THTTPGet& getter = *slot.Getter;
    getter.SetURL(slot.Task.Url);
    getter.SetFileName(PartFile(slot.Task));
    getter.SetResumeFrom(slot.ResumeFrom);
    getter.SetIfRange(slot.IfRange);
    // A retry starts afresh: the part of the failed try is gone.
    slot.ResumeFrom = 0;
    slot.IfRange.clear();
    getter.StartTransfer();
}

// ==== waiting ===============================================================================

bool TPhotoTransfers::AnyEnded() const {
    for (const auto& slot : FSlots)
        if (slot->Active && slot->Ended && !slot->Getter->Busy()) return true;
    return false;
}

bool TPhotoTransfers::AnyRetryDue() const {
    uint64_t now = GetTickCount64();
    for (const auto& slot : FSlots)
        if (slot->Active && slot->RetryAt && slot->RetryAt <= now) return true;
    return false;
}

DWORD TPhotoTransfers::MsToNextRetry() const {
    uint64_t now = GetTickCount64(), next = 0;
    for (const auto& slot : FSlots)
        if (slot->Active && slot->RetryAt && (!next || slot->RetryAt < next)) next = slot->RetryAt;
    if (!next) return INFINITE;
    return next <= now ? 0 : DWORD(next - now);
}

void TPhotoTransfers::StartDueRetries() {
    uint64_t now = GetTickCount64();
    for (auto& slot : FSlots)
        if (slot->Active && slot->RetryAt && slot->RetryAt <= now) StartTry(*slot);
}

std::vector<TPhotoOutcome> TPhotoTransfers::WaitForEnded() {
    std::vector<TPhotoOutcome> ended;
    while (ended.empty() && !FStopped && !Idle()) {
        // The owner has taken the photos that ended last time: their getters go on.
        Dispatch();
        // Blocks in the message wait; a retry falling due ends the wait by its time-out.
        WaitUntil([this] { return FStopped || AnyEnded() || AnyRetryDue(); }, MsToNextRetry());
        if (FStopped) break;
        for (auto& slot : FSlots) {
            if (!slot->Active || !slot->Ended || slot->Getter->Busy()) continue;
            TPhotoOutcome outcome;
            if (Judge(*slot, outcome)) ended.push_back(outcome);
        }
        StartDueRetries();
    }
    return ended;
}

// ==== judging a try =========================================================================

bool TPhotoTransfers::Judge(TSlot& slot, TPhotoOutcome& outcome) {
    slot.Ended = false;
    const TPhotoTask& task = slot.Task;
    const std::string part = PartFile(task);
    outcome.Index = task.Index;
    outcome.FilePath = task.FilePath;
    bool ok = slot.Getter->LastResult();
    if (ok && !FileHasPictureSignature(part)) {
        ok = false;  // an error page or a text answered 200: never a photo
        outcome.Reason = "not a picture";
    } else if (ok && !RenameFile(part, task.FilePath)) {
        ok = false;
        outcome.WriteFailed = true;
        outcome.Reason = "cannot rename " + ExtractFileName(part);
    } else if (!ok) {
        outcome.Reason = WriteProblem(part);
        outcome.WriteFailed = !outcome.Reason.empty();
        if (!outcome.WriteFailed) outcome.Reason = slot.Getter->ErrorText();
    }
    if (ok) {
        outcome.Saved = true;
        RemovePartFiles(task);
        slot.Active = false;
        return true;
    }
    RemovePartFiles(task);
    if (FStopped) {
        slot.Active = false;  // abandoned: no outcome
        return false;
    }
    if (!outcome.WriteFailed && !FinalAnswer(slot.Getter->StatusCode()) && slot.Retries < FRetryDelaysMs.size()) {
        ScheduleRetry(slot, SiteWaitMs(*slot.Getter));
        return false;
    }
    slot.Active = false;
    return true;
}

// A busy site (429, 503) may say how long to wait; it is waited, at most a minute, and
// from then on the run goes one photo at a time. -1: the site asked nothing.
int64_t TPhotoTransfers::SiteWaitMs(const THTTPGet& getter) {
    int status = getter.StatusCode();
    if (status != 429 && status != 503) return -1;
    FLimit = 1;
    FAhead = 0;
    RecallLines();
    return std::max<int64_t>(0, RetryAfterMs(getter.ResponseHeader("Retry-After"), getter.ResponseHeader("Date"),
                                             int64_t(std::time(nullptr))));
}

void TPhotoTransfers::ScheduleRetry(TSlot& slot, int64_t siteWaitMs) {
    DWORD wait = std::max<DWORD>(FRetryDelaysMs[slot.Retries++], DWORD(std::max<int64_t>(siteWaitMs, 0)));
    if (siteWaitMs >= 0 && OnSiteWait) OnSiteWait(slot.Task.Index, wait);
    slot.RetryAt = GetTickCount64() + std::max<DWORD>(wait, 1);
}

// ==== stopping ==============================================================================

void TPhotoTransfers::Stop() {
    FStopped = true;
    // Photos not yet started have no file to remove.
    FWaiting.clear();
    for (auto& slot : FSlots) {
        slot->Line.clear();
        slot->RetryAt = 0;
        if (slot->Getter->Busy()) slot->Getter->CancelTransfer();
    }
}

std::vector<TPhotoOutcome> TPhotoTransfers::Abandon() {
    // A cancelled getter ends within milliseconds; its end handler needs the pump.
    WaitUntil(
        [this] {
            for (const auto& slot : FSlots)
                if (slot->Getter->Busy()) return false;
            return true;
        },
        5000);
    std::vector<TPhotoOutcome> ended;
    for (auto& slot : FSlots) {
        if (!slot->Active) continue;
        TPhotoOutcome outcome;
        if (slot->Ended && !slot->Getter->Busy() && Judge(*slot, outcome)) {
            ended.push_back(outcome);
        } else {
            RemovePartFiles(slot->Task);
            slot->Active = false;
        }
    }
    return ended;
}

// ==== files =================================================================================

int64_t TPhotoTransfers::PartBytes() const {
    int64_t bytes = 0;
    for (const auto& slot : FSlots)
        if (slot->Active) bytes += std::max<int64_t>(0, FileSize(PartFile(slot->Task)));
    return bytes;
}

void TPhotoTransfers::RemovePartFiles(const TPhotoTask& task) {
    DeleteFile(PartFile(task));
    DeleteFile(ValidatorFile(task));
}

void TPhotoTransfers::StoreValidator(const TPhotoTask& task, const std::string& validator) {
    if (validator.empty()) {
        DeleteFile(ValidatorFile(task));
        return;
    }
    std::ofstream(ValidatorFile(task), std::ios::binary | std::ios::trunc) << validator;
}

std::string TPhotoTransfers::ReadValidator(const TPhotoTask& task) {
    std::ifstream in(ValidatorFile(task), std::ios::binary);
    std::string validator;
    std::getline(in, validator);
    return IsFetchableValidator(validator) ? validator : std::string();
}
