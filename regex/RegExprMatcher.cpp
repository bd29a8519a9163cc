// RegExprMatcher: runs a compiled program against the subject by backtracking.
//
// Search checks the required literal; NextStart picks the places a match may begin (a
// literal prefix, the first character, the first-character set) and MatchFrom runs the
// program from each of them in turn, or from the search's start alone when the program is
// anchored. MatchFrom is one loop over the instructions decoded from the program
// (RegExprCode.h) with a backtrack stack of its own (FMatch.Stack, heap memory): a choice
// pushes an entry to come back to, and every change to a group position or a loop
// counter pushes the old value; failing pops entries, restoring values, until a choice
// can go on. Nothing recurses, so the machine stack never limits a match; the stack's
// size is bounded by MaxBacktrackEntries (reeMatchRecursionTooDeep).
//
// Invariants: the subject is NUL-terminated and holds no NUL before its end, so a test
// of the character at the cursor also tests for the end; when the stack is popped back to
// a choice, the groups, the loop depth and the loop counters are as they were when the
// choice was pushed; a start that fails leaves an empty stack and the groups cleared.
//
// Work is bounded twice. Every node run and every choice resumed is a step, and so are
// every 16 characters a repeat scans (counting its run, or looking for where its
// continuation may start), so that a scan repeated from many places costs what it takes;
// a search has MatchStepLimit steps (reeMatchStepLimitExceeded); OnMatchProgress hears every
// MatchProgressSteps. And once a search has taken MemoAfterSteps steps, the states of the
// memo nodes (RegExprCompiler.cpp, FindMemoNodes) that failed are remembered per subject
// position and never explored again: a choice of alternatives at a position, and the
// continuations of an unbounded repeat from a position to the end of its run. Tested by
// tests/regex/RegExprMatchTest.cpp, RegExprBoundsTest.cpp and the differential test
// against PCRE2.
#include "regex/RegExpr.h"
#include "regex/RegExprNodes.h"

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define REGEXPR_AVX2_SCAN 1
#endif

using namespace regexpr;

namespace {

// The memo takes at most this much memory; slots past it go without.
constexpr int64_t MaxMemoBytes = 64 * 1024 * 1024;

// Kinds of backtrack entries.
enum : uint8_t {
    BtAlt,         // choice: try the alternatives from ALT instruction Node at Pos
    BtGroup,       // restore group position slot A (0..14 starts, 15..29 ends) to Pos
    BtLoopState,   // restore loop depth A and counter B to C
    BtGreedy,      // choice: repeat Node from Pos went A times; try fewer (run of B, step C)
    BtLazy,        // choice: repeat Node from Pos went A times; try more (run of B, step C)
    BtLoopLeave,   // choice: leave general loop Node at Pos
    BtLoopAgain,   // choice: iterate general loop Node once more at Pos
    BtMemo,        // everything from ALT slot A at Pos failed: remember it
};

bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

// Whether an alternative starting with Node can match at P, judged by its first node
// alone (true when that tells nothing).
bool CanStart(const TInst* node, const char* p, const unsigned char* swap) {
    const unsigned char c = (unsigned char)*p;
    const uint8_t* op = node->Op;
    switch (node->Kind) {
    case LITERAL: return c == op[0];
    case LITERAL_CI: return c == op[0] || c == swap[op[0]];
    case SMALL_SET: return c != 0 && (c == op[0] || c == op[1] || c == op[2]);
    case BIT_SET: return c != 0 && InSet(op, c);
    case DIGIT: return IsDigitChar(char(c));
    default: return true;
    }
}

// The greatest count K in [Min, K] whose position holds Ahead, or -1 (K >= Min).
int64_t LastCandidateScan(const char* save, int64_t k, int64_t min, int step, int ahead) {
    if (step == 1) {
        const void* hit = memrchr(save + min, ahead, size_t(k - min + 1));
        return hit ? static_cast<const char*>(hit) - save : -1;
    }
    for (; k >= min; --k)
        if ((unsigned char)save[k * step] == ahead) return k;
    return -1;
}

// The greatest count K in [Min, K] whose position can begin the continuation (its
// character is Ahead), or -1.
inline int64_t LastCandidate(const char* save, int64_t k, int64_t min, int step, int ahead) {
    if (k < min) return -1;
    if (ahead < 0) return k;
    return LastCandidateScan(save, k, min, step, ahead);
}

// The smallest count K in [K, Top] whose position can begin the continuation, or -1.
int64_t FirstCandidate(const char* save, int64_t k, int64_t top, int step, int ahead) {
    if (k > top) return -1;
    if (ahead < 0) return k;
    if (step == 1) {
        const void* hit = std::memchr(save + k, ahead, size_t(top - k + 1));
        return hit ? static_cast<const char*>(hit) - save : -1;
    }
    for (; k <= top; ++k)
        if ((unsigned char)save[k * step] == ahead) return k;
    return -1;
}

// The first occurrence of Byte in [From, End), or nullptr. Most runs a repeat scans for
// end within a few characters (a tag's name, an attribute), where a call of memchr costs
// more than the look itself, so the first 16 characters are looked at in place.
inline const char* FindByte(const char* from, const char* end, int byte) {
#if defined(__SSE2__)
    if (end - from >= 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
        const unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(a, _mm_set1_epi8(char(byte)))));
        if (mask) return from + __builtin_ctz(mask);
        from += 16;
    }
