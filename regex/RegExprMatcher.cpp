// RegExprMatcher: runs a compiled program against the subject by backtracking.
//
// Search picks the start positions (required literal, anchoring, first character,
// first-character set), TryAt runs the program at one of them, and MatchPrim walks the
// node chain. MatchPrim recurses only where it must be able to come back: alternatives
// with a choice (the last alternative continues in the same frame), groups (to restore
// their positions), repeats and loops; runs of plain nodes are walked in a loop.
//
// Invariants: the subject is NUL-terminated and holds no NUL before its end, so a test
// of the character at the cursor also tests for the end; a strategy that fails leaves
// the groups, the loop depth and the active loop counters as it found them; the
// recursion never takes more than TRegExpr::MaxMatchStack bytes of stack (error 1016). Tested by
// tests/regex/RegExprMatchTest.cpp and the differential test against PCRE2.
#include "regex/RegExpr.h"
#include "regex/RegExprNodes.h"

#include <climits>
#include <cstring>

using namespace regexpr;

namespace {

bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

uintptr_t StackPosition() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

// The counters of the active loops, saved around a repeat's continuation attempts.
struct LoopSnapshot {
    int32_t Counters[TRegExpr::MaxLoopDepth + 1];
    int32_t Depth;
};

}  // namespace

// ======================================================================================
// Search
// ======================================================================================

bool TRegExpr::Search(int offset) {
    ClearGroups();
    if (!PrepareProgram()) return false;
    if (!FHasInput) Fail(1005);
    const int64_t len = int64_t(FInputBuffer.size());
    if (offset < 1) Fail(1006);
    if (offset > len + 1) return false;
    const char* base = FInputBuffer.c_str();
    const char* end = base + len;
    const char* start = base + offset - 1;
    if (FMustHave >= 0 &&
        !memmem(start, size_t(end - start), FProgram.data() + FMustHave, size_t(FMustHaveLen)))
        return false;
    FInputStart = base;
    FInputEnd = end;
    FLoopDepth = 0;
    FStackBase = StackPosition();
    FMatchSteps = 0;
    if (FAnchoredAtStart) return TryAt(start);
    // A failed attempt leaves the groups as it found them (cleared), so no clearing is
    // needed between attempts.
    if (FFirstChar != 0) {
        for (const char* p = start; p < end; ++p) {
            p = static_cast<const char*>(std::memchr(p, FFirstChar, size_t(end - p)));
            if (!p) return false;
            if (TryAt(p)) return true;
        }
        return false;
    }
    for (const char* p = start;; ++p) {
        if (FFirstCharSet[(unsigned char)*p] && TryAt(p)) return true;
        if (p == end) return false;
    }
}

bool TRegExpr::TryAt(const char* p) {
    FCursor = p;
    if (!MatchPrim(FProgram.data() + 1)) return false;
    FGroupStart[0] = p;
    FGroupEnd[0] = FCursor;
    return true;
}

// ======================================================================================
// Node walk
// ======================================================================================

bool TRegExpr::AtPairHead(const char* p) const {
    return FPairAssigned && *p != '\0' && *p == FPairHead && p[1] == FPairTail;
}

bool TRegExpr::AtLineStart() const {
    if (FCursor == FInputStart) return true;
    const char prev = FCursor[-1];
    if (FPairAssigned && prev == FPairTail && FCursor - FInputStart >= 2 && FCursor[-2] == FPairHead)
        return true;
    if (FPairAssigned && prev == FPairHead && *FCursor == FPairTail) return false;
    return FLineSeparatorSet[(unsigned char)prev];
}

bool TRegExpr::AtLineEnd() const {
    const char c = *FCursor;
    if (c == '\0') return true;
    if (AtPairHead(FCursor)) return true;
    if (FPairAssigned && c == FPairTail && FCursor > FInputStart && FCursor[-1] == FPairHead)
        return false;
    return FLineSeparatorSet[(unsigned char)c];
}

