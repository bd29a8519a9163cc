// Matching by feature: each table row is a pattern, the modifiers set on the engine, a
// subject, and the expected first match (its 1-based position and the texts of the whole
// match and of groups 1..n), or no match at all.
#include "regex/RegExpr.h"
#include "tests/regex/RegExprTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct MatchCase {
    std::string pattern;
    std::string mods;                 // modifier letters set before the search
    std::string subject;
    int pos;                          // 1-based start of the match, 0 = no match
    std::vector<std::string> groups;  // group 0, 1, ... texts
};

void Check(const std::vector<MatchCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("pattern '" + c.pattern + "' mods '" + c.mods + "' subject '" + c.subject + "'");
        TRegExpr rx;
        ApplyModifiers(rx, c.mods);
        rx.SetExpression(c.pattern);
        const bool found = rx.Exec(c.subject);
        ASSERT_EQ(found, c.pos != 0);
        if (!found) {
            EXPECT_EQ(rx.GroupText(0), "");
            continue;
        }
        EXPECT_EQ(rx.GroupPos(0), c.pos);
        for (size_t g = 0; g < c.groups.size(); ++g) EXPECT_EQ(rx.GroupText(int(g)), c.groups[g]) << "group " << g;
    }
}

}  // namespace

TEST(RegExprMatch, Literals) {
    Check({
        {"abc", "", "xxabcx", 3, {"abc"}},
        {"abc", "", "ab", 0, {}},
        {"abc*", "", "abccc", 1, {"abccc"}},
        {"abc*", "", "ab", 1, {"ab"}},
        {"\\.", "", "a.b", 2, {"."}},
        {"\\\\", "", "a\\b", 2, {"\\"}},
        {"a]b}c", "", "a]b}c", 1, {"a]b}c"}},
        {"a{", "", "xa{", 2, {"a{"}},
        {"a{,3}", "", "a{,3}", 1, {"a{,3}"}},
        {"a{1,x}", "", "a{1,x}", 1, {"a{1,x}"}},
        {"{a", "", "{a", 1, {"{a"}},
        {std::string("\0a", 2), "", "abc", 1, {""}},  // the pattern ends at its NUL
    });
}

TEST(RegExprMatch, ClassesAndRanges) {
    Check({
        {"[a-c]+", "", "xxbcay", 3, {"bca"}},
        {"[^a-c]+", "", "abcxyz", 4, {"xyz"}},
        {"[]a]+", "", "x]a]b", 2, {"]a]"}},
        {"[^]a]+", "", "]a]bc", 4, {"bc"}},
        {"[a-]+", "", "a-a-b", 1, {"a-a-"}},
        {"[\\d-z]+", "", "x1-z9", 2, {"1-z9"}},
        {"[a-\\d]+", "", "a-5b", 1, {"a-5"}},
        {"[a-c-e]+", "", "b-ed", 1, {"b-e"}},
        {"[\\D]", "", "xD", 2, {"D"}},
        {"[\\x41-\\x43]+", "", "ABCD", 1, {"ABC"}},
        {"[\\n\\t]+", "", "a\t\nb", 2, {"\t\n"}},
        {"[\\s]+", "", "a \r\nb", 2, {" \r\n"}},
        {"[\\w]+", "", "  ab_9 ", 3, {"ab_9"}},
        {"[ab]+", "i", "xAbBa", 2, {"AbBa"}},
        {"[^a]", "i", "Aab", 3, {"b"}},
        {"[^a]", "", "", 0, {}},
        {"[^a]", "", "a", 0, {}},
        {"[abc]", "", "zzc", 3, {"c"}},
        {"[abcd]+", "", "zdcba", 2, {"dcba"}},
    });
}

TEST(RegExprMatch, CyrillicRanges) {
    const std::string lower = "\xB8\xE0\xFF";  // yo, a, ya in Windows-1251
    const std::string upper = "\xA8\xC0\xDF";
    Check({
        {"[\xE0-\xFF]+", "", lower, 1, {lower}},
        {"[\xE0-\xFF]+", "-r", lower, 2, {"\xE0\xFF"}},
        {"[\xC0-\xDF]+", "", upper, 1, {upper}},
        {"[\xE0-\xDF]+", "", upper + lower, 1, {upper + lower}},
        {"[\xE0-\xE1]+", "", "\xB8\xE1", 2, {"\xE1"}},
    });
}

