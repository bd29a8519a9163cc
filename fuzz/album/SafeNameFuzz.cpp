// safename_fuzz: the album folder rule against arbitrary page titles and album ids.
//
// The input is split at its first NUL byte into a title and an album id. The title goes
// through SafeFileName and the folder rule as the album run uses them, and the folder is
// created (with a photo file in it) inside a temporary root. Checked: the sanitised
// title keeps its length and holds no separator or control byte; the folder name is one
// plain path component; the folder lies strictly inside the root; and nothing appears
// beside the root.
#include "album/commonFunc.h"
#include "platform/rtl/FileSys.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "safename_fuzz: %s\n", what);
        std::abort();
    }
}

bool InsideRoot(const fs::path& root, const fs::path& p) {
    auto rel = fs::weakly_canonical(p).lexically_relative(fs::weakly_canonical(root));
    return !rel.empty() && *rel.begin() != ".." && *rel.begin() != ".";
}

size_t CountEntries(const fs::path& dir) {
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); ++it) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nul = input.find('\0');
    std::string title = input.substr(0, nul);
    std::string id = nul == std::string::npos ? std::string() : input.substr(nul + 1);

    std::string safe = SafeFileName(title);
    Check(safe.size() == title.size(), "SafeFileName changed the length");
    for (unsigned char c : safe)
        Check(c >= 32 && c != 127 && c != '/' && c != '\\', "unsafe byte left in a title");

    std::string folder = AlbumFolderName(safe, id);
    Check(!folder.empty() && folder != "." && folder != "..", "folder names the root or parent");
    Check(folder.find('/') == std::string::npos, "folder name holds a separator");
    Check(folder.size() <= MaxFolderNameBytes, "folder name too long");

    static const fs::path base = fs::path(PrivateTempDir()) / "fuzz";
    static const fs::path root = base / "root";
    fs::create_directories(root);
    const size_t before = CountEntries(base);

    const std::string albumDir = root.string() + "/" + folder + "/";
    Check(ForceDirectories(albumDir), "album folder not created");
    Check(InsideRoot(root, albumDir), "album folder outside the root");
    const std::string photo = albumDir + "0.jpg";
    if (FILE* f = std::fopen(photo.c_str(), "wb")) std::fclose(f);
    Check(FileExists(photo) && InsideRoot(root, photo), "photo file not inside the root");
    Check(CountEntries(base) == before, "something was created beside the root");

    std::error_code ec;
    fs::remove_all(fs::path(root) / folder, ec);
    return 0;
}
