// Differential test against PCRE2 (the system's libpcre2-8): generated patterns and
// subjects on which both engines define the same result, compared match by match
// (position, length and group texts), walking all matches the way ExecNext does.
//
// The generator stays inside the common subset and so leaves out:
// - "$" before a final line break (PCRE2 matches there; run with DOLLAR_ENDONLY) and the
//   multi-line anchors (the pair rules for CR LF have no PCRE2 counterpart);
// - quantifiers over operands that can be empty (this engine rejects them, error 106)
//   and back-references inside repeated groups (zero-width iterations are handled
//   differently);
// - "{" as a literal, "{,n}", and (?...) groups other than (?i) at the start;
// - the empty pattern (an empty Expression here means no pattern at all, error 1003);
// - group texts of groups that did not take part: GroupText gives "" where PCRE2 has
//   "unset", so only the texts are compared.
// Dot runs with s on (PCRE2_DOTALL); subjects hold no line breaks.
#include "regex/RegExpr.h"

#include <gtest/gtest.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <random>
#include <string>
#include <vector>

namespace {

class PatternGenerator {
public:
    explicit PatternGenerator(uint32_t seed) : FRandom(seed) {}

    std::string Pattern() {
        FGroups = 0;
        std::string p = Alternatives(0);
        if (Pick(12) == 0) p = "(?i)" + p;
        return p;
    }

    std::string Subject() {
        static const char alphabet[] = "abcAB1 ";
        std::string s;
        const int len = Pick(14);
        for (int i = 0; i < len; ++i) s += alphabet[Pick(Pick(3) == 0 ? 7 : 3)];
        return s;
    }

private:
    int Pick(int n) { return int(FRandom() % uint32_t(n)); }

    std::string Alternatives(int depth) {
        std::string p = Sequence(depth);
        while (Pick(5) == 0) p += "|" + Sequence(depth);
        return p;
    }

    std::string Sequence(int depth) {
        std::string p;
        const int pieces = 1 + Pick(3);
        for (int i = 0; i < pieces; ++i) p += Piece(depth);
        return p;
    }

    std::string Piece(int depth) {
        bool width = true;
        std::string atom = Atom(depth, width);
        if (!width || Pick(3) != 0) return atom;
        static const char* const quantifiers[] = {"*", "+", "?", "{2}", "{1,2}", "{0,2}", "{2,}"};
        std::string q = quantifiers[Pick(7)];
        if (Pick(3) == 0) q += "?";
        return atom + q;
    }

    std::string Atom(int depth, bool& width) {
        switch (Pick(depth < 2 ? 16 : 12)) {
        case 0: case 1: case 2: case 3: return std::string(1, "abc"[Pick(3)]);
        case 4: return ".";
        case 5: return Pick(2) ? "[ab]" : "[a-c1]";
        case 6: return Pick(2) ? "[^a]" : "[^ b]";
        case 7: return Pick(2) ? "\\d" : "\\w";
        case 8: width = false; return Pick(2) ? "\\b" : "\\B";
        case 9: width = false; return Pick(2) ? "^" : "$";
        case 10: return "ab";
        case 11: {
            if (FGroups == 0 || depth > 0) return "c";
            // A reference to an earlier, closed group, outside every group and never
            // quantified.
            width = false;
            return "\\" + std::to_string(1 + Pick(FGroups));
        }
        default: {
            if (FGroups >= 9) return "a";
            ++FGroups;
            std::string inner = Alternatives(depth + 1);
            return "(" + inner + ")";
        }
        }
    }

    std::mt19937 FRandom;
    int FGroups = 0;
};

// All matches as "pos:len:g1,g2,...;" or an empty string when the pattern does not compile.
std::string PcreMatches(const std::string& pattern, const std::string& subject, bool& ok, int& groupCount) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(),
                                     PCRE2_DOTALL | PCRE2_DOLLAR_ENDONLY, &error, &offset, nullptr);
    ok = code != nullptr;
    if (!code) return "";
    uint32_t captures = 0;
    pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &captures);
    groupCount = int(captures);
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
    std::string out;
    size_t start = 0;
    while (start <= subject.size()) {
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.c_str()), subject.size(), start,
                                   0, md, nullptr);
        if (rc < 0) break;
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        out += std::to_string(ov[0] + 1) + ":" + std::to_string(ov[1] - ov[0]) + ":";
        for (uint32_t g = 1; g <= captures; ++g) {
            if (ov[2 * g] != PCRE2_UNSET) out += subject.substr(ov[2 * g], ov[2 * g + 1] - ov[2 * g]);
            out += ",";
        }
        out += ";";
        start = ov[1] + (ov[1] == ov[0] ? 1 : 0);
    }
    pcre2_match_data_free(md);
    pcre2_code_free(code);
    return out;
}

