// Public operations: defaults, Exec/ExecNext/ExecPos, GroupText bounds, lazy compilation
// and program reuse, settings, execution errors, the recursion bound, and the album
// patterns on realistic page and XML texts.
#include "regex/RegExpr.h"
#include "tests/regex/RegExprTestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

std::string AlbumXml(int images) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                      "<album id=\"4711\" song=\"http://music.example/a b.mp3\" title=\"\xE6\x98\xA5\">\r\n";
    for (int i = 0; i < images; ++i)
        xml += "  <image path=\"http://img.example/p/" + std::to_string(i) +
               ".jpg\" width=\"800\" height=\"600\"/>\r\n";
    return xml + "</album>\r\n";
}

std::vector<std::string> AllGroup1(TRegExpr& rx, const std::string& text) {
    std::vector<std::string> found;
    for (bool m = rx.Exec(text); m; m = rx.ExecNext()) found.push_back(rx.GroupText(1));
    return found;
}

const char* const TitlePattern = "<title>(.*?) .*?code_without_top.html\\?id=(.*?)&";

}  // namespace

TEST(RegExprApi, NewEngineDefaults) {
    TRegExpr rx;
    const bool expected[] = {false, true, true, true, false, false};
    for (int i = 1; i <= 6; ++i) EXPECT_EQ(rx.GetModifierFlag(i), expected[i - 1]) << i;
    EXPECT_EQ(rx.LinePairedSeparator(), "\r\n");
    EXPECT_EQ(rx.SpaceCharacters(), std::string(" \t\n\r\f"));
    EXPECT_EQ(rx.LineSeparatorChars(), "\r\n");
    EXPECT_EQ(rx.Expression(), "");
    EXPECT_EQ(rx.ErrorPosition(), 0);
    EXPECT_EQ(DefaultCaseSwap('a'), 'A');
    EXPECT_EQ(DefaultCaseSwap('Q'), 'q');
    EXPECT_EQ(DefaultCaseSwap('5'), '5');
    EXPECT_EQ(DefaultCaseSwap('\xE0'), '\xE0');
}

