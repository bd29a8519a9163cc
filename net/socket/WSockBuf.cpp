// WSockBuf: the send-queue block (see WSockBuf.h).
#include "net/socket/WSockBuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int32_t size) { SetSize(size); }

void TBuffer::SetSize(int32_t newSize) {
    if (newSize <= 0) newSize = 1514;
    if (newSize == FSize) return;
    newSize = std::max(newSize, FWritePos);
    std::unique_ptr<char[]> data(new char[size_t(newSize)]);
    if (FWritePos != FReadPos) std::memcpy(data.get(), FData.get(), size_t(FWritePos));
    FData = std::move(data);
    FSize = newSize;
}

int32_t TBuffer::Write(const void* data, int32_t len) {
    int32_t room = FSize - FWritePos;
    if (room <= 0 || len <= 0) return 0;
    int32_t n = std::min(room, len);
    std::memcpy(FData.get() + FWritePos, data, size_t(n));
    FWritePos += n;
    return n;
}

const char* TBuffer::Peek(int32_t& len) const {
    int32_t n = FWritePos - FReadPos;
    if (n > 0) {
        len = n;
        return FData.get() + FReadPos;
    }
    len = 0;
    return nullptr;
}

int32_t TBuffer::Remove(int32_t len) {
    int32_t n = FWritePos - FReadPos;
    if (n <= 0 || len <= 0) return 0;
    n = std::min(n, len);
    FReadPos += n;
    if (FReadPos >= FWritePos) FReadPos = FWritePos = 0;
    return n;
}