bool TRegExpr::MatchPrim(const uint8_t* scan) {
    const uintptr_t here = StackPosition();
    if ((here < FStackBase ? FStackBase - here : here - FStackBase) > uintptr_t(MaxMatchStack))
        Fail(1016);
    if (FMatchStepLimit > 0 && ++FMatchSteps > FMatchStepLimit) Fail(1017);
    for (;;) {
        if (!scan) Fail(1002);
        const uint8_t* next = NextNode(scan);
        const uint8_t* op = Operand(scan);
        const unsigned char c = (unsigned char)*FCursor;
        switch (Kind(scan)) {
        case END:
            return true;
        case INPUT_START:
            if (FCursor != FInputStart) return false;
            break;
        case INPUT_END:
            if (c != 0) return false;
            break;
        case LINE_START:
            if (!AtLineStart()) return false;
            break;
        case LINE_END:
            if (!AtLineEnd()) return false;
            break;
        case ANY_CHAR:
            if (c == 0) return false;
            ++FCursor;
            break;
        case ANY_BUT_LINE_BREAK:
            if (c == 0 || AtPairHead(FCursor) || FLineSeparatorSet[c]) return false;
            ++FCursor;
            break;
        case DIGIT:
            if (!IsDigitChar(char(c))) return false;
            ++FCursor;
            break;
        case NOT_DIGIT:
            if (c == 0 || IsDigitChar(char(c))) return false;
            ++FCursor;
            break;
        case LITERAL: {
            // The literal holds no NUL, so a match stops before the subject's end.
            if (c != op[0]) return false;
            size_t i = 1;
            for (; op[i]; ++i)
                if ((unsigned char)FCursor[i] != op[i]) return false;
            FCursor += i;
            break;
        }
        case LITERAL_CI: {
            size_t i = 0;
            for (; op[i]; ++i) {
                const unsigned char in = (unsigned char)FCursor[i];
                if (in != op[i] && in != FSwap[op[i]]) return false;
            }
            FCursor += i;
            break;
        }
        case SMALL_SET:
            if (c == 0 || (c != op[0] && c != op[1] && c != op[2])) return false;
            ++FCursor;
            break;
        case SMALL_SET_NOT:
            if (c == 0 || c == op[0] || c == op[1] || c == op[2]) return false;
            ++FCursor;
            break;
        case BIT_SET:
            if (c == 0 || !InSet(op, c)) return false;
            ++FCursor;
            break;
        case BACKREF:
        case BACKREF_CI:
            if (!MatchBackRef(scan)) return false;
            break;
        case WORD_BOUNDARY:
        case NOT_WORD_BOUNDARY: {
            const bool before = FCursor > FInputStart && IsWordChar(FCursor[-1]);
            const bool after = c != 0 && IsWordChar(char(c));
            if ((before != after) != (Kind(scan) == WORD_BOUNDARY)) return false;
            break;
        }
        case JUMP_BACK:
        case EMPTY:
        case SKIP:
            break;
        case ALT:
            next = MatchAlternatives(scan);
            if (!next) return true;  // an earlier alternative matched to the end
            break;
        case ZERO_OR_MORE: case ZERO_OR_MORE_LAZY: case ONE_OR_MORE: case ONE_OR_MORE_LAZY:
        case BRACES: case BRACES_LAZY:
            return MatchRepeat(scan, next);
        case LOOPENTRY:
            return MatchLoopEntry(next);
        case LOOP:
        case LOOP_LAZY:
            return MatchLoop(scan, next);
        default: {
            const uint8_t kind = Kind(scan);
            const char** slot;
            if (IsOpen(kind)) slot = &FGroupStart[kind - OPEN_BASE];
            else if (IsClose(kind)) slot = &FGroupEnd[kind - CLOSE_BASE];
            else Fail(1001);
            const char* saved = *slot;
            *slot = FCursor;
            if (MatchPrim(next)) return true;
            *slot = saved;
            return false;
        }
        }
        scan = next;
    }
}

// An ALT node. Earlier alternatives of a choice are tried in frames of their own; the
// only or last alternative continues in the caller's frame, because its failure is the
// failure of the whole choice. Returns the node to go on with, or nullptr when an
// earlier alternative has matched to the end of the program.
const uint8_t* TRegExpr::MatchAlternatives(const uint8_t* alt) {
    const char* save = FCursor;
    for (;;) {
        const uint8_t* following = NextNode(alt);
        if (!following || Kind(following) != ALT) {
            FCursor = save;
            return Operand(alt);
        }
        if (MatchPrim(Operand(alt))) return nullptr;
        FCursor = save;
        alt = following;
    }
}

bool TRegExpr::MatchBackRef(const uint8_t* node) {
    const int n = Operand(node)[0];
    const char* s = FGroupStart[n];
    const char* e = FGroupEnd[n];
    // A group re-entered in a loop may have its new start after its old end.
    if (!s || !e || e < s) return false;
    const int64_t len = e - s;
    if (FInputEnd - FCursor < len) return false;
    if (Kind(node) == BACKREF) {
        if (std::memcmp(FCursor, s, size_t(len)) != 0) return false;
    } else {
        for (int64_t i = 0; i < len; ++i) {
            const unsigned char in = (unsigned char)FCursor[i];
            const unsigned char g = (unsigned char)s[i];
            if (in != g && in != FSwap[g]) return false;
        }
    }
    FCursor += len;
    return true;
}

// ======================================================================================
// Repeats of single operands
// ======================================================================================

