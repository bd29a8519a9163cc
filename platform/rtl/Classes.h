// Classes: the run-time library's object model: streams, string lists and components.
//
// Streams follow the run-time library's contract: Read and Write move at most Count bytes
// and return how many moved; ReadBuffer and WriteBuffer move all or throw. A string list
// is an ordered list of byte strings. A component has an owner (a raw observer pointer),
// a name, a Tag, and owns the components created with it as their owner: the owner's
// destructor deletes them, and a component deleted earlier leaves its owner's list.
#pragma once

#include "SysUtils.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TObject {
public:
    virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// ---- streams ------------------------------------------------------------------------

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
public:
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t size);

    // Throws EReadError "Stream read error" / EWriteError "Stream write error".
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    // Copies Count bytes from Source's position (0: the whole of Source from its start).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over a growable block of memory.
class TMemoryStream : public TStream {
public:
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return int64_t(FData.size()); }
    void SetSize(int64_t size) override;

    char* Memory() { return FData.data(); }
    const char* Memory() const { return FData.data(); }
    void Clear();
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

protected:
    std::vector<char> FData;
    int64_t FPosition = 0;
};

// A memory stream whose content reads back as a text.
class TStringStream : public TMemoryStream {
public:
    TStringStream() = default;
    explicit TStringStream(const std::string& text);
    std::string DataString() const { return std::string(FData.begin(), FData.end()); }
};

// File open modes of TFileStream.
enum : uint32_t {
    fmCreate = 0xFFFF,       // create anew, truncating an existing file
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
};

// A stream over a file. Throws EFCreateError "Cannot create file \"X\". <reason>" or
// EFOpenError "Cannot open file \"X\". <reason>".
class TFileStream : public TStream {
public:
    TFileStream(const std::string& fileName, uint32_t mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;
    const std::string& FileName() const { return FFileName; }
    int Handle() const { return FHandle; }

private:
    std::string FFileName;
    int FHandle = -1;
};

// ---- string lists -------------------------------------------------------------------

class TStringList : public TObject {
public:
    int Count() const { return int(FItems.size()); }
    // Adds at the end; returns the new entry's index.
    int Add(const std::string& s);
    void Insert(int index, const std::string& s);
    void Delete(int index);
    void Clear() { FItems.clear(); }
    // Index access throws EListError "List index out of bounds (N)".
    const std::string& Strings(int index) const;
    void SetStrings(int index, const std::string& s);
    const std::string& operator[](int index) const { return Strings(index); }
    int IndexOf(const std::string& s) const;  // case-insensitive, -1 when absent
    // Every entry followed by CR LF.
    std::string Text() const;
    // Splits at CR, LF or CR LF; stops at the first NUL byte. A final line without a
    // line end is kept; a final line end adds no empty entry.
    void SetText(const std::string& text);
    // Reads a file with SetText's rule; throws EFOpenError when it cannot be opened.
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName) const;
    const std::vector<std::string>& Items() const { return FItems; }

private:
    std::vector<std::string> FItems;
};

// ---- components ---------------------------------------------------------------------

class TComponent : public TObject {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    virtual void SetName(const std::string& name) { FName = name; }
    intptr_t Tag() const { return FTag; }
    void SetTag(intptr_t tag) { FTag = tag; }

    int ComponentCount() const { return int(FComponents.size()); }
    TComponent* Components(int index) const;
    // The owned component with this name, compared without regard to case; null if none.
    TComponent* FindComponent(const std::string& name) const;

private:
    void InsertComponent(TComponent* c) { FComponents.push_back(c); }
    void RemoveComponent(TComponent* c);

    TComponent* FOwner = nullptr;
    std::string FName;
    intptr_t FTag = 0;
    // Owned components in creation order; destroyed in reverse order by the destructor.
    std::vector<TComponent*> FComponents;
};