#endif
    return static_cast<const char*>(std::memchr(from, byte, size_t(end - from)));
}

// Whether the literal Lit of N characters stands at At, its first, second and last
// characters known to.
inline bool PrefixRest(const char* at, const char* lit, size_t n) {
    return n <= 3 || std::memcmp(at + 2, lit + 2, n - 3) == 0;
}

#if defined(REGEXPR_AVX2_SCAN)
// FindPrefix's look 32 positions at a time, on processors that have AVX2: from P while a
// whole block of starts lies at or before Last. Returns the literal's place, or nullptr
// with P where the blocks ended.
__attribute__((target("avx2"))) const char* ScanPrefixAvx2(const char*& p, const char* last, const char* lit,
                                                           size_t n) {
    const __m256i c0 = _mm256_set1_epi8(lit[0]);
    const __m256i c1 = _mm256_set1_epi8(lit[1]);
    const __m256i cn = _mm256_set1_epi8(lit[n - 1]);
    for (; p + 32 <= last + 1; p += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
        const __m256i z = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + n - 1));
        const __m256i hit = _mm256_and_si256(_mm256_and_si256(_mm256_cmpeq_epi8(a, c0), _mm256_cmpeq_epi8(b, c1)),
                                             _mm256_cmpeq_epi8(z, cn));
        for (unsigned mask = unsigned(_mm256_movemask_epi8(hit)); mask; mask &= mask - 1) {
            const char* at = p + __builtin_ctz(mask);
            if (PrefixRest(at, lit, n)) return at;
        }
    }
    return nullptr;
}

// Asked once; the detection is started here since static constructors of other units may
// search before the runtime's own start-up has run it.
bool HasAvx2() {
    static const bool has = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return has;
}
#endif

}  // namespace

// ======================================================================================
// Search
// ======================================================================================

bool TRegExpr::Search(int offset) {
    ClearGroups();
    if (!PrepareProgram()) return false;
    if (!FHasInput) Fail(reeNoInputStringSpecified);
    const int64_t len = int64_t(FInputBuffer.size());
    if (offset < 1) Fail(reeOffsetMustBeGreaterThen0);
    if (offset > len + 1) return false;
    const char* base = FInputBuffer.c_str();
    const char* end = base + len;
    const char* start = base + offset - 1;
    if (FMustHave >= 0 && FMustHave != FPrefix &&
        !memmem(start, size_t(end - start), FProgram.data() + FMustHave, size_t(FMustHaveLen)))
        return false;
    TMatchState& m = FMatch;
    m.InputStart = base;
    m.InputEnd = end;
    m.LoopDepth = 0;
    m.Depth = 0;
    m.Steps = 0;
    m.NextProgress = MatchProgressSteps;
    ScheduleStepCheck();
    try {
        const char* first = FAnchoredAtStart ? start : NextStart(start, end);
        return first && MatchFrom(first);
    } catch (...) {
        // No half-made match may survive an error.
        m.Depth = 0;
        ClearGroups();
        throw;
    }
}

// The first place at or after P (P <= End) where a match may begin, as far as the search
// shortcuts tell, or nullptr.
__attribute__((always_inline)) inline const char* TRegExpr::NextStart(const char* p, const char* end) const {
    if (FPrefixLen > 0) return FindPrefix(p, end);
    if (FFirstChar != 0) {
        for (; p < end; ++p) {
            p = FindByte(p, end, (unsigned char)FFirstChar);
            if (!p) return nullptr;
            if (FirstPairFits(p)) return p;
        }
        return nullptr;
    }
    if (FFirstChars[0] != 0) {
        // A few possible first characters, none of them the end (NUL).
        for (; (p = FindFirstChar(p, end)) < end; ++p)
            if (FirstPairFits(p)) return p;
        return nullptr;
    }
    for (;; ++p) {
        if (FFirstCharSet[(unsigned char)*p] && FirstPairFits(p)) return p;
        if (p == end) return nullptr;
    }
}