// MemoAfter: when the engine starts remembering failed states (0: from the first step).
std::string OurMatches(const std::string& pattern, const std::string& subject, int groups, bool& ok,
                       int64_t memoAfter = TRegExpr::DefaultMemoAfterSteps) {
    TRegExpr rx;
    rx.SetMemoAfterSteps(memoAfter);
    rx.SetExpression(pattern);
    std::string out;
    try {
        for (bool m = rx.Exec(subject); m; m = rx.ExecNext()) {
            out += std::to_string(rx.GroupPos(0)) + ":" + std::to_string(rx.GroupLen(0)) + ":";
            for (int g = 1; g <= groups; ++g) out += rx.GroupText(g) + ",";
            out += ";";
        }
        ok = true;
    } catch (const ERegExpr& e) {
        ok = e.Code >= 1000;  // compile errors: outside the subset
        if (ok) out = "error " + std::to_string(e.Code);
    }
    return out;
}

}  // namespace

TEST(RegExprPcreDiff, GeneratedPatternsAgreeWithPcre2) {
    PatternGenerator gen(20240611);
    int compared = 0;
    int matched = 0;  // comparisons with at least one match
    int attempts = 0;
    while (compared < 1500 && attempts < 10000) {
        ++attempts;
        const std::string pattern = gen.Pattern();
        for (int s = 0; s < 4; ++s) {
            const std::string subject = gen.Subject();
            bool pcreOk = false, ourOk = false;
            int groups = 0;
            const std::string expected = PcreMatches(pattern, subject, pcreOk, groups);
            const std::string actual = OurMatches(pattern, subject, groups, ourOk);
            if (!pcreOk || !ourOk) break;
            EXPECT_EQ(actual, expected) << "pattern '" << pattern << "' subject '" << subject << "'";
            // The failure memo from the first step changes no result.
            EXPECT_EQ(OurMatches(pattern, subject, groups, ourOk, 0), expected)
                << "with the memo: pattern '" << pattern << "' subject '" << subject << "'";
            ++compared;
            matched += !expected.empty();
        }
    }
    EXPECT_GE(compared, 1500);
    EXPECT_GE(matched, 600);
    RecordProperty("compared", compared);
    RecordProperty("matched", matched);
    RecordProperty("patterns_tried", attempts);
}

// Every pattern of up to three tokens over a small token set (and of four over a smaller
// one), on every subject of up to three characters over "ab".
TEST(RegExprPcreDiff, AllShortPatternsAgreeWithPcre2) {
    std::vector<std::string> subjects = {""};
    for (size_t i = 0; i < subjects.size() && subjects[i].size() < 3; ++i)
        for (char c : {'a', 'b'}) subjects.push_back(subjects[i] + c);
    auto patterns = [](const std::string& tokens, size_t maxLen) {
        std::vector<std::string> all = {""};
        for (size_t i = 0; i < all.size() && all[i].size() < maxLen; ++i)
            for (char t : tokens) all.push_back(all[i] + t);
        return all;
    };
    std::vector<std::string> all = patterns("ab|*+?().^$", 3);
    for (const std::string& p : patterns("ab|*?()", 4))
        if (p.size() == 4) all.push_back(p);
    int compared = 0;
    for (const std::string& pattern : all) {
        if (pattern.empty()) continue;  // an empty Expression withdraws the pattern (1003)
        for (const std::string& subject : subjects) {
            bool pcreOk = false, ourOk = false;
            int groups = 0;
            const std::string expected = PcreMatches(pattern, subject, pcreOk, groups);
            if (!pcreOk) break;
            const std::string actual = OurMatches(pattern, subject, groups, ourOk);
            if (!ourOk) break;
            EXPECT_EQ(actual, expected) << "pattern '" << pattern << "' subject '" << subject << "'";
            EXPECT_EQ(OurMatches(pattern, subject, groups, ourOk, 0), expected)
                << "with the memo: pattern '" << pattern << "' subject '" << subject << "'";
            ++compared;
        }
    }
    EXPECT_GE(compared, 5000);
    RecordProperty("compared", compared);
}

// Longer subjects, where the same states come up again and again, with the failure memo
// on from the first step and off (a memo that starts late, as by default, only covers
// less).
TEST(RegExprPcreDiff, LongSubjectsWithTheFailureMemoAgreeWithPcre2) {
    PatternGenerator gen(7031);
    std::mt19937 random(99);
    int compared = 0;
    int attempts = 0;
    while (compared < 600 && attempts < 10000) {
        ++attempts;
        const std::string pattern = gen.Pattern();
        std::string subject;
        for (int i = 0; i < 3; ++i) subject += gen.Subject();
        for (int i = 0; i < 12; ++i) subject += "ab"[random() % 2];
        bool pcreOk = false, ourOk = false;
        int groups = 0;
        const std::string expected = PcreMatches(pattern, subject, pcreOk, groups);
        if (!pcreOk) continue;
        const std::string withMemo = OurMatches(pattern, subject, groups, ourOk, 0);
        if (!ourOk) continue;
        EXPECT_EQ(withMemo, expected) << "pattern '" << pattern << "' subject '" << subject << "'";
        EXPECT_EQ(OurMatches(pattern, subject, groups, ourOk, INT64_MAX), expected)
            << "without the memo: pattern '" << pattern << "' subject '" << subject << "'";
        ++compared;
    }
    EXPECT_GE(compared, 600);
    RecordProperty("compared", compared);
}
