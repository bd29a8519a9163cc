// Compilation: the node program each pattern compiles to (as Dump prints it, in program
// order, with the search shortcuts), and every reachable compile error with its code,
// position and message.
#include "regex/RegExpr.h"
#include "tests/regex/RegExprTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct ProgramCase {
    std::string pattern;
    std::string mods;
    std::string nodes;      // first line of Dump
    std::string shortcuts;  // second line of Dump, or empty to skip
};

std::string Nodes(const std::string& dump) { return dump.substr(0, dump.find('\n')); }
std::string Shortcuts(const std::string& dump) { return dump.substr(dump.find('\n') + 1); }

struct ErrorCase {
    std::string pattern;
    int code;
    int pos;
    std::string text;
};

}  // namespace

TEST(RegExprCompiler, ProgramShapes) {
    const std::vector<ProgramCase> cases = {
        {"song=\"(.*?)\"", "",
         "ALT LITERAL(song=\") OPEN1 ALT ZERO_OR_MORE_LAZY ANY_CHAR CLOSE1 LITERAL(\") END",
         "FirstChar=s Anchored=0 MustHave=- FirstCharSet=s"},
        {"<image path=\"(.*?)\"", "",
         "ALT LITERAL(<image\\x20path=\") OPEN1 ALT ZERO_OR_MORE_LAZY ANY_CHAR CLOSE1 LITERAL(\") END",
         "FirstChar=< Anchored=0 MustHave=- FirstCharSet=<"},
        {"<title>(.*?) .*?code_without_top.html\\?id=(.*?)&", "",
         "ALT LITERAL(<title>) OPEN1 ALT ZERO_OR_MORE_LAZY ANY_CHAR CLOSE1 LITERAL(\\x20) "
         "ZERO_OR_MORE_LAZY ANY_CHAR LITERAL(code_without_top) ANY_CHAR LITERAL(html) LITERAL(?) "
         "LITERAL(id=) OPEN2 ALT ZERO_OR_MORE_LAZY ANY_CHAR CLOSE2 LITERAL(&) END",
         "FirstChar=< Anchored=0 MustHave=- FirstCharSet=<"},
        {".*?", "-s", "ALT LOOPENTRY ANY_BUT_LINE_BREAK LOOP_LAZY{0,2147483646} END", ""},
        {".*?", "", "ALT ZERO_OR_MORE_LAZY ANY_CHAR END", ""},
        {"a*", "-g", "ALT ZERO_OR_MORE_LAZY LITERAL(a) END", ""},
        {"a*?", "-g", "ALT ZERO_OR_MORE_LAZY LITERAL(a) END", ""},
        {"abc*", "", "ALT LITERAL(ab) ZERO_OR_MORE LITERAL(c) END", ""},
        {"a{", "", "ALT LITERAL(a) LITERAL({) END", ""},
        {"a{,3}", "", "ALT LITERAL(a) LITERAL({,3}) END", ""},
        {"a{1,x}", "", "ALT LITERAL(a) LITERAL({1,x}) END", ""},
        {"a{12345678}", "", "ALT BRACES{12345678,12345678} LITERAL(a) END", ""},
        {"a{2,}?", "", "ALT BRACES_LAZY{2,2147483646} LITERAL(a) END", ""},
        {"a??", "", "ALT BRACES_LAZY{0,1} LITERAL(a) END", ""},
        {"a?", "", "ALT ALT LITERAL(a) ALT EMPTY END", ""},
        {"(a{1,3})*", "", "ALT ALT OPEN1 ALT BRACES{1,3} LITERAL(a) CLOSE1 JUMP_BACK ALT EMPTY END", ""},
        {"(a)+", "", "ALT OPEN1 ALT LITERAL(a) CLOSE1 ALT JUMP_BACK ALT EMPTY END", ""},
        {"(a)*?", "", "ALT LOOPENTRY OPEN1 ALT LITERAL(a) CLOSE1 LOOP_LAZY{0,2147483646} END", ""},
        {"(a){2,3}", "", "ALT LOOPENTRY OPEN1 ALT LITERAL(a) CLOSE1 LOOP{2,3} END", ""},
        {"[]a]", "", "ALT SMALL_SET(]aa) END", ""},
        {"[a-]", "", "ALT SMALL_SET(-aa) END", ""},
        {"[\\d-z]", "", "ALT BIT_SET(12) END", ""},
        {"[a-\\d]", "", "ALT BIT_SET(12) END", ""},
        {"[abc]", "", "ALT SMALL_SET(abc) END", ""},
        {"[abcd]", "", "ALT BIT_SET(4) END", ""},
        {"[^ab]", "", "ALT SMALL_SET_NOT(abb) END", ""},
        {"[ab]", "i", "ALT BIT_SET(4) END", ""},
        {"[^abcd]", "", "ALT BIT_SET(252) END", ""},
        {"\\s\\S", "", "ALT BIT_SET(5) BIT_SET(251) END", ""},
        {"\\w", "i", "ALT BIT_SET(63) END", ""},
        {"\\x41", "", "ALT LITERAL(A) END", ""},
        {"\\x{0041}", "", "ALT LITERAL(A) END", ""},
        {"(?i)abc", "", "ALT SKIP LITERAL_CI(abc) END", ""},
        {"(a(?i)b)c", "", "ALT OPEN1 ALT LITERAL(a) SKIP LITERAL_CI(b) CLOSE1 LITERAL(c) END", ""},
        {"(?x)a b # note\nc", "", "ALT SKIP LITERAL(ab) SKIP LITERAL(c) END", ""},
        {"\\1\\9", "i", "ALT BACKREF_CI1 BACKREF_CI9 END", ""},
        {"^a$", "", "ALT INPUT_START LITERAL(a) INPUT_END END", "FirstChar=- Anchored=1 MustHave=- FirstCharSet=a"},
        {"^a$", "m", "ALT LINE_START LITERAL(a) LINE_END END", ""},
        {"\\A\\Z", "m", "ALT INPUT_START INPUT_END END", ""},
        {"a|b", "", "ALT LITERAL(a) ALT LITERAL(b) END", "FirstChar=- Anchored=0 MustHave=- FirstCharSet=ab"},
        {".*foo.*barbaz", "", "", "FirstChar=- Anchored=0 MustHave=barbaz FirstCharSet=all"},
        {"x*ab(cd)ef", "", "", "FirstChar=- Anchored=0 MustHave=ef FirstCharSet=ax"},
        {"(?i).*foo", "", "", "FirstChar=- Anchored=0 MustHave=- FirstCharSet=all"},
        {"\\d*$", "m", "", "FirstChar=- Anchored=0 MustHave=- FirstCharSet=\\x00\\x0A\\x0D0123456789"},
        {"(a|bc)?d", "", "", "FirstChar=- Anchored=0 MustHave=- FirstCharSet=abd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        TRegExpr rx;
        ApplyModifiers(rx, c.mods);
        rx.SetExpression(c.pattern);
        const std::string dump = rx.Dump();
        if (!c.nodes.empty()) { EXPECT_EQ(Nodes(dump), c.nodes); }
        if (!c.shortcuts.empty()) { EXPECT_EQ(Shortcuts(dump), c.shortcuts); }
    }
}

TEST(RegExprCompiler, FourteenGroupsCompileAndAFifteenthFails) {
    TRegExpr rx;
    rx.SetExpression(std::string(14, '(') + "a" + std::string(14, ')'));
    EXPECT_TRUE(rx.Exec("a"));
    EXPECT_EQ(rx.GroupText(14), "a");
    rx.SetExpression(std::string(15, '(') + "a" + std::string(15, ')'));
    const ERegExpr e = CatchRegExpr([&] { rx.Exec("a"); });
    EXPECT_EQ(e.Code, 102);
    EXPECT_EQ(e.Message(), "TRegExpr(comp): ParseReg Too Many () (pos 15)");
}

TEST(RegExprCompiler, Errors) {
    const std::vector<ErrorCase> cases = {
        {"*", 115, 1, "TRegExpr(comp): ?+*{ Follows Nothing"},
        {"+a", 115, 1, "TRegExpr(comp): ?+*{ Follows Nothing"},
        {"a|?", 115, 3, "TRegExpr(comp): ?+*{ Follows Nothing"},
        {"a**", 107, 2, "TRegExpr(comp): Nested *?+"},
        {"a{2}{3}", 107, 4, "TRegExpr(comp): Nested *?+"},
        {"a*{", 107, 2, "TRegExpr(comp): Nested *?+"},
        {"a+?+", 107, 3, "TRegExpr(comp): Nested *?+"},
        {"(a", 103, 2, "TRegExpr(comp): ParseReg Unmatched ()"},
        {"((a)", 103, 4, "TRegExpr(comp): ParseReg Unmatched ()"},
        {"a)", 104, 1, "TRegExpr(comp): ParseReg Unmatched ()"},
        {"a{3,2}", 124, 5, "TRegExpr(comp): BRACE Min Param Greater then Max"},
        {"a{123456789}", 122, 11, "TRegExpr(comp): BRACES Argument Too Big"},
        {"a{1,123456789}", 122, 13, "TRegExpr(comp): BRACES Argument Too Big"},
        {"(a?)*", 106, 4, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {"(a|)+", 106, 4, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {"(\\b)*", 106, 4, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {"(a{0,3})*", 106, 8, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {"^*", 106, 1, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {"$+", 106, 1, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {"\\b{2}", 106, 2, "TRegExpr(comp): *+ Operand Could Be Empty"},
        {"\\xG1", 108, 2, "TRegExpr(comp): Bad Hex Digit"},
        {"\\x4G", 108, 3, "TRegExpr(comp): Bad Hex Digit"},
        {"\\x{4G}", 108, 4, "TRegExpr(comp): Bad Hex Digit"},
        {"[z-a]", 109, 4, "TRegExpr(comp): Invalid [] Range"},
        {"[\\xE0-\\xDF]", 0, 0, ""},  // both Cyrillic alphabets: no error with r on
        {"[a\\", 110, 3, "TRegExpr(comp): Parse Atom Trailing \\"},
        {"\\x", 111, 2, "TRegExpr(comp): No Hex Code After \\x"},
        {"\\x4", 111, 3, "TRegExpr(comp): No Hex Code After \\x"},
        {"\\x{41", 111, 5, "TRegExpr(comp): No Hex Code After \\x"},
        {"\\x{100}", 112, 5, "TRegExpr(comp): Hex Code After \\x Is Too Big"},
        {"\\x{0000100}", 112, 9, "TRegExpr(comp): Hex Code After \\x Is Too Big"},
        {"[abc", 113, 4, "TRegExpr(comp): Unmatched []"},
        {"[", 113, 1, "TRegExpr(comp): Unmatched []"},
        {"[]", 113, 2, "TRegExpr(comp): Unmatched []"},
        {"\\", 116, 1, "TRegExpr(comp): Trailing \\"},
        {"ab\\", 116, 3, "TRegExpr(comp): Trailing \\"},
        {"(?#note", 125, 7, "TRegExpr(comp): Unclosed (?#Comment)"},
        {"(?q)", 127, 2, "TRegExpr(comp): Urecognized Modifier"},
        {"(?:a)", 127, 2, "TRegExpr(comp): Urecognized Modifier"},
        {"(?i", 127, 3, "TRegExpr(comp): Urecognized Modifier"},
        {"(?i-q)", 127, 4, "TRegExpr(comp): Urecognized Modifier"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        TRegExpr rx;
        rx.SetExpression(c.pattern);
        if (c.code == 0) {
            EXPECT_NO_THROW(rx.Exec("x"));
            continue;
        }
        const ERegExpr e = CatchRegExpr([&] { rx.Exec("x"); });
        EXPECT_EQ(e.Code, c.code);
        EXPECT_EQ(e.PatternPos, c.pos);
        EXPECT_EQ(e.Message(), c.text + " (pos " + std::to_string(c.pos) + ")");
        EXPECT_STREQ(e.what(), e.Message().c_str());
        EXPECT_EQ(rx.ErrorPosition(), 0);
        EXPECT_EQ(rx.LastErrorCode(), c.code);
        EXPECT_FALSE(rx.Compiled());
        // A failed compilation leaves no program: the next search fails the same way.
        EXPECT_EQ(CatchRegExpr([&] { rx.Exec("x"); }).Code, c.code);
    }
}

TEST(RegExprCompiler, CyrillicRangeOffRejectsReversedRange) {
    TRegExpr rx;
    rx.SetModifierFlag(2, false);
    rx.SetExpression("[\xE0-\xDF]");
    EXPECT_EQ(CatchRegExpr([&] { rx.Exec("x"); }).Code, 109);
}

// Faults found while building the engine stay here as cases.
TEST(RegExprCompiler, FormerBugs) {
    TRegExpr rx;
    // Many alternatives are linked in linear time, not by walking the chain each time.
    std::string alts;
    for (int i = 0; i < 20000; ++i) alts += (i ? "|" : "") + std::to_string(i) + "x";
    rx.SetExpression(alts);
    EXPECT_TRUE(rx.Exec("19999x"));
    EXPECT_EQ(rx.GroupText(0), "19999x");
    // A lazy optional group with an empty body would lead the first-character analysis
    // round its loop for ever; the walk has a budget.
    rx.SetExpression("(\\b)??a");
    EXPECT_TRUE(rx.Exec(" a"));
}