// The first place at or after From where the prefix literal stands, or nullptr. Looks for
// its first, second and last characters 16 positions at a time and compares the rest
// where all three stand.
const char* TRegExpr::FindPrefix(const char* from, const char* end) const {
    const char* lit = reinterpret_cast<const char*>(FProgram.data() + FPrefix);
    const size_t n = size_t(FPrefixLen);
    if (size_t(end - from) < n) return nullptr;
    const char* last = end - n;  // the last possible start
    const char* p = from;
    auto rest = [&](const char* at) { return PrefixRest(at, lit, n); };
#if defined(REGEXPR_AVX2_SCAN)
    if (HasAvx2())
        if (const char* at = ScanPrefixAvx2(p, last, lit, n)) return at;
#endif
#if defined(__SSE2__)
    const __m128i c0 = _mm_set1_epi8(lit[0]);
    const __m128i c1 = _mm_set1_epi8(lit[1]);
    const __m128i cn = _mm_set1_epi8(lit[n - 1]);
    for (; p + 16 <= last + 1; p += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const __m128i z = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 1));
        const __m128i hit = _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, c0), _mm_cmpeq_epi8(b, c1)),
                                          _mm_cmpeq_epi8(z, cn));
        for (unsigned mask = unsigned(_mm_movemask_epi8(hit)); mask; mask &= mask - 1) {
            const char* at = p + __builtin_ctz(mask);
            if (rest(at)) return at;
        }
    }
#endif
    for (; p <= last; ++p)
        if (p[0] == lit[0] && p[1] == lit[1] && p[n - 1] == lit[n - 1] && rest(p)) return p;
    return nullptr;
}

// The first place at or after From whose character is one of the first characters (at
// most four: FFirstChars), or End. Looks 16 positions at a time.
const char* TRegExpr::FindFirstChar(const char* from, const char* end) const {
    const char* p = from;
#if defined(__SSE2__)
    const __m128i c0 = _mm_set1_epi8(FFirstChars[0]);
    const __m128i c1 = _mm_set1_epi8(FFirstChars[1]);
    const __m128i c2 = _mm_set1_epi8(FFirstChars[2]);
    const __m128i c3 = _mm_set1_epi8(FFirstChars[3]);
    for (; p + 16 <= end; p += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, c0), _mm_cmpeq_epi8(a, c1)),
                                         _mm_or_si128(_mm_cmpeq_epi8(a, c2), _mm_cmpeq_epi8(a, c3)));
        const unsigned mask = unsigned(_mm_movemask_epi8(hit));
        if (mask) return p + __builtin_ctz(mask);
    }
#endif
    for (; p < end; ++p)
        if (FFirstCharSet[(unsigned char)*p]) return p;
    return end;
}

// ======================================================================================
// Steps, the stack and the failure memo
// ======================================================================================

// Runs when the step count reaches NextCheck: the budget, the progress event, and the
// memo's start; then works out when it must run next.
void TRegExpr::StepCheck() {
    TMatchState& m = FMatch;
    if (m.Steps > FSet.MatchStepLimit) Fail(reeMatchStepLimitExceeded);
    if (m.Steps >= m.NextProgress) {
        m.NextProgress += MatchProgressSteps;
        if (OnMatchProgress && !OnMatchProgress()) Fail(reeMatchCancelled);
    }
    if (!m.MemoActive && !FMemoNodes.empty() && m.Steps >= FSet.MemoAfterSteps) ActivateMemo();
    ScheduleStepCheck();
}

// Works out when StepCheck must run next: at the first step that passes the budget,
// reaches the next progress event or may start the memo.
void TRegExpr::ScheduleStepCheck() {
    TMatchState& m = FMatch;
    m.NextCheck = std::min(FSet.MatchStepLimit + 1, m.NextProgress);
    if (!m.MemoActive && !FMemoNodes.empty()) m.NextCheck = std::min(m.NextCheck, FSet.MemoAfterSteps);
    if (m.NextCheck <= m.Steps) m.NextCheck = m.Steps + 1;
}

// Makes room for more entries: doubles the stack up to its bound.
void TRegExpr::GrowStack() {
    TMatchState& m = FMatch;
    if (m.Depth >= MaxBacktrackEntries) Fail(reeMatchRecursionTooDeep);
    m.Stack.resize(size_t(std::min<int64_t>(MaxBacktrackEntries, std::max<int64_t>(64, m.Depth * 2))));
    m.StackSize = int64_t(m.Stack.size());
}

