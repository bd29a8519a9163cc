// WSockBuf: one block of a socket's send queue.
//
// A block fills towards its end and is read from its front. Invariant:
// 0 <= ReadPos <= WritePos <= Size. Space freed at the front is reused only once the block
// is empty, when both positions return to 0. The socket hands the unread bytes to the
// system straight from the block, so data is copied exactly once on its way out.
#pragma once

#include <cstdint>
#include <memory>

class TBuffer {
public:
    // A block of Size bytes (0 or less: 1514).
    explicit TBuffer(int32_t size);
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Changes the capacity. Unread bytes keep their positions; the new size must not be
    // below WritePos (a smaller one is raised to it).
    void SetSize(int32_t newSize);
    // Copies up to Len bytes in behind the last write; returns how many (0 when full).
    int32_t Write(const void* data, int32_t len);
    // The first unread byte and the number of unread bytes; null and 0 when empty.
    const char* Peek(int32_t& len) const;
    // Marks up to Len unread bytes as taken; returns how many. An emptied block starts
    // over at position 0.
    int32_t Remove(int32_t len);

    int32_t Size() const { return FSize; }
    int32_t WritePos() const { return FWritePos; }
    int32_t ReadPos() const { return FReadPos; }
    const char* Data() const { return FData.get(); }

private:
    std::unique_ptr<char[]> FData;
    int32_t FSize = 0;
    int32_t FWritePos = 0;
    int32_t FReadPos = 0;
};