TEST(RegExprApi, ExecNextWalksAllImageTagsThenRaises1007) {
    TRegExpr rx;
    rx.SetExpression("<image path=\"(.*?)\"");
    const std::vector<std::string> found = AllGroup1(rx, AlbumXml(25));
    ASSERT_EQ(found.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(found[i], "http://img.example/p/" + std::to_string(i) + ".jpg");
    const ERegExpr e = CatchRegExpr([&] { rx.ExecNext(); });
    EXPECT_EQ(e.Code, 1007);
    EXPECT_EQ(e.Message(), "TRegExpr(exec): ExecNext Without Exec[Pos]");
    EXPECT_EQ(e.PatternPos, 0);
}

TEST(RegExprApi, EmptyMatchesAdvanceOnePositionPerExecNext) {
    TRegExpr rx;
    rx.SetExpression("x*");
    std::vector<int> positions;
    for (bool m = rx.Exec("ab"); m; m = rx.ExecNext()) positions.push_back(rx.GroupPos(0));
    EXPECT_EQ(positions, (std::vector<int>{1, 2, 3}));
    rx.SetExpression("a*");
    positions.clear();
    for (bool m = rx.Exec("baab"); m; m = rx.ExecNext()) positions.push_back(rx.GroupPos(0));
    EXPECT_EQ(positions, (std::vector<int>{1, 2, 4, 5}));
}

TEST(RegExprApi, GroupTextBounds) {
    TRegExpr rx;
    EXPECT_EQ(rx.GroupText(0), "");
    rx.SetExpression("(a)(b)");
    ASSERT_TRUE(rx.Exec("xab"));
    EXPECT_EQ(rx.GroupText(0), "ab");
    EXPECT_EQ(rx.GroupText(2), "b");
    for (int n : {3, 14, 15, -1, 1000}) EXPECT_EQ(rx.GroupText(n), "") << n;
    EXPECT_EQ(rx.GroupPos(2), 3);
    EXPECT_EQ(rx.GroupLen(2), 1);
    EXPECT_EQ(rx.GroupPos(3), -1);
    EXPECT_FALSE(rx.Exec("xyz"));
    for (int n : {0, 1, 2}) EXPECT_EQ(rx.GroupText(n), "") << n;
}

TEST(RegExprApi, OffsetsOfExecPos) {
    TRegExpr rx;
    rx.SetExpression("b");
    rx.SetInputString("abab");
    ASSERT_TRUE(rx.ExecPos(3));
    EXPECT_EQ(rx.GroupPos(0), 4);
    EXPECT_FALSE(rx.ExecPos(5));
    EXPECT_FALSE(rx.ExecPos(6));
    rx.SetExpression("$");
    EXPECT_TRUE(rx.ExecPos(5));
    EXPECT_EQ(rx.GroupPos(0), 5);
    rx.SetExpression("^a");
    EXPECT_TRUE(rx.ExecPos(1));
    EXPECT_FALSE(rx.ExecPos(3));  // anchored: one attempt, at the subject's start only
    const ERegExpr e = CatchRegExpr([&] { rx.ExecPos(0); });
    EXPECT_EQ(e.Code, 1006);
    EXPECT_EQ(e.Message(), "TRegExpr(exec): Offset Must Be Greater Then 0");
}

TEST(RegExprApi, ExecutionErrors) {
    struct Case {
        std::function<void(TRegExpr&)> run;
        int code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {[](TRegExpr& rx) { rx.Exec("a"); }, 1003, "TRegExpr(exec): Not Assigned Expression Property"},
        {[](TRegExpr& rx) { rx.SetExpression("a"); rx.Exec("a"); rx.SetExpression(""); rx.Exec("a"); },
         1003, "TRegExpr(exec): Not Assigned Expression Property"},
        {[](TRegExpr& rx) { rx.SetExpression("a"); rx.ExecPos(1); }, 1005, "TRegExpr(exec): No Input String Specified"},
        {[](TRegExpr& rx) { rx.SetExpression("a"); rx.ExecNext(); }, 1007, "TRegExpr(exec): ExecNext Without Exec[Pos]"},
        {[](TRegExpr& rx) { rx.SetExpression("a"); rx.Exec("b"); rx.ExecNext(); }, 1007,
         "TRegExpr(exec): ExecNext Without Exec[Pos]"},
        {[](TRegExpr& rx) { rx.InputString(); }, 1008, "TRegExpr(exec): GetInputString Without InputString"},
        {[](TRegExpr& rx) { rx.GetModifierFlag(7); }, 1013, "Unknown error"},
        {[](TRegExpr& rx) { rx.SetModifierFlag(0, true); }, 1013, "Unknown error"},
        {[](TRegExpr& rx) { rx.SetLinePairedSeparator("xx"); }, 128,
         "TRegExpr(comp): LinePairedSeparator must countain two different chars or no chars at all (pos 0)"},
        {[](TRegExpr& rx) { rx.SetLinePairedSeparator("x"); }, 128,
         "TRegExpr(comp): LinePairedSeparator must countain two different chars or no chars at all (pos 0)"},
        {[](TRegExpr& rx) { rx.SetLinePairedSeparator("abc"); }, 128,
         "TRegExpr(comp): LinePairedSeparator must countain two different chars or no chars at all (pos 0)"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        TRegExpr rx;
        const ERegExpr e = CatchRegExpr([&] { cases[i].run(rx); });
        EXPECT_EQ(e.Code, cases[i].code);
        EXPECT_EQ(e.Message(), cases[i].text);
        EXPECT_EQ(e.PatternPos, 0);
        EXPECT_EQ(rx.LastErrorCode(), cases[i].code);
    }
}

TEST(RegExprApi, ErrorTexts) {
    TRegExpr rx;
    EXPECT_EQ(rx.ErrorText(0), "No errors");
    for (int code : {117, 1012, 1013, -1, 99999}) EXPECT_EQ(rx.ErrorText(code), "Unknown error") << code;
    EXPECT_EQ(rx.ErrorText(100), "TRegExpr(comp): Null Argument");
    EXPECT_EQ(rx.ErrorText(101), "TRegExpr(comp): Regexp Too Big");
    EXPECT_EQ(rx.ErrorText(119), "TRegExpr(comp): RarseAtom Internal Disaster");
    EXPECT_EQ(rx.ErrorText(126),
              "TRegExpr(comp): If you want take part in beta-testing BRACES '{min,max}' and non-greedy ops "
              "'*?', '+?', '?\?' for complex cases - remove '.' from {.$DEFINE ComplexBraces}");
    EXPECT_EQ(rx.ErrorText(1000), "TRegExpr(exec): RegRepeat Called Inappropriately");
    EXPECT_EQ(rx.ErrorText(1001), "TRegExpr(exec): MatchPrim Memory Corruption");
    EXPECT_EQ(rx.ErrorText(1002), "TRegExpr(exec): MatchPrim Corrupted Pointers");
    EXPECT_EQ(rx.ErrorText(1004), "TRegExpr(exec): Corrupted Program");
    EXPECT_EQ(rx.ErrorText(1011), "TRegExpr(dump): Corrupted Opcode");
    EXPECT_EQ(rx.ErrorText(1014), "TRegExpr(exec): Loop Stack Exceeded");
    EXPECT_EQ(rx.ErrorText(1015), "TRegExpr(exec): Loop Without LoopEntry !");
    EXPECT_EQ(rx.ErrorText(1016), "TRegExpr(exec): Match Recursion Too Deep");
    EXPECT_EQ(rx.ErrorText(1017), "TRegExpr(exec): Match Step Limit Exceeded");
    EXPECT_EQ(rx.ErrorText(1018), "TRegExpr(exec): Match Cancelled");
    EXPECT_EQ(rx.ErrorText(2000), "TRegExpr(misc): Bad p-code imported");
}

TEST(RegExprApi, ProgramReuseAndRecompilation) {
    TRegExpr rx;
    rx.SetExpression("a+");
    EXPECT_FALSE(rx.Compiled());
    ASSERT_TRUE(rx.Exec("baa"));
    EXPECT_TRUE(rx.Compiled());
    rx.SetExpression("a+");  // the same text keeps the program
    EXPECT_TRUE(rx.Compiled());
    rx.SetExpression("b+");
    EXPECT_FALSE(rx.Compiled());
    ASSERT_TRUE(rx.Exec("abb"));
    EXPECT_EQ(rx.GroupText(0), "bb");
    // A modifier change recompiles at the next search.
    rx.SetExpression("B");
    EXPECT_FALSE(rx.Exec("b"));
    rx.SetModifierFlag(1, true);
    EXPECT_TRUE(rx.Exec("b"));
    // The pattern ends at its first NUL.
    rx.SetExpression(std::string("ab\0cd", 5));
    EXPECT_EQ(rx.Expression(), "ab");
    EXPECT_TRUE(rx.Exec("xab"));
}

TEST(RegExprApi, OneEngineForTheSongAndImagePatterns) {
    const std::string xml = AlbumXml(3);
    TRegExpr rx;
    rx.SetExpression("song=\"(.*?)\"");
    ASSERT_TRUE(rx.Exec(xml));
    EXPECT_EQ(rx.GroupText(1), "http://music.example/a b.mp3");
    EXPECT_EQ(AllGroup1(rx, xml).size(), 1u);
    rx.SetExpression("<image path=\"(.*?)\"");
    EXPECT_EQ(AllGroup1(rx, xml), (std::vector<std::string>{"http://img.example/p/0.jpg",
                                                           "http://img.example/p/1.jpg",
                                                           "http://img.example/p/2.jpg"}));
}

TEST(RegExprApi, TitleAndAlbumIdFromAPage) {
    const std::string page =
        "<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n<title>My album photos - Tavo</title>\r\n"
        "</head>\r\n<body>\r\n<div class=\"nav\"><a href=\"/home\">home</a></div>\r\n"
        "<a href=\"http://photo.example/code_without_top.html?id=123&x=1\">code</a>\r\n</body></html>\r\n";
    TRegExpr rx;
    rx.SetExpression(TitlePattern);
    ASSERT_TRUE(rx.Exec(page));
    EXPECT_EQ(rx.GroupText(1), "My");
    EXPECT_EQ(rx.GroupText(2), "123");
    EXPECT_FALSE(rx.ExecNext());
    // Without the link, or with the title on its own, there is no match.
    EXPECT_FALSE(rx.Exec("<title>My album</title> no link here"));
    EXPECT_FALSE(rx.Exec("code_without_top.html?id=5& <title>x y"));
}

TEST(RegExprApi, SubjectEndsAtItsFirstNul) {
    TRegExpr rx;
    rx.SetExpression("b");
    EXPECT_FALSE(rx.Exec(std::string("a\0b", 3)));
    EXPECT_EQ(rx.InputString(), "a");
    rx.SetExpression("a$");
    EXPECT_TRUE(rx.Exec(std::string("a\0b", 3)));
    rx.SetExpression("[^x]+");
    ASSERT_TRUE(rx.Exec(std::string("ab\0cd", 5)));
    EXPECT_EQ(rx.GroupText(0), "ab");
}

TEST(RegExprApi, LinePairedSeparatorSetting) {
    TRegExpr rx;
    rx.SetModifierFlag(5, true);
    rx.SetExpression("^b");
    ASSERT_TRUE(rx.Exec("a\r\nc\rb"));
    EXPECT_EQ(rx.GroupPos(0), 6);
    rx.SetLinePairedSeparator("");
    EXPECT_EQ(rx.LinePairedSeparator(), "");
    rx.SetExpression("^\\n");
    EXPECT_TRUE(rx.Exec("a\r\nb"));  // without the pair the LF after CR starts a line
    rx.SetLinePairedSeparator("\r\n");
    EXPECT_FALSE(rx.Exec("a\r\nb"));
    rx.SetLinePairedSeparator("\r\n");  // the same pair again changes nothing
    EXPECT_EQ(rx.LinePairedSeparator(), "\r\n");
}

TEST(RegExprApi, CharacterSettingsApplyToTheNextSearch) {
    TRegExpr rx;
    rx.SetExpression("\\w+");
    ASSERT_TRUE(rx.Exec("ab-cd"));
    EXPECT_EQ(rx.GroupText(0), "ab");
    rx.SetWordCharacters("abcd-");
    ASSERT_TRUE(rx.Exec("ab-cd"));
    EXPECT_EQ(rx.GroupText(0), "ab-cd");
    rx.SetExpression("\\s");
    rx.SetSpaceCharacters("_");
    ASSERT_TRUE(rx.Exec("a b_c"));
    EXPECT_EQ(rx.GroupPos(0), 4);
    rx.SetExpression("^c");
    rx.SetModifierFlag(5, true);
    rx.SetLineSeparatorChars("|");
    rx.SetLinePairedSeparator("");
    EXPECT_TRUE(rx.Exec("ab|c"));
    EXPECT_FALSE(rx.Exec("ab\nc"));
    // A case swap of one's own: here '1' and '2' are each other's other case.
    rx.SetCaseSwap([](char c) { return c == '1' ? '2' : c == '2' ? '1' : c; });
    rx.SetExpression("(?i)a1");
    EXPECT_TRUE(rx.Exec("xa2"));
    EXPECT_FALSE(rx.Exec("xA1"));
}

TEST(RegExprApi, LoopNestingBound) {
    auto nested = [](int loops) {
        std::string p = "ab";
        for (int i = 0; i < loops; ++i) p = "(" + p + "){1,2}";
        return p;
    };
    TRegExpr rx;
    rx.SetExpression(nested(10));
    EXPECT_TRUE(rx.Exec("abab"));
    rx.SetExpression(nested(11));
    const ERegExpr e = CatchRegExpr([&] { rx.Exec("ab"); });
    EXPECT_EQ(e.Code, 1014);
    EXPECT_EQ(e.Message(), "TRegExpr(exec): Loop Stack Exceeded");
}

TEST(RegExprApi, RecursionBoundOnAMegabyteSubject) {
    // Every pattern needs the "cx" at the end, so each nests once per character.
    std::string subject;
    for (int i = 0; i < 500000; ++i) subject += "ab";
    const std::string small = subject.substr(0, 100) + "cx";
    subject += "cx";
    for (const char* p : {"(a|b)*c", "((a|b)(c|d)?)*x", "(ab|a)+?c", "(.)*c", "((a)|b){2,}c"}) {
        SCOPED_TRACE(p);
        TRegExpr rx;
        rx.SetExpression(p);
        const ERegExpr e = CatchRegExpr([&] { rx.Exec(subject); });
        EXPECT_EQ(e.Code, 1016);
        EXPECT_EQ(e.Message(), "TRegExpr(exec): Match Recursion Too Deep");
        // The engine stays usable after the bound was reached.
        EXPECT_TRUE(rx.Exec(small));
    }
    // Single-character repeats and the album patterns do not nest.
    TRegExpr rx;
    rx.SetExpression("[ab]*c");
    EXPECT_TRUE(rx.Exec(subject));
    EXPECT_EQ(rx.GroupLen(0), 1000001);
    rx.SetExpression("a(.*?)$");
    EXPECT_TRUE(rx.Exec(subject));
    EXPECT_EQ(rx.GroupLen(1), 1000001);
    // Moderate depth still works: the bound counts backtrack entries, whatever the build.
    rx.SetExpression("(a|b)*c");
    EXPECT_TRUE(rx.Exec(subject.substr(0, 100000) + "c"));
}

TEST(RegExprApi, StepLimitBoundsExponentialBacktracking) {
    TRegExpr rx;
    EXPECT_EQ(rx.MatchStepLimit(), TRegExpr::DefaultMatchStepLimit);
    rx.SetMatchStepLimit(100000);
    EXPECT_EQ(rx.MatchStepLimit(), 100000);
    // A back-reference keeps the failure memo off, so this backtracks exponentially.
    rx.SetExpression("(a|aa)+\\1b");
    const ERegExpr e = CatchRegExpr([&] { rx.Exec(std::string(60, 'a') + "cb"); });
    EXPECT_EQ(e.Code, reeMatchStepLimitExceeded);
    EXPECT_EQ(e.Message(), "TRegExpr(exec): Match Step Limit Exceeded");
    EXPECT_EQ(rx.GroupPos(0), -1);  // no half-made match survives the error
    EXPECT_TRUE(rx.Exec("aaab"));
    rx.SetMatchStepLimit(0);
    EXPECT_EQ(rx.MatchStepLimit(), TRegExpr::DefaultMatchStepLimit);
}

// Faults found while building the engine stay here as cases.
TEST(RegExprApi, FormerBugs) {
    TRegExpr rx;
    // A case swap that gives NUL would let a literal match the subject's end and read past it.
    rx.SetCaseSwap([](char c) { return c == 'a' ? '\0' : c; });
    rx.SetExpression("(?i)ba");
    EXPECT_FALSE(rx.Exec("b"));
    // A paired separator with NUL as its head must not read past the subject's end.
    TRegExpr pair;
    pair.SetLinePairedSeparator(std::string("\0\n", 2));
    pair.SetModifierFlag(3, false);
    pair.SetExpression("a.");
    EXPECT_FALSE(pair.Exec("a"));
}