void TRegExpr::ActivateMemo() {
    TMatchState& m = FMatch;
    const int64_t positions = (m.InputEnd - m.InputStart) + 1;
    m.MemoWords = (positions + 63) / 64;
    const int64_t fit = MaxMemoBytes / (m.MemoWords * 8);
    m.MemoSlots = int(std::min<int64_t>(fit, int64_t(FMemoNodes.size())));
    m.MemoBits.assign(size_t(m.MemoSlots * m.MemoWords), 0);
    m.MemoActive = true;
}

// The memo slot of instruction In, or -1 (no memo yet, or no slot for it).
inline int TRegExpr::MemoSlotOf(const TInst* in) const {
    return FMatch.MemoActive && in->Memo >= 0 && in->Memo < FMatch.MemoSlots ? in->Memo : -1;
}

bool TRegExpr::MemoTest(int slot, const char* p) const {
    const int64_t i = p - FMatch.InputStart;
    return (FMatch.MemoBits[size_t(slot * FMatch.MemoWords + (i >> 6))] >> (i & 63)) & 1;
}

// Marks the positions From..To (inclusive) of Slot as failed.
void TRegExpr::MemoMark(int slot, const char* from, const char* to) {
    if (to < from) return;
    uint64_t* bits = FMatch.MemoBits.data() + slot * FMatch.MemoWords;
    int64_t i = from - FMatch.InputStart;
    const int64_t last = to - FMatch.InputStart;
    for (; i <= last && (i & 63); ++i) bits[i >> 6] |= uint64_t(1) << (i & 63);
    for (; i + 63 <= last; i += 64) bits[i >> 6] = ~uint64_t(0);
    for (; i <= last; ++i) bits[i >> 6] |= uint64_t(1) << (i & 63);
}

// The first occurrence of Byte at or after From up to the subject's end, or nullptr.
// Backtracking asks the same from neighbouring places again and again (a repeat's run
// end, where its continuation may start), so the last answer per byte is kept.
__attribute__((always_inline)) inline const char* TRegExpr::NextByte(const char* from, int byte) {
    TMatchState::TFound& f = FMatch.Found[byte & 3];
    if (f.Byte == byte && (f.Hit ? from <= f.Hit : true)) {
        if (from >= f.From) return f.Hit;
        // Before the known stretch: only the gap up to it needs a look (backtracking
        // steps back a character or a few at a time).
        if (f.From - from <= 32) {
            for (const char* q = from; q < f.From; ++q)
                if ((unsigned char)*q == byte) {
                    f.From = from;
                    f.Hit = q;
                    return q;
                }
            f.From = from;
            return f.Hit;
        }
    }
    const char* hit = FindByte(from, FMatch.InputEnd, byte);
    FMatch.Steps += ((hit ? hit : FMatch.InputEnd) - from) >> 4;
    f.From = from;
    f.Hit = hit;
    f.Byte = byte;
    return hit;
}

// The smallest count K in [K, Top] of a lazy repeat from Save whose position can begin
// the continuation (its character is Ahead), or -1; the scan costs steps.
int64_t TRegExpr::LazyCandidate(const char* save, int64_t k, int64_t top, int step, int ahead) {
    if (k > top || ahead < 0 || step != 1) {
        const int64_t found = FirstCandidate(save, k, top, step, ahead);
        if (ahead >= 0 && k <= top) FMatch.Steps += ((found < 0 ? top : found) - k) >> 4;
        return found;
    }
    const char* hit = NextByte(save + k, ahead);
    return hit && hit - save <= top ? hit - save : -1;
}

// ======================================================================================
// Node walk
// ======================================================================================

bool TRegExpr::AtPairHead(const char* p) const {
    return FSet.PairAssigned && *p != '\0' && *p == FSet.PairHead && p[1] == FSet.PairTail;
}

bool TRegExpr::AtLineStart(const char* p) const {
    if (p == FMatch.InputStart) return true;
    const char prev = p[-1];
    if (FSet.PairAssigned && prev == FSet.PairTail && p - FMatch.InputStart >= 2 && p[-2] == FSet.PairHead)
        return true;
    if (FSet.PairAssigned && prev == FSet.PairHead && *p == FSet.PairTail) return false;
    return FLineSeparatorSet[(unsigned char)prev];
}

bool TRegExpr::AtLineEnd(const char* p) const {
    const char c = *p;
    if (c == '\0') return true;
    if (AtPairHead(p)) return true;
    if (FSet.PairAssigned && c == FSet.PairTail && p > FMatch.InputStart && p[-1] == FSet.PairHead) return false;
    return FLineSeparatorSet[(unsigned char)c];
}

