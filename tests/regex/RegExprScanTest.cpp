// Places the matcher finds by looking at many characters at once: the literal every
// match begins with (16 or 32 positions a time), the first character (16 positions, then
// memchr), and the end of a run of "anything but the next literal's first character".
// Each is checked at every place across several block lengths against a plain reference,
// so that an edge of a block or of the subject cannot hide a miss or an overrun (the
// sanitizer build sees any read past the subject).
#include "regex/RegExpr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A subject of Length characters of near misses, with Text put at At (when At >= 0).
std::string Subject(size_t length, const std::string& nearMiss, const std::string& text, int at) {
    std::string s;
    while (s.size() < length) s += nearMiss;
    s.resize(length);
    if (at >= 0) s.replace(size_t(at), text.size(), text);
    return s;
}

}  // namespace

TEST(RegExprScan, PrefixLiteralAtEveryPlace) {
    TRegExpr rx;
    rx.SetExpression("song=\"(.*?)\"");
    const std::string text = "song=\"x\"";
    for (const std::string nearMiss : {"so", "song=", "s\"ong", "sonG=\""}) {
        for (size_t length = text.size(); length < 140; length += 7) {
            for (int at = -1; at + text.size() <= length; ++at) {
                const std::string s = Subject(length, nearMiss, text, at);
                SCOPED_TRACE("subject '" + s + "'");
                const size_t expected = s.find(text);
                ASSERT_EQ(rx.Exec(s), expected != std::string::npos);
                if (expected == std::string::npos) continue;
                EXPECT_EQ(rx.GroupPos(0), int(expected) + 1);
                EXPECT_EQ(rx.GroupText(1), "x");
            }
        }
    }
}

TEST(RegExprScan, FirstCharacterAndRunEndsAtEveryPlace) {
    TRegExpr rx;
    rx.SetExpression("<(\\w+)[^>]*>[^<]*</\\1>");
    // <b ATTR>TEXT</b>: the runs to '>' and to '<' end at every distance from their start.
    for (size_t attr = 0; attr < 40; ++attr) {
        for (size_t body = 0; body < 40; body += 3) {
            const std::string tag = "<b" + std::string(attr, ' ') + ">" + std::string(body, 't') + "</b>";
            for (size_t before : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17), size_t(33)}) {
                const std::string s = std::string(before, 'x') + "<" + tag + "</";
                SCOPED_TRACE("subject '" + s + "'");
                ASSERT_TRUE(rx.Exec(s));
                EXPECT_EQ(rx.GroupPos(0), int(before) + 2);
                EXPECT_EQ(rx.GroupText(0), tag);
                EXPECT_EQ(rx.GroupText(1), "b");
                EXPECT_FALSE(rx.ExecNext());
            }
        }
    }
}

TEST(RegExprScan, BoundedRunsToALiteral) {
    struct Case {
        std::string pattern;
        size_t minRun, maxRun;  // the run lengths that match
    };
    for (const Case& c : {Case{"a[^>]{0,20}>", 0, 20}, Case{"a[^>]{3,}>", 3, 99}, Case{"a[^>]{5,5}>", 5, 5},
                          Case{"a[^>]+>", 1, 99}, Case{"a[^>]*>b[^<]*<", 0, 99}}) {
        TRegExpr rx;
        rx.SetExpression(c.pattern);
        for (size_t run = 0; run < 40; ++run) {
            const std::string s = "a" + std::string(run, 'r') + ">b<";
            SCOPED_TRACE("pattern '" + c.pattern + "' subject '" + s + "'");
            const bool expected = run >= c.minRun && run <= c.maxRun;
            ASSERT_EQ(rx.Exec(s), expected);
            if (expected) {
                EXPECT_EQ(rx.GroupPos(0), 1);
            }
        }
        // A run cut short by the subject's end.
        EXPECT_FALSE(rx.Exec("a" + std::string(30, 'r'))) << c.pattern;
    }
}

TEST(RegExprScan, GroupsAcrossNodesThatOnlyPassOn) {
    // Comments, modifier groups, extended-mode blanks and single alternatives lie between
    // group marks; the groups and the match stay what the nodes say.
    struct Case {
        std::string pattern, subject, whole, g1, g2;
    };
    for (const Case& c : {Case{"(a)(?#note)(b)", "xab", "ab", "a", "b"}, Case{"(?x)( a ) ( b )", "ab", "ab", "a", "b"},
                          Case{"((a))(?i)(B)", "ab", "ab", "a", "a"}, Case{"(a(?#x)(?#y))b\\1", "aba", "aba", "a", ""},
                          Case{"(?x)(a) #c\n(b)", "ab", "ab", "a", "b"}}) {
        TRegExpr rx;
        rx.SetExpression(c.pattern);
        SCOPED_TRACE("pattern '" + c.pattern + "'");
        ASSERT_TRUE(rx.Exec(c.subject));
        EXPECT_EQ(rx.GroupText(0), c.whole);
        EXPECT_EQ(rx.GroupText(1), c.g1);
        EXPECT_EQ(rx.GroupText(2), c.g2);
    }
}
