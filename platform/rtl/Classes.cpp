// Classes: streams, string lists and components (see Classes.h).
#include "Classes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// ==== TStream =========================================================================

int64_t TStream::Size() {
    int64_t pos = Seek(0, soCurrent);
    int64_t end = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return end;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    char block[65536];
    int64_t done = 0;
    while (done < count) {
        int64_t n = std::min<int64_t>(count - done, sizeof block);
        source.ReadBuffer(block, n);
        WriteBuffer(block, n);
        done += n;
    }
    return done;
}

// ==== TMemoryStream ===================================================================

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (count <= 0 || FPosition >= Size()) return 0;
    int64_t n = std::min(count, Size() - FPosition);
    std::memcpy(buffer, FData.data() + FPosition, size_t(n));
    FPosition += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    if (FPosition + count > Size()) FData.resize(size_t(FPosition + count));
    std::memcpy(FData.data() + FPosition, buffer, size_t(count));
    FPosition += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : Size();
    FPosition = std::max<int64_t>(0, base + offset);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t size) {
    FData.resize(size_t(std::max<int64_t>(0, size)));
    if (FPosition > size) FPosition = size;
}

void TMemoryStream::Clear() {
    FData.clear();
    FData.shrink_to_fit();
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream f(fileName, fmOpenRead);
    int64_t n = f.Size();
    FData.resize(size_t(n));
    f.ReadBuffer(FData.data(), n);
    FPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream f(fileName, fmCreate);
    f.WriteBuffer(FData.data(), Size());
}

TStringStream::TStringStream(const std::string& text) {
    FData.assign(text.begin(), text.end());
}

// ==== TFileStream =====================================================================

TFileStream::TFileStream(const std::string& fileName, uint32_t mode) : FFileName(fileName) {
    if (mode == fmCreate) {
        FHandle = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (FHandle < 0)
            throw EFCreateError("Cannot create file \"" + fileName + "\". " + std::strerror(errno));
        return;
    }
    int flags = (mode & 3) == fmOpenWrite ? O_WRONLY : (mode & 3) == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    FHandle = ::open(fileName.c_str(), flags | O_CLOEXEC);
    if (FHandle < 0)
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::read(FHandle, static_cast<char*>(buffer) + done, size_t(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    int64_t done = 0;
    while (done < count) {
        ssize_t n = ::write(FHandle, static_cast<const char*>(buffer) + done, size_t(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    return int64_t(::lseek(FHandle, off_t(offset), whence));
}

void TFileStream::SetSize(int64_t size) {
    if (::ftruncate(FHandle, off_t(size)) != 0) throw EWriteError("Stream write error");
}

// ==== TStringList =====================================================================

int TStringList::Add(const std::string& s) {
    FItems.push_back(s);
    return Count() - 1;
}

static void CheckIndex(int index, int count) {
    if (index < 0 || index >= count)
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

void TStringList::Insert(int index, const std::string& s) {
    if (index != Count()) CheckIndex(index, Count());
    FItems.insert(FItems.begin() + index, s);
}

void TStringList::Delete(int index) {
    CheckIndex(index, Count());
    FItems.erase(FItems.begin() + index);
}

const std::string& TStringList::Strings(int index) const {
    CheckIndex(index, Count());
    return FItems[size_t(index)];
}

void TStringList::SetStrings(int index, const std::string& s) {
    CheckIndex(index, Count());
    FItems[size_t(index)] = s;
}

int TStringList::IndexOf(const std::string& s) const {
    for (int i = 0; i < Count(); ++i)
        if (SameText(FItems[size_t(i)], s)) return i;
    return -1;
}

std::string TStringList::Text() const {
    std::string r;
    for (const auto& s : FItems) r += s + "\r\n";
    return r;
}

void TStringList::SetText(const std::string& text) {
    FItems.clear();
    size_t end = text.find('\0');
    if (end == std::string::npos) end = text.size();
    size_t i = 0;
    while (i < end) {
        size_t start = i;
        while (i < end && text[i] != '\r' && text[i] != '\n') ++i;
        FItems.push_back(text.substr(start, i - start));
        if (i < end && text[i] == '\r') ++i;
        if (i < end && text[i] == '\n') ++i;
    }
}

void TStringList::LoadFromFile(const std::string& fileName) {
    TMemoryStream m;
    m.LoadFromFile(fileName);
    SetText(std::string(m.Memory(), size_t(m.Size())));
}

void TStringList::SaveToFile(const std::string& fileName) const {
    std::string t = Text();
    TFileStream f(fileName, fmCreate);
    f.WriteBuffer(t.data(), int64_t(t.size()));
}

// ==== TComponent ======================================================================

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
    if (FOwner) FOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    // Owned components go first, newest first, each leaving this list as it goes.
    while (!FComponents.empty()) {
        TComponent* c = FComponents.back();
        FComponents.pop_back();
        c->FOwner = nullptr;
        delete c;
    }
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::RemoveComponent(TComponent* c) {
    auto it = std::find(FComponents.begin(), FComponents.end(), c);
    if (it != FComponents.end()) FComponents.erase(it);
}

TComponent* TComponent::Components(int index) const {
    CheckIndex(index, ComponentCount());
    return FComponents[size_t(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty()) return nullptr;
    for (TComponent* c : FComponents)
        if (SameText(c->Name(), name)) return c;
    return nullptr;
}