// How many times (up to Max) the single-character Operand matches in a row from the
// cursor; moves the cursor past them. Step receives the characters per repetition
// (the group text's length for a back-reference, else 1).
int TRegExpr::RegRepeat(const uint8_t* operand, int max, int& step) {
    step = 1;
    const char* scan = FCursor;
    const int64_t left = FInputEnd - FCursor;
    const int limit = int(left < max ? left : max);
    const uint8_t* op = Operand(operand);
    int count = 0;
    auto run = [&](auto accepts) {
        while (count < limit && accepts((unsigned char)scan[count])) ++count;
    };
    switch (Kind(operand)) {
    case ANY_CHAR:
        count = limit;
        break;
    case LITERAL:
        run([&](unsigned char ch) { return ch == op[0]; });
        break;
    case LITERAL_CI:
        run([&](unsigned char ch) { return ch == op[0] || ch == FSwap[op[0]]; });
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
        run([&](unsigned char ch) { return ch != op[0] && ch != op[1] && ch != op[2]; });
        break;
    case BIT_SET:
        run([&](unsigned char ch) { return InSet(op, ch); });
        break;
    case BACKREF:
    case BACKREF_CI: {
        const char* s = FGroupStart[op[0]];
        const char* e = FGroupEnd[op[0]];
        if (!s || !e || e < s) return 0;
        step = int(e - s);
        // An empty group text repeats any number of times without moving.
        if (step == 0) return max;
        while (count < max && MatchBackRef(operand)) ++count;
        return count;  // MatchBackRef has moved the cursor
    }
    default:
        Fail(1000);
    }
    FCursor = scan + count;
    return count;
}

bool TRegExpr::MatchRepeat(const uint8_t* node, const uint8_t* next) {
    const uint8_t kind = Kind(node);
    const uint8_t* operand = Operand(node);
    int min = 0;
    int max = INT_MAX;
    if (kind == ONE_OR_MORE || kind == ONE_OR_MORE_LAZY) min = 1;
    if (kind == BRACES || kind == BRACES_LAZY) {
        min = ReadInt(node + HeaderSize);
        max = ReadInt(node + HeaderSize + 4);
        operand = node + BracesHeaderSize;
    }
    const bool lazy = kind == ZERO_OR_MORE_LAZY || kind == ONE_OR_MORE_LAZY || kind == BRACES_LAZY;
    // Lookahead: the continuation can only match where its literal's first character is.
    const bool look = next && Kind(next) == LITERAL;
    const char nextch = look ? char(Operand(next)[0]) : 0;
    const char* save = FCursor;
    int step = 1;
    int top = RegRepeat(operand, max, step);
    if (top < min) return false;
    if (step == 0) top = min;  // every count leaves the cursor at the same place

    LoopSnapshot snap;
    snap.Depth = FLoopDepth;
    std::memcpy(snap.Counters, FLoopCounters, sizeof(int32_t) * size_t(FLoopDepth + 1));
    auto attempt = [&](int64_t k) {
        FCursor = save + k * step;
        if (MatchPrim(next)) return true;
        FLoopDepth = snap.Depth;
        std::memcpy(FLoopCounters, snap.Counters, sizeof(int32_t) * size_t(snap.Depth + 1));
        return false;
    };
    if (lazy) {
        for (int64_t k = min; k <= top; ++k) {
            if (look && step == 1) {
                const void* p = std::memchr(save + k, nextch, size_t(top - k + 1));
                if (!p) return false;
                k = static_cast<const char*>(p) - save;
            } else if (look && save[k * step] != nextch) {
                continue;
            }
            if (attempt(k)) return true;
        }
        return false;
    }
    for (int64_t k = top; k >= min; --k) {
        if (look && step == 1) {
            const void* p = memrchr(save + min, nextch, size_t(k - min + 1));
            if (!p) return false;
            k = static_cast<const char*>(p) - save;
        } else if (look && save[k * step] != nextch) {
            continue;
        }
        if (attempt(k)) return true;
    }
    return false;
}

// ======================================================================================
// General loops
// ======================================================================================

bool TRegExpr::MatchLoopEntry(const uint8_t* next) {
    const int d = FLoopDepth + 1;
    if (d > MaxLoopDepth) Fail(1014);
    FLoopDepth = d;
    const char* save = FCursor;
    FLoopCounters[d] = 0;
    const bool result = MatchPrim(next);
    FLoopDepth = d - 1;
    if (!result) FCursor = save;
    return result;
}

bool TRegExpr::MatchLoop(const uint8_t* node, const uint8_t* next) {
    const int d = FLoopDepth;
    if (d <= 0) Fail(1015);
    const int32_t min = ReadInt(node + HeaderSize);
    const int32_t max = ReadInt(node + HeaderSize + 4);
    const uint8_t* body = node + ReadInt(node + HeaderSize + 8);
    const int32_t c = FLoopCounters[d];
    const char* save = FCursor;
    auto iterate = [&] {
        FLoopCounters[d] = c + 1;
        if (MatchPrim(body)) return true;
        FLoopDepth = d;
        FLoopCounters[d] = c;
        FCursor = save;
        return false;
    };
    auto leave = [&] {
        FLoopDepth = d - 1;
        if (MatchPrim(next)) return true;
        FLoopDepth = d;
        FLoopCounters[d] = c;
        FCursor = save;
        return false;
    };
    if (c < min) return iterate();
    if (Kind(node) == LOOP) return (c < max && iterate()) || leave();
    return leave() || (c < max && iterate());
}