inline TRegExpr::TBacktrack& TRegExpr::Push(uint8_t kind) {
    TMatchState& m = FMatch;
    if (__builtin_expect(m.Depth == m.StackSize, 0)) GrowStack();
    TBacktrack& e = m.Stack[size_t(m.Depth++)];
    e.Kind = kind;
    e.Slot = -1;
    e.Ahead = -1;
    return e;
}

// One step of the general loop at LOOP instruction Loop, at the active depth: once more
// (the body is returned) or out of it (the instruction after it). A pushed entry undoes
// the change.
const TInst* TRegExpr::LoopStep(const TInst* loop, bool iterate) {
    TMatchState& m = FMatch;
    const int d = m.LoopDepth;
    TBacktrack& e = Push(BtLoopState);
    e.A = d;
    e.B = d;
    e.C = m.LoopCounters[d];
    if (iterate) {
        m.LoopCounters[d] += 1;
        return loop->Sub;
    }
    m.LoopDepth = d - 1;
    return loop->Next;
}

// The alternatives of a choice from ALT instruction Alt at P: pushes a choice for the
// next alternative that may match here, if any, and returns the first instruction of the
// first that may (the last alternative is taken without looking).
const TInst* TRegExpr::EnterAlternatives(const TInst* alt, const char* p) {
    for (;;) {
        if (!alt->Choice) return alt->Sub;
        const TInst* following = alt->Next;
        if (!CanStart(alt->Sub, p, FSet.Swap)) {
            alt = following;
            continue;
        }
        // Skip the later alternatives that cannot start here, except the last.
        const TInst* later = following;
        while (later->Choice && !CanStart(later->Sub, p, FSet.Swap)) later = later->Next;
        if (later->Choice || CanStart(later->Sub, p, FSet.Swap)) {
            TBacktrack& e = Push(BtAlt);
            e.Node = later;
            e.Pos = p;
        }
        return alt->Sub;
    }
}

// Where a back-reference ends when it matches at P, or nullptr.
__attribute__((always_inline)) inline const char* TRegExpr::MatchBackRef(const TInst* node, const char* p) const {
    const int n = node->Arg;
    const char* s = FMatch.GroupStart[n];
    const char* e = FMatch.GroupEnd[n];
    // A group re-entered in a loop may have its new start after its old end.
    if (!s || !e || e < s) return nullptr;
    const int64_t len = e - s;
    if (FMatch.InputEnd - p < len) return nullptr;
    if (node->Kind == BACKREF) {
        // Short group texts (tag and attribute names) are compared in place.
        if (len <= 8) {
            for (int64_t i = 0; i < len; ++i)
                if (p[i] != s[i]) return nullptr;
        } else if (std::memcmp(p, s, size_t(len)) != 0) {
            return nullptr;
        }
    } else {
        for (int64_t i = 0; i < len; ++i) {
            const unsigned char in = (unsigned char)p[i];
            const unsigned char g = (unsigned char)s[i];
            if (in != g && in != FSet.Swap[g]) return nullptr;
        }
    }
    return p + len;
}

// How many times (up to Max) the single-character Operand matches in a row from P. Step
// receives the characters per repetition (the group text's length for a back-reference,
// else 1).
__attribute__((always_inline)) inline int TRegExpr::RegRepeat(const TInst* operand, int max, int& step, const char* p) {
    step = 1;
    const int64_t left = FMatch.InputEnd - p;
    const int limit = int(left < max ? left : max);
    const uint8_t* op = operand->Op;
    int count = 0;
    auto run = [&](auto accepts) {
        while (count < limit && accepts((unsigned char)p[count])) ++count;
        FMatch.Steps += count >> 4;  // scanning costs steps too
    };
    switch (operand->Kind) {
    case ANY_CHAR:
        return limit;
    case LITERAL:
        run([&](unsigned char ch) { return ch == op[0]; });
        break;
    case LITERAL_CI:
        run([&](unsigned char ch) { return ch == op[0] || ch == FSet.Swap[op[0]]; });
        break;
    case DIGIT:
        run([](unsigned char ch) { return ch >= '0' && ch <= '9'; });
        break;
    case NOT_DIGIT:
        run([](unsigned char ch) { return ch < '0' || ch > '9'; });
        break;
    case SMALL_SET:
        run([&](unsigned char ch) { return ch == op[0] || ch == op[1] || ch == op[2]; });
        break;
    case SMALL_SET_NOT:
        if (op[0] == op[2]) {
            // One member (the padding repeats it): the run ends at its first occurrence.
            const char* hit = op[0] ? NextByte(p, op[0]) : nullptr;
            count = hit && hit - p < limit ? int(hit - p) : limit;
            break;
        }
        run([&](unsigned char ch) { return ch != op[0] && ch != op[1] && ch != op[2]; });
        break;
    case BIT_SET:
        run([&](unsigned char ch) { return InSet(op, ch); });
        break;
    case BACKREF:
    case BACKREF_CI: {
        const char* s = FMatch.GroupStart[operand->Arg];
        const char* e = FMatch.GroupEnd[operand->Arg];
        if (!s || !e || e < s) return 0;
        step = int(e - s);
        // An empty group text repeats any number of times without moving.
        if (step == 0) return max;
        for (const char* q = p; count < max && (q = MatchBackRef(operand, q)); ) ++count;
        FMatch.Steps += (int64_t(count) * step) >> 4;
        return count;
    }
    default:
        Fail(reeRegRepeatCalledInappropriately);
    }
    return count;
}

