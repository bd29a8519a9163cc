// FileSys: POSIX implementation of the file-system helpers (see FileSys.h).
#include "FileSys.h"

#include "SysUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

bool FileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
    if (path.empty()) return false;
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return DirectoryExists(path);
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool DeleteFileIfPresent(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

int64_t FileSize(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return int64_t(st.st_size);
}

std::string ExtractFilePath(const std::string& path) {
    size_t p = path.rfind('/');
    return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& path) {
    size_t p = path.rfind('/');
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string ExtractFileExt(const std::string& path) {
    std::string name = ExtractFileName(path);
    size_t p = name.rfind('.');
    return p == std::string::npos ? std::string() : name.substr(p);
}

std::string IncludeTrailingPathDelimiter(const std::string& path) {
    if (path.empty() || path.back() == '/') return path;
    return path + "/";
}

std::string ExecutableFileName() {
    std::error_code ec;
    auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

namespace {

// Owns the scratch folder and removes it at normal process exit.
struct TScratchFolder {
    std::string Path;
    ~TScratchFolder() {
        if (Path.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
};

TScratchFolder& Scratch() {
    static TScratchFolder folder;
    return folder;
}

}  // namespace

std::string PrivateTempDir() {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    TScratchFolder& folder = Scratch();
    if (folder.Path.empty()) {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/albrivo-XXXXXX";
        if (!::mkdtemp(tmpl.data()))
            throw EInOutError("Cannot create scratch folder " + tmpl + ": " + std::strerror(errno));
        folder.Path = tmpl + "/";
    }
    return folder.Path;
}
