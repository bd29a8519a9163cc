// RegExprCode: decodes a byte program into the matcher's instruction array (see the
// header). Two walks over the program in node order: the first finds every node's
// offset, the second fills one instruction per node, turning links into pointers by a
// binary search over those offsets. Tested through the matcher's tests
// (tests/regex/RegExprMatchTest.cpp, the differential test against PCRE2).
#include "regex/RegExprCode.h"
#include "regex/RegExprNodes.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace regexpr {

namespace {

// The character every continuation from Node must begin with, or -1 when there is none
// to tell. Looks through nodes that take no characters and make no choice.
int AheadChar(const uint8_t* node) {
    for (int i = 0; node && i < 16; ++i) {
        const uint8_t k = Kind(node);
        if (k == LITERAL) return Operand(node)[0];
        if (IsOpen(k) || IsClose(k) || k == EMPTY || k == SKIP) {
            node = NextNode(node);
        } else if (k == ALT) {
            const uint8_t* next = NextNode(node);
            if (next && Kind(next) == ALT) return -1;
            node = Operand(node);  // a single alternative
        } else {
            return -1;
        }
    }
    return -1;
}

// Whether the single-character node Operand accepts C; true when that cannot be told
// (a back-reference).
bool Accepts(const uint8_t* operand, unsigned char c, const unsigned char* swap) {
    const uint8_t* op = Operand(operand);
    switch (Kind(operand)) {
    case ANY_CHAR: return c != 0;
    case LITERAL: return c == op[0];
    case LITERAL_CI: return c == op[0] || c == swap[op[0]];
    case DIGIT: return c >= '0' && c <= '9';
    case NOT_DIGIT: return c != 0 && !(c >= '0' && c <= '9');
    case SMALL_SET: return c == op[0] || c == op[1] || c == op[2];
    case SMALL_SET_NOT: return c != 0 && c != op[0] && c != op[1] && c != op[2];
    case BIT_SET: return c != 0 && InSet(op, c);
    default: return true;
    }
}

bool IsRepeat(uint8_t k) {
    return k == ZERO_OR_MORE || k == ZERO_OR_MORE_LAZY || k == ONE_OR_MORE || k == ONE_OR_MORE_LAZY ||
           k == BRACES || k == BRACES_LAZY;
}

// Fills a repeat's bounds, operand and continuation character.
void DecodeRepeat(TInst& in, const uint8_t* node, const uint8_t* operand, const unsigned char* swap) {
    const uint8_t k = Kind(node);
    in.Lazy = k == ZERO_OR_MORE_LAZY || k == ONE_OR_MORE_LAZY || k == BRACES_LAZY;
    in.Min = (k == ONE_OR_MORE || k == ONE_OR_MORE_LAZY) ? 1 : 0;
    in.Max = INT_MAX;
    if (k == BRACES || k == BRACES_LAZY) {
        in.Min = ReadInt(node + HeaderSize);
        in.Max = ReadInt(node + HeaderSize + 4);
    }
    in.Ahead = int16_t(AheadChar(NextNode(node)));
    in.AheadOutside = in.Ahead >= 0 && !Accepts(operand, (unsigned char)in.Ahead, swap);
}

// Whether In only passes on to its Next (or, for a single alternative, its Sub): it
// takes no character, tests nothing and changes nothing.
bool PassesOn(const TInst& in) {
    return in.Kind == EMPTY || in.Kind == SKIP || in.Kind == JUMP_BACK || (in.Kind == ALT && !in.Choice);
}

const TInst* PassedTo(const TInst& in) { return in.Kind == ALT ? in.Sub : in.Next; }

// Links every instruction that always goes on to its Next past the pass-on nodes that
// follow it (a few at most, so that a malformed cycle cannot hold the decoding).
void LinkPastPassOns(std::vector<TInst>& code) {
    for (TInst& in : code) {
        if (in.Kind != GROUP_MARK && !(PassesOn(in) && in.Kind != ALT)) continue;
        for (int i = 0; i < 8 && in.Next && PassesOn(*in.Next) && PassedTo(*in.Next); ++i) {
            in.Next = PassedTo(*in.Next);
            in.Cost += 1;
        }
    }
}

}  // namespace

std::vector<TInst> DecodeProgram(const std::vector<uint8_t>& program, const std::vector<int32_t>& memoNodes,
                                 const unsigned char* swap) {
    std::vector<TInst> code;
    if (program.size() < 2) return code;
    const uint8_t* begin = program.data();
    const uint8_t* end = begin + program.size();
    std::vector<int32_t> offsets;
    for (const uint8_t* p = begin + 1; p < end; p += NodeSize(p)) offsets.push_back(int32_t(p - begin));
    code.resize(offsets.size());
    auto at = [&](const uint8_t* node) -> const TInst* {
        if (!node) return nullptr;
        const auto it = std::lower_bound(offsets.begin(), offsets.end(), int32_t(node - begin));
        return it != offsets.end() && *it == node - begin ? &code[size_t(it - offsets.begin())] : nullptr;
    };
    for (size_t i = 0; i < offsets.size(); ++i) {
        const uint8_t* node = begin + offsets[i];
        TInst& in = code[i];
        const uint8_t k = Kind(node);
        in.Kind = k;
        in.Op = Operand(node);
        in.Next = at(NextNode(node));
        const auto memo = std::lower_bound(memoNodes.begin(), memoNodes.end(), offsets[i]);
        if (memo != memoNodes.end() && *memo == offsets[i]) in.Memo = int32_t(memo - memoNodes.begin());
        if (k == LITERAL || k == LITERAL_CI) {
            in.Len = int32_t(std::strlen(reinterpret_cast<const char*>(in.Op)));
        } else if (k == BACKREF || k == BACKREF_CI) {
            in.Arg = in.Op[0];
        } else if (IsOpen(k) || IsClose(k)) {
            // OPEN(n) is slot n and CLOSE(n) slot 15 + n, as CLOSE_BASE is OPEN_BASE + 15.
            in.Kind = GROUP_MARK;
            in.Arg = uint8_t(k - OPEN_BASE);
        } else if (k == ALT) {
            const uint8_t* next = NextNode(node);
            in.Sub = at(Operand(node));
            in.Choice = next && Kind(next) == ALT;
        } else if (IsRepeat(k)) {
            const uint8_t* operand = (k == BRACES || k == BRACES_LAZY) ? node + BracesHeaderSize : Operand(node);
            in.Sub = at(operand);
            DecodeRepeat(in, node, operand, swap);
            const uint8_t* next = NextNode(node);
            if (!in.Lazy && in.AheadOutside && next && Kind(next) == LITERAL) {
                in.Kind = RUN_TO_LITERAL;
                // A one-member negated set repeats its member to fill its operand.
                const uint8_t* set = Operand(operand);
                in.UpToAhead = Kind(operand) == SMALL_SET_NOT && set[0] == set[2] && set[0] == in.Ahead;
            }
        } else if (k == LOOP || k == LOOP_LAZY) {
            in.Min = ReadInt(node + HeaderSize);
            in.Max = ReadInt(node + HeaderSize + 4);
            in.Sub = at(node + ReadInt(node + HeaderSize + 8));
            in.Lazy = k == LOOP_LAZY;
        }
    }
    LinkPastPassOns(code);
    return code;
}

}  // namespace regexpr
