// TargetFile: the getter's target file, written in large pieces (see TargetFile.h).
#include "net/inetget/TargetFile.h"

#include "platform/rtl/FileSys.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::unique_ptr<TTargetFile> TTargetFile::Create(const std::string& fileName) {
    int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Failed("create", fileName, std::strerror(errno));
    return std::unique_ptr<TTargetFile>(new TTargetFile(fileName, fd));
}

std::unique_ptr<TTargetFile> TTargetFile::Append(const std::string& fileName, int64_t size) {
    int fd = ::open(fileName.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) Failed("resume", fileName, std::strerror(errno));
    std::unique_ptr<TTargetFile> file(new TTargetFile(fileName, fd));
    struct stat st;
    if (::fstat(fd, &st) != 0) Failed("resume", fileName, std::strerror(errno));
    if (int64_t(st.st_size) != size)
        Failed("resume", fileName, "it holds " + IntToStr(int64_t(st.st_size)) + " bytes, not " + IntToStr(size));
    if (::lseek(fd, off_t(size), SEEK_SET) < 0) Failed("resume", fileName, std::strerror(errno));
    return file;
}

TTargetFile::TTargetFile(const std::string& fileName, int fd) : FFileName(fileName), FFd(fd) {
    FPending.reserve(Capacity);
}

TTargetFile::~TTargetFile() {
    try {
        Flush();
    } catch (...) {
        // Already failing (the flush that threw is the one that counts).
    }
    ::close(FFd);
}

void TTargetFile::Write(const char* data, size_t count) {
    FPending.insert(FPending.end(), data, data + count);
    if (FPending.size() >= Capacity) Flush();
}

void TTargetFile::Flush() {
    std::vector<char> pending;
    pending.swap(FPending);
    for (size_t done = 0; done < pending.size();) {
        ssize_t n = ::write(FFd, pending.data() + done, pending.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) Failed("write", FFileName, n < 0 ? std::strerror(errno) : "nothing written");
        done += size_t(n);
    }
    FPending.reserve(Capacity);
}

void TTargetFile::Failed(const char* what, const std::string& fileName, const std::string& reason) {
    throw ETransferFailed(std::string("cannot ") + what + " " + ExtractFileName(fileName) + ": " + reason);
}
