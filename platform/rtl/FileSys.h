// FileSys: file-system tests, folder creation, path splitting and the process's private
// scratch folder.
//
// Paths use "/". A folder path returned here ends with "/". The scratch folder is created
// with mkdtemp on first use, readable only by this user, and removed with everything in
// it when the process exits normally.
#pragma once

#include <cstdint>
#include <string>

bool FileExists(const std::string& path);       // a regular file (or link to one)
bool DirectoryExists(const std::string& path);  // a folder (or link to one)
// Creates the folder and every missing parent; true when the folder exists afterwards.
bool ForceDirectories(const std::string& path);
bool DeleteFile(const std::string& path);
// Deletes Path only when something is there. Unlinking takes the folder's lock even for a
// name that is not there; threads that create and rename files in the same folder then
// wait for it. True when nothing is left under the name.
bool DeleteFileIfPresent(const std::string& path);
// Renames, replacing an existing target atomically; true on success.
bool RenameFile(const std::string& from, const std::string& to);
// Size of a regular file in bytes, -1 when it does not exist.
int64_t FileSize(const std::string& path);

// "dir/sub/name.ext" -> "dir/sub/"; a name without "/" gives "".
std::string ExtractFilePath(const std::string& path);
// "dir/sub/name.ext" -> "name.ext".
std::string ExtractFileName(const std::string& path);
// "dir/name.ext" -> ".ext" (from the last dot of the name), "" when the name has none.
std::string ExtractFileExt(const std::string& path);
// Ensures a trailing "/" (an empty path stays empty).
std::string IncludeTrailingPathDelimiter(const std::string& path);

// Full path of the running executable (the run-time library's ParamStr(0)).
std::string ExecutableFileName();

// The process's private scratch folder, ending in "/". Throws EInOutError when it cannot
// be created.
std::string PrivateTempDir();