// Runs the repeat instruction Rep at P: pushes a choice for the counts still to try and
// returns the first count's end; nullptr when no count can be followed.
__attribute__((always_inline)) inline const char* TRegExpr::EnterRepeat(const TInst* rep, const char* p) {
    TMatchState& m = FMatch;
    const int min = rep->Min;
    // The memo knows "every continuation from there to the run's end failed" (a program
    // with a memo has no back-references, so a step is 1). Where the operand does not
    // reach P + Min, the repeat fails all the same.
    const int slot = MemoSlotOf(rep);
    if (slot >= 0 && (m.InputEnd - p < min || MemoTest(slot, p + min))) return nullptr;
    int step = 1;
    int64_t top = RegRepeat(rep->Sub, rep->Max, step, p);
    if (top < min) return nullptr;
    if (step == 0) top = min;  // every count leaves the cursor at the same place
    const int ahead = rep->Ahead;
    int64_t k;
    if (rep->Lazy) {
        k = LazyCandidate(p, min, top, step, ahead);
        if (k >= 0 && slot >= 0 && MemoTest(slot, p + k)) {
            MemoMark(slot, p + min, p + k - 1);
            k = -1;
        } else if (k < 0 && slot >= 0) {
            MemoMark(slot, p + min, p + top);
        }
    } else if (rep->AheadOutside) {
        // The run holds no character the continuation can begin with, so only its end
        // can be followed: no coming back for fewer.
        if ((unsigned char)p[top] == ahead) {
            return p + top;
        }
        if (slot >= 0) MemoMark(slot, p + min, p + top);
        return nullptr;
    } else {
        k = LastCandidate(p, top, min, step, ahead);
        m.Steps += (top - (k < 0 ? min : k)) >> 4;
        if (k < 0 && slot >= 0) MemoMark(slot, p + min, p + top);
    }
    if (k < 0) return nullptr;
    TBacktrack& e = Push(rep->Lazy ? BtLazy : BtGreedy);
    e.Node = rep;
    e.Pos = p;
    e.A = int32_t(k);
    e.B = int32_t(top);
    e.C = step;
    e.Slot = int8_t(slot);
    e.Ahead = int16_t(ahead);
    return p + k * step;
}

// Comes back to the repeat choice E for its next count and returns where it ends;
// nullptr when none is left.
__attribute__((always_inline)) inline const char* TRegExpr::ResumeRepeat(TBacktrack& e) {
    TMatchState& m = FMatch;
    const char* save = e.Pos;
    const int min = e.Node->Min;
    int64_t k;
    if (e.Kind == BtGreedy) {
        k = LastCandidate(save, int64_t(e.A) - 1, min, e.C, e.Ahead);
        m.Steps += (e.A - (k < 0 ? min : k)) >> 4;
        if (k < 0 && e.Slot >= 0) MemoMark(e.Slot, save + min, save + e.B);
    } else {
        k = LazyCandidate(save, int64_t(e.A) + 1, e.B, e.C, e.Ahead);
        if (k >= 0 && e.Slot >= 0 && MemoTest(e.Slot, save + k)) {
            MemoMark(e.Slot, save + min, save + k - 1);
            k = -1;
        } else if (k < 0 && e.Slot >= 0) {
            MemoMark(e.Slot, save + min, save + e.B);
        }
    }
    if (k < 0) return nullptr;
    e.A = int32_t(k);
    return save + k * e.C;
}

