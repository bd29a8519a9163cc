// GetterReply: Content-Range checks and failure texts.
#include "net/inetget/GetterReply.h"

#include "platform/wininet/WinInet.h"

#include <gtest/gtest.h>

using namespace getterreply;

TEST(GetterReply, ContentRangesThatContinueAFile) {
    struct { const char* Value; int64_t Offset, Length; bool Continues; } cases[] = {
        {"bytes 4-9/10", 4, 6, true},
        {"bytes 4-9/10", 4, -1, true},
        {"BYTES 4-9/10", 4, 6, true},
        {"bytes 4-9/*", 4, 6, true},
        {"bytes 4-9/10", 0, 6, false},   // another start
        {"bytes 4-6/10", 4, 3, false},   // stops before the end
        {"bytes 4-9/10", 4, 5, false},   // disagrees with Content-Length
        {"bytes 9-4/10", 9, -1, false},
        {"bytes 4-9/9", 4, -1, false},   // total not beyond the last byte
        {"bytes */10", 4, -1, false},
        {"items 4-9/10", 4, -1, false},
        {"bytes 4-9", 4, -1, false},
        {"bytes -4-9/10", 4, -1, false},
        {"", 4, -1, false},
        {"bytes 4000000000-4000000009/4000000010", 4000000000, 10, true},
    };
    for (const auto& c : cases) EXPECT_EQ(RangeContinues(c.Value, c.Offset, c.Length), c.Continues) << c.Value;
}

TEST(GetterReply, FailureTexts) {
    EXPECT_EQ(InternetErrorText(ERROR_INTERNET_CANNOT_CONNECT), "connection refused");
    EXPECT_EQ(InternetErrorText(ERROR_INTERNET_TIMEOUT, "receive", 30000), "receive timed out after 30000 ms");
    EXPECT_EQ(InternetErrorText(ERROR_INTERNET_TIMEOUT, "connect", 10000), "connect timed out after 10000 ms");
    EXPECT_EQ(InternetErrorText(ERROR_INTERNET_OPERATION_CANCELLED), "cancelled");
    EXPECT_EQ(InternetErrorText(99999), "internet error 99999");
    EXPECT_EQ(StatusErrorText(404, "Not Found"), "HTTP 404 Not Found");
    EXPECT_EQ(StatusErrorText(503, ""), "HTTP 503");
    EXPECT_EQ(StatusErrorText(500, "Bad\x1b[31m\a in"), "HTTP 500 Bad?[31m? in");
    EXPECT_EQ(StatusErrorText(500, std::string(300, 'x')), "HTTP 500 " + std::string(100, 'x'));
}
