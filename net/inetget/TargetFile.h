// TargetFile: the file a getter transfer writes its body into.
//
// Blocks of 1025 bytes gather in memory and reach the file 64 KB at a time, which spares
// one system call per block. Whatever was received is in the file once the writer is
// gone, on every path (the destructor flushes, swallowing a failure that an explicit Flush
// would have reported). Failures throw ETransferFailed "cannot create|write|resume NAME:
// reason" (NAME without its folder), which the getter reports as its ErrorText.
#pragma once

#include "platform/rtl/SysUtils.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A failure of the transfer, with the reason ErrorText reports.
class ETransferFailed : public Exception {
public:
    using Exception::Exception;
};

class TTargetFile {
public:
    // Creates the file, or empties an existing one.
    static std::unique_ptr<TTargetFile> Create(const std::string& fileName);
    // Opens an existing file of exactly Size bytes for writing after them; it stays as it
    // was when it is missing or of another size.
    static std::unique_ptr<TTargetFile> Append(const std::string& fileName, int64_t size);
    ~TTargetFile();
    TTargetFile(const TTargetFile&) = delete;
    TTargetFile& operator=(const TTargetFile&) = delete;

    void Write(const char* data, size_t count);
    // Writes what gathered. Throws when the file cannot take the bytes; they are dropped
    // then, so the destructor does not try them again.
    void Flush();

private:
    static constexpr size_t Capacity = 64 * 1024;
    TTargetFile(const std::string& fileName, int fd);
    [[noreturn]] static void Failed(const char* what, const std::string& fileName, const std::string& reason);

    std::string FFileName;
    int FFd;
    std::vector<char> FPending;
};
