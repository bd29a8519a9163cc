// regex_fuzz: compiles and searches arbitrary patterns on arbitrary subjects.
//
// Input layout: byte 0 holds the modifiers i r s g m x in bits 0..5 (bit 6 clears the
// line pair, bit 7 makes LF the only line separator); the pattern runs from byte 1 to the
// first NUL (where a pattern ends anyway) and the subject is everything after it, NULs
// included. Every outcome must be a result or an ERegExpr with a listed code; match and
// group positions must lie inside the subject. A step bound keeps exponential
// backtracking from stalling the fuzzer; it raises the engine's own error 1017. The
// searches run again with the failure memo from the first step, and where both runs end
// without an error they must find the same matches and groups.
#include "regex/RegExpr.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

void CheckGroups(const TRegExpr& rx, size_t subjectLength) {
    for (int g = 0; g < TRegExpr::MaxGroups; ++g) {
        const int pos = rx.GroupPos(g);
        const int len = rx.GroupLen(g);
        if (pos < 0) {
            Require(len == 0 && rx.GroupText(g).empty());
            continue;
        }
        Require(pos >= 1 && size_t(pos - 1 + len) <= subjectLength);
        Require(rx.GroupText(g).size() == size_t(len));
    }
    Require(rx.GroupPos(0) >= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t nul = rest.find('\0');
    const std::string pattern = rest.substr(0, nul);
    const std::string subject = nul == std::string::npos ? std::string() : rest.substr(nul + 1, 2048);
    const size_t searchable = subject.find('\0') == std::string::npos ? subject.size() : subject.find('\0');

    // All matches as text, or "" after an error.
    auto run = [&](int64_t memoAfter) {
        TRegExpr rx;
        for (int i = 1; i <= 6; ++i) rx.SetModifierFlag(i, flags & (1 << (i - 1)));
        if (flags & 0x40) rx.SetLinePairedSeparator("");
        if (flags & 0x80) rx.SetLineSeparatorChars("\n");
        rx.SetMatchStepLimit(50000);
        rx.SetMemoAfterSteps(memoAfter);
        rx.SetExpression(pattern);
        std::string found = "ok:";
        try {
            int matches = 0;
            for (bool m = rx.Exec(subject); m && matches < 64; m = rx.ExecNext(), ++matches) {
                CheckGroups(rx, searchable);
                for (int g = 0; g < TRegExpr::MaxGroups; ++g)
                    found += std::to_string(rx.GroupPos(g)) + "," + std::to_string(rx.GroupLen(g)) + ";";
            }
            rx.Dump();
        } catch (const ERegExpr& e) {
            Require(e.Code != 0 && rx.ErrorText(e.Code) != "Unknown error");
            Require(e.Code < 1000 ? e.PatternPos >= 0 && size_t(e.PatternPos) <= pattern.size() + 1
                                  : e.PatternPos == 0);
            Require(rx.ErrorPosition() == 0);
            return std::string();
        }
        return found;
    };
    const std::string plain = run(INT64_MAX);
    const std::string memo = run(0);
    Require(plain.empty() || memo.empty() || plain == memo);
    return 0;
}