// Runs the program from Start and then, unless it is anchored, from every later place
// NextStart gives, until one matches: true with the groups set, or false with an empty
// stack and the groups cleared. Raises the searching errors.
bool TRegExpr::MatchFrom(const char* start) {
    TMatchState& m = FMatch;
    // The step count lives in a register here; m.Steps is brought up to date around the
    // calls that read it or add to it, and before returning.
    int64_t steps = m.Steps;
    int64_t nextCheck = m.NextCheck;
    auto step = [&](int cost) {
        if ((steps += cost) >= nextCheck) {
            m.Steps = steps;
            StepCheck();
            nextCheck = m.NextCheck;
        }
    };
    // When the program begins with a literal, every start NextStart gives already holds it
    // (the prefix literal, or its one character): that instruction is counted, not run.
    const char* p;
    const TInst* scan;
    auto begin = [&] {
        p = start;
        scan = FEntry;
        if (FEntryFound) {
            step(1);
            p += scan->Len;
            scan = scan->Next;
        }
    };
    begin();
    for (;;) {
        // ---- run instructions until one fails ----
        for (;;) {
            if (!scan) {
                step(1);
                Fail(reeMatchPrimCorruptedPointers);
            }
            step(scan->Cost);
            if (scan->Kind == GROUP_MARK) {
                // OPEN(n) and CLOSE(n), Arg the position slot. The most common node of
                // all, taken before the switch: a test predicts better than its jump.
                const int slot = scan->Arg;
                const char** pos = slot < MaxGroups ? &m.GroupStart[slot] : &m.GroupEnd[slot - MaxGroups];
                TBacktrack& e = Push(BtGroup);
                e.A = slot;
                e.Pos = *pos;
                *pos = p;
                scan = scan->Next;
                continue;
            }
            const TInst* next = scan->Next;
            const uint8_t* op = scan->Op;
            const unsigned char c = (unsigned char)*p;
            const uint8_t kind = scan->Kind;
            switch (kind) {
            case END:
                m.GroupStart[0] = start;
                m.GroupEnd[0] = p;
                m.Depth = 0;
                m.Steps = steps;
                return true;
            case INPUT_START:
                if (p != m.InputStart) goto fail;
                break;
            case INPUT_END:
                if (c != 0) goto fail;
                break;
            case LINE_START:
                if (!AtLineStart(p)) goto fail;
                break;
            case LINE_END:
                if (!AtLineEnd(p)) goto fail;
                break;
            case ANY_CHAR:
                if (c == 0) goto fail;
                ++p;
                break;
            case ANY_BUT_LINE_BREAK:
                if (c == 0 || AtPairHead(p) || FLineSeparatorSet[c]) goto fail;
                ++p;
                break;
            case DIGIT:
                if (!IsDigitChar(char(c))) goto fail;
                ++p;
                break;
            case NOT_DIGIT:
                if (c == 0 || IsDigitChar(char(c))) goto fail;
                ++p;
                break;
            case LITERAL: {
                // The literal holds no NUL, so a match stops before the subject's end.
                if (c != op[0]) goto fail;
                for (int32_t i = 1; i < scan->Len; ++i)
                    if ((unsigned char)p[i] != op[i]) goto fail;
                p += scan->Len;
                break;
            }
            case LITERAL_CI: {
                for (int32_t i = 0; i < scan->Len; ++i) {
                    const unsigned char in = (unsigned char)p[i];
                    if (in != op[i] && in != FSet.Swap[op[i]]) goto fail;
                }
                p += scan->Len;
                break;
            }
            case SMALL_SET:
                if (c == 0 || (c != op[0] && c != op[1] && c != op[2])) goto fail;
                ++p;
                break;
            case SMALL_SET_NOT:
                if (c == 0 || c == op[0] || c == op[1] || c == op[2]) goto fail;
                ++p;
                break;
            case BIT_SET:
                if (c == 0 || !InSet(op, c)) goto fail;
                ++p;
                break;
            case BACKREF:
            case BACKREF_CI:
                if (!(p = MatchBackRef(scan, p))) goto fail;
                break;
            case WORD_BOUNDARY:
            case NOT_WORD_BOUNDARY: {
                const bool before = p > m.InputStart && IsWordChar(p[-1]);
                const bool after = c != 0 && IsWordChar(char(c));
                if ((before != after) != (kind == WORD_BOUNDARY)) goto fail;
                break;
            }
            case JUMP_BACK:
            case EMPTY:
            case SKIP:
                break;
            case ALT:
                if (scan->Choice) {
                    // A choice: a fresh visit of this state, which the memo may know.
                    const int slot = MemoSlotOf(scan);
                    if (slot >= 0) {
                        if (MemoTest(slot, p)) goto fail;
                        TBacktrack& e = Push(BtMemo);
                        e.A = slot;
                        e.Pos = p;
                    }
                    next = EnterAlternatives(scan, p);
                } else {
                    next = scan->Sub;  // a single alternative
                }
                break;
            case ZERO_OR_MORE: case ZERO_OR_MORE_LAZY: case ONE_OR_MORE: case ONE_OR_MORE_LAZY:
            case BRACES: case BRACES_LAZY:
                m.Steps = steps;
                p = EnterRepeat(scan, p);
                steps = m.Steps;
                if (!p) goto fail;
                break;
            case RUN_TO_LITERAL:
                for (;;) {
                    // The run ends right before the literal's first character (EnterRepeat
                    // takes no choice here); the literal is the next node, a step of its own.
                    m.Steps = steps;
                    if (scan->UpToAhead && MemoSlotOf(scan) < 0) {
                        // What EnterRepeat does for such a run, without its general paths.
                        const char* hit = NextByte(p, scan->Ahead);
                        const int64_t left = m.InputEnd - p;
                        const int64_t limit = left < scan->Max ? left : scan->Max;
                        const int64_t top = hit && hit - p < limit ? hit - p : limit;
                        p = top >= scan->Min && (unsigned char)p[top] == scan->Ahead ? p + top : nullptr;
                    } else {
                        p = EnterRepeat(scan, p);
                    }
                    steps = m.Steps;
                    if (!p) goto fail;
                    step(1);
                    const uint8_t* lit = next->Op;
                    for (int32_t i = 1; i < next->Len; ++i)
                        if ((unsigned char)p[i] != lit[i]) goto fail;
                    p += next->Len;
                    next = next->Next;
                    // Such runs often follow each other (">[^<]*<"): the next one runs here.
                    if (!next || next->Kind != RUN_TO_LITERAL) break;
                    scan = next;
                    step(scan->Cost);
                    next = scan->Next;
                }
                break;
            case LOOPENTRY: {
                const int d = m.LoopDepth + 1;
                if (d > MaxLoopDepth) Fail(reeLoopStackExceeded);
                TBacktrack& e = Push(BtLoopState);
                e.A = m.LoopDepth;
                e.B = d;
                e.C = m.LoopCounters[d];
                m.LoopDepth = d;
                m.LoopCounters[d] = 0;
                break;
            }
            case LOOP:
            case LOOP_LAZY: {
                const int d = m.LoopDepth;
                if (d <= 0) Fail(reeLoopWithoutEntry);
                const int32_t count = m.LoopCounters[d];
                const bool again = count < scan->Max;
                // Greedy: once more while it may, leaving as the choice; lazy: leave once
                // the minimum is done, once more as the choice.
                const bool iterate = count < scan->Min || (!scan->Lazy && again);
                if (count >= scan->Min && again) {
                    TBacktrack& choice = Push(iterate ? BtLoopLeave : BtLoopAgain);
                    choice.Node = scan;
                    choice.Pos = p;
                }
                next = LoopStep(scan, iterate);
                break;
            }
            default:
                Fail(reeMatchPrimMemoryCorruption);
            }
            scan = next;
        }

    fail:
        // ---- pop entries until a choice can go on ----
        for (;;) {
            if (m.Depth == 0) {
                // Nothing matches from Start: on to the next place a match may begin.
                if (FAnchoredAtStart || start == m.InputEnd || !(start = NextStart(start + 1, m.InputEnd))) {
                    m.Steps = steps;
                    return false;
                }
                begin();
                break;
            }
            TBacktrack& e = m.Stack[size_t(m.Depth - 1)];
            if (e.Kind == BtGroup) {
                // The most common entry, taken before the switch: a test predicts better
                // than the switch's jump.
                if (e.A < MaxGroups) m.GroupStart[e.A] = e.Pos;
                else m.GroupEnd[e.A - MaxGroups] = e.Pos;
                --m.Depth;
                continue;
            }
            switch (e.Kind) {
            case BtLoopState:
                m.LoopDepth = e.A;
                m.LoopCounters[e.B] = e.C;
                --m.Depth;
                continue;
            case BtMemo:
                MemoMark(e.A, e.Pos, e.Pos);
                --m.Depth;
                continue;
            case BtAlt: {
                const TInst* alt = e.Node;
                p = e.Pos;
                --m.Depth;
                scan = EnterAlternatives(alt, p);
                break;
            }
            case BtGreedy:
            case BtLazy:
                m.Steps = steps;
                p = ResumeRepeat(e);
                steps = m.Steps;
                if (!p) {
                    --m.Depth;
                    continue;
                }
                scan = e.Node->Next;
                break;
            case BtLoopLeave:
            case BtLoopAgain: {
                // The loop state is back to what it was at the LOOP instruction.
                const TInst* loop = e.Node;
                const bool leave = e.Kind == BtLoopLeave;
                p = e.Pos;
                --m.Depth;
                scan = LoopStep(loop, !leave);
                break;
            }
            default:
                Fail(reeMatchPrimMemoryCorruption);
            }
            // A choice goes on: that is a step too.
            step(1);
            break;
        }
    }
}
