// photoTransfers: the photos of an album run, their retries and their files (see
// photoTransfers.h). Each photo is one transfer of the queue, numbered by its index; the
// queue's results are judged after its pump returned, so no photo's end is handled
// re-entrantly inside another's.
#include "album/photoTransfers.h"

#include "album/commonFunc.h"
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
    : FRetryDelaysMs(std::move(RetryDelaysMs)), FQueue(Jobs, TimeoutMs, Ahead) {
    FQueue.OnStarted = [this](int index) {
        auto it = FTaken.find(index);
        if (it != FTaken.end()) it->second.Started = true;
        if (OnStarted) OnStarted(index);
    };
    // Before any byte of a whole answer is written: the validator a later run resumes with.
    FQueue.OnHead = [this](int index, int status, const std::string& rawHead) {
        auto it = FTaken.find(index);
        if (status != 200 || it == FTaken.end()) return;
        const TPhotoTask& task = it->second.Task;
        if (WorthResuming(rawHead)) StoreValidator(task, ResumeValidator(rawHead));
        else DeleteFileIfPresent(ValidatorFile(task));  // a killed run's, of the part this answer replaces
    };
}

// ==== starting ==============================================================================

bool TPhotoTransfers::HasRoom() const {
    if (FStopped) return false;
    return FTaken.size() < size_t(FQueue.Limit()) * size_t(1 + FQueue.Ahead());
}

void TPhotoTransfers::Start(const TPhotoTask& Task) {
    FTaken[Task.Index] = TPhoto{Task, 0};
    TTransfer transfer = AskedAs(Task);
    if (transfer.ResumeFrom == 0) RemovePartFiles(Task);
    FQueue.Add(transfer);
}

// What an earlier run left (it was killed mid-photo) is resumed when the site told us how
// to ask for the rest; anything else starts afresh.
TTransfer TPhotoTransfers::AskedAs(const TPhotoTask& task) {
    TTransfer transfer{task.Index, task.Url, PartFile(task), std::max<int64_t>(0, FileSize(PartFile(task))),
                       ReadValidator(task)};
    if (transfer.ResumeFrom == 0 || transfer.IfRange.empty()) {
        transfer.ResumeFrom = 0;
        transfer.IfRange.clear();
    }
    return transfer;
}

// ==== waiting ===============================================================================

std::vector<TPhotoOutcome> TPhotoTransfers::WaitForEnded() {
    std::vector<TPhotoOutcome> ended;
    while (ended.empty() && !FStopped && !Idle()) {
        for (const TTransferResult& result : FQueue.WaitForEnded()) {
            TPhotoOutcome outcome;
            if (Judge(result, outcome)) ended.push_back(outcome);
        }
        if (FQueue.Cancelled()) break;
    }
    return ended;
}

// ==== judging a try =========================================================================

bool TPhotoTransfers::Judge(const TTransferResult& result, TPhotoOutcome& outcome) {
    auto it = FTaken.find(result.Id);
    if (it == FTaken.end()) return false;
    TPhoto& photo = it->second;
    const TPhotoTask& task = photo.Task;
    const std::string part = PartFile(task);
    outcome.Index = task.Index;
    outcome.FilePath = task.FilePath;
    bool ok = result.Success;
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
        if (!outcome.WriteFailed) outcome.Reason = result.ErrorText;
    }
    if (ok) {
        outcome.Saved = true;
        RemovePartFiles(task);
        FTaken.erase(it);
        return true;
    }
    RemovePartFiles(task);
    if (FStopped) {
        FTaken.erase(it);  // abandoned: no outcome
        return false;
    }
    if (!outcome.WriteFailed && !FinalAnswer(result.StatusCode) && photo.Retries < FRetryDelaysMs.size()) {
        int64_t siteWaitMs = SiteWaitMs(result);
        DWORD wait = std::max<DWORD>(FRetryDelaysMs[photo.Retries++], DWORD(std::max<int64_t>(siteWaitMs, 0)));
        if (siteWaitMs >= 0 && OnSiteWait) OnSiteWait(task.Index, wait);
        FQueue.Retry(result.Id, wait);
        return false;
    }
    FTaken.erase(it);
    return true;
}

// A busy site (429, 503) may say how long to wait; it is waited, at most a minute, and
// from then on the run goes one photo at a time. -1: the site asked nothing.
int64_t TPhotoTransfers::SiteWaitMs(const TTransferResult& result) {
    if (result.StatusCode != 429 && result.StatusCode != 503) return -1;
    FQueue.OneAtATime();
    return std::max<int64_t>(0, RetryAfterMs(httpwire::HeadFieldValue(result.RawHead, "Retry-After"),
                                             httpwire::HeadFieldValue(result.RawHead, "Date"),
                                             int64_t(std::time(nullptr))));
}

// ==== stopping ==============================================================================

void TPhotoTransfers::Stop() {
    FStopped = true;
    FQueue.Cancel();
}

std::vector<TPhotoOutcome> TPhotoTransfers::Abandon() {
    std::vector<TPhotoOutcome> ended;
    for (const TTransferResult& result : FQueue.Abandon()) {
        TPhotoOutcome outcome;
        if (Judge(result, outcome)) ended.push_back(outcome);
    }
    // The parts of photos that started go; one not yet started keeps what a killed run
    // left of it, for a later run to resume.
    for (const auto& taken : FTaken)
        if (taken.second.Started) RemovePartFiles(taken.second.Task);
    FTaken.clear();
    return ended;
}

// ==== files =================================================================================

int64_t TPhotoTransfers::PartBytes() const {
    int64_t bytes = 0;
    for (const auto& taken : FTaken)
        if (taken.second.Started) bytes += std::max<int64_t>(0, FileSize(PartFile(taken.second.Task)));
    return bytes;
}

void TPhotoTransfers::RemovePartFiles(const TPhotoTask& task) {
    DeleteFileIfPresent(PartFile(task));
    DeleteFileIfPresent(ValidatorFile(task));
}

void TPhotoTransfers::StoreValidator(const TPhotoTask& task, const std::string& validator) {
    if (validator.empty()) {
        DeleteFileIfPresent(ValidatorFile(task));
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