TEST(RegExprMatch, Escapes) {
    Check({
        {"\\d+", "", "ab123c", 3, {"123"}},
        {"\\D+", "", "12ab3", 3, {"ab"}},
        {"\\w+", "", "  foo_1 ", 3, {"foo_1"}},
        {"\\W+", "", "ab, c", 3, {", "}},
        {"\\s+", "", "a \t\r\n\fb", 2, {" \t\r\n\f"}},
        {"\\S+", "", "  ab ", 3, {"ab"}},
        {"\\t\\n\\r\\f\\a\\e", "", "x\t\n\r\f\a\x1b", 2, {"\t\n\r\f\a\x1b"}},
        {"\\x41\\x{42}\\x{0043}", "", "ABC", 1, {"ABC"}},
        {"\\x{}", "", "a", 0, {}},
        {"\\0", "", "a0", 2, {"0"}},
        {"\\?\\{\\.", "", "?{.", 1, {"?{."}},
        {"\\d", "", "\xD9", 0, {}},
    });
}

TEST(RegExprMatch, Anchors) {
    const std::string crlf = "a\r\nb";
    Check({
        {"^b", "", crlf, 0, {}},
        {"^b", "m", crlf, 4, {"b"}},
        {"$", "", crlf, 5, {""}},
        {"$", "m", crlf, 2, {""}},
        {"a$", "m", crlf, 1, {"a"}},
        {"^$", "m", "a\r\n\r\nb", 4, {""}},
        {"^\\n", "m", crlf, 0, {}},
        {"\\r$", "m", crlf, 0, {}},
        {"^b", "m", "a\nb", 3, {"b"}},
        {"^b", "m", "a\rb", 3, {"b"}},
        {"\\Ab", "m", "a\nb", 0, {}},
        {"a\\Z", "m", "a\nb", 0, {}},
        {"\\bfoo\\b", "", "a foo.", 3, {"foo"}},
        {"\\bfoo\\b", "", "afoo", 0, {}},
        {"\\Boo", "", "foo", 2, {"oo"}},
        {"\\b", "", "", 0, {}},
        {"\\B", "", "", 1, {""}},
        {"^", "", "", 1, {""}},
    });
}

TEST(RegExprMatch, Dot) {
    Check({
        {"a.c", "", "a\nc", 1, {"a\nc"}},
        {"a.c", "-s", "a\nc", 0, {}},
        {"a.c", "-s", "a-c", 1, {"a-c"}},
        {".*", "-s", "ab\r\ncd", 1, {"ab"}},
        {".+?b", "-s", "aab\n", 1, {"aab"}},
        {"a.*b", "", "a\nb", 1, {"a\nb"}},
        {"a.*", "", "abc", 1, {"abc"}},
    });
}

TEST(RegExprMatch, Quantifiers) {
    Check({
        {"a*", "", "", 1, {""}},
        {"x*", "", "abc", 1, {""}},
        {"a+", "", "baaa", 2, {"aaa"}},
        {"a+?", "", "baaa", 2, {"a"}},
        {"a?b", "", "ab", 1, {"ab"}},
        {"a??b", "", "ab", 1, {"ab"}},
        {"a??", "", "a", 1, {""}},
        {"a{2,3}", "", "aaaa", 1, {"aaa"}},
        {"a{2,3}?", "", "aaaa", 1, {"aa"}},
        {"a{5}", "", "aaaa", 0, {}},
        {"a{2,}", "", "aaaaa", 1, {"aaaaa"}},
        {"a{0}b", "", "ab", 2, {"b"}},
        {"a*?b", "", "aab", 1, {"aab"}},
        {"a+", "-g", "aaa", 1, {"a"}},
        {"a*", "-g", "aaa", 1, {""}},
        {"[ab]*c", "", "ababc", 1, {"ababc"}},
        {"\\d{2,3}?x", "", "1234x", 2, {"234x"}},
        {"(ab)*c", "", "ababc", 1, {"ababc", "ab"}},
        {"(ab)+?", "", "abab", 1, {"ab", "ab"}},
        {"(ab){2}", "", "ababab", 1, {"abab", "ab"}},
        {"(ab)*?c", "", "ababc", 1, {"ababc", "ab"}},
        {"(ab)??c", "", "abc", 1, {"abc", "ab"}},
        {"(ab)?c", "", "abc", 1, {"abc", "ab"}},
        {"(a|b)*c", "", "abbac", 1, {"abbac", "a"}},
        {"(a|b)+", "", "abx", 1, {"ab", "b"}},
        {"((ab){1,2}?)c", "", "ababc", 1, {"ababc", "abab", "ab"}},
        {"(ab){0,1}?c", "", "abc", 1, {"abc", "ab"}},
        {"(a|b){3,}", "", "ababx", 1, {"abab", "b"}},
        {"(a|b){3,}?", "", "ababx", 1, {"aba", "a"}},
        {".{3}", "-s", "ab\ncdef", 4, {"cde"}},
    });
}

TEST(RegExprMatch, GroupsAndNesting) {
    Check({
        {"(a(b)c)", "", "abc", 1, {"abc", "abc", "b"}},
        {"(ab|a)c", "", "abc", 1, {"abc", "ab"}},
        {"(ab|a)c", "", "ac", 1, {"ac", "a"}},
        {"(a)|(b)", "", "b", 1, {"b", "", "b"}},
        {"((a)|b)+", "", "ab", 1, {"ab", "b", "a"}},
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)(m)(n)", "", "abcdefghijklmn", 1,
         {"abcdefghijklmn", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n"}},
        {"(((((((((((((( a))))))))))))))", "", " a", 1, {" a", " a"}},
        {"()", "", "x", 1, {"", ""}},
    });
}

TEST(RegExprMatch, BackReferences) {
    Check({
        {"(a)\\1", "", "xaa", 2, {"aa", "a"}},
        {"\\1(a)", "", "aa", 0, {}},
        {"(a)\\2", "", "aa", 0, {}},
        {"(a|b)\\1", "", "abba", 2, {"bb", "b"}},
        {"(a)\\1", "i", "aA", 1, {"aA"}},
        {"(a)\\1", "", "aA", 0, {}},
        {"(\\w+) \\1", "", "the the", 1, {"the the", "the"}},
        {"(a)\\1*", "", "aaaa", 1, {"aaaa"}},
        {"(ab)\\1{2}", "", "abababx", 1, {"ababab"}},
        {"(ab)\\1+", "", "abababx", 1, {"ababab"}},
        {"(ab)\\1*?c", "", "ababc", 1, {"ababc"}},
        {"(ab)\\1*ab", "", "abababab", 1, {"abababab"}},
        {"(a*)\\1{3}b", "", "b", 1, {"b", ""}},
    });
}

TEST(RegExprMatch, Alternation) {
    Check({
        {"cat|dog", "", "hotdog", 4, {"dog"}},
        {"a|ab", "", "ab", 1, {"a"}},
        {"|a", "", "a", 1, {""}},
        {"a|", "", "b", 1, {""}},
        {"x(a|b|c)y", "", "xcy", 1, {"xcy", "c"}},
        {"^a|b$", "", "cab", 3, {"b"}},
    });
}

TEST(RegExprMatch, InlineModifiersAndComments) {
    Check({
        {"(?i)ABC", "", "xabc", 2, {"abc"}},
        {"(a(?i)b)c", "", "aBc", 1, {"aBc"}},
        {"(a(?i)b)c", "", "aBC", 0, {}},
        {"(?-i)a", "i", "A", 0, {}},
        {"(?I)a", "", "A", 1, {"A"}},
        {"(?-s)a.c", "", "a\nc", 0, {}},
        {"(?m)^b", "", "a\nb", 3, {"b"}},
        {"(?-g)a+", "", "aaa", 1, {"a"}},
        {"(?#comment)ab", "", "ab", 1, {"ab"}},
        {"(?i)a|b", "", "B", 1, {"B"}},
        {"(x(?i)a|b)", "", "xB", 2, {"B"}},
        {"(?i-i)a", "", "A", 0, {}},
    });
}

TEST(RegExprMatch, ExtendedMode) {
    Check({
        {"(?x) a b c ", "", "abc", 1, {"abc"}},
        {"(?x)a # comment\n b", "", "ab", 1, {"ab"}},
        {"(?x)[ ]", "", "a b", 2, {" "}},
        {"(?x)a\\ b", "", "a b", 1, {"a b"}},
        {"(?x)a{2} b", "", "aab", 1, {"aab"}},
        {"(?x)ab *", "", "abbb", 1, {"abbb"}},
        {"a b", "x", "ab", 1, {"ab"}},
        {"a#b", "x", "a", 1, {"a"}},
    });
}

// Faults found while building the engine stay here as cases.
TEST(RegExprMatch, FormerBugs) {
    Check({
        // A back-reference repeated over an empty group text used to be counted
        // against the characters left in the subject.
        {"(a*)\\1{3}b", "", "b", 1, {"b"}},
        // A NUL escape matches nothing instead of being an empty literal.
        {"(\\x00)*a", "", "a", 1, {"a"}},
        {"x\\x00", "", "x", 0, {}},
        // A back-reference inside its own repeated group refers to the group's text of
        // the previous iteration up to its new start.
        {"(a|b\\1)+", "", "aba", 1, {"aba", "a"}},
    });
}
