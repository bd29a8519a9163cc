// RegExprNodes: the layout of a compiled program, shared by compiler and matcher.
//
// Byte 0 of a program is the signature; the nodes follow. Every node starts with a 5-byte
// header: its kind (1 byte) and its next link (signed 32-bit, the byte distance from this
// node's first byte to the next node's; 0 = no next node; loops link backwards). Operands
// follow the header (see the table at each kind). Integers are stored in host byte order:
// a program never leaves the engine that compiled it.
#pragma once

#include <cstdint>
#include <cstring>

namespace regexpr {

constexpr uint8_t ProgramSignature = 216;

enum NodeKind : uint8_t {
    END = 1,             // the match succeeds
    INPUT_START,         // empty, at the subject's first character
    INPUT_END,           // empty, at the subject's end
    LINE_START,          // empty, at the start or after a line break
    LINE_END,            // empty, at the end or before a line break
    ANY_CHAR,            // any one character
    ANY_BUT_LINE_BREAK,  // any one character but a line break
    DIGIT,               // '0'..'9'
    NOT_DIGIT,           // anything else
    LITERAL,             // operand: NUL-terminated text
    LITERAL_CI,          // the same, ignoring case
    SMALL_SET,           // operand: 3 characters, one must match
    SMALL_SET_NOT,       // operand: 3 characters, none may match
    BIT_SET,             // operand: 32-byte set
    BACKREF,             // operand: group number byte
    BACKREF_CI,          // the same, ignoring case
    WORD_BOUNDARY,       // empty, between word and non-word
    NOT_WORD_BOUNDARY,   // empty, elsewhere
    ALT,                 // operand: the alternative's first node
    JUMP_BACK,           // empty; the link closes a loop
    EMPTY,               // empty
    SKIP,                // empty; comments, modifier groups, extended-mode blanks
    ZERO_OR_MORE,        // operand: one single-character node
    ZERO_OR_MORE_LAZY,
    ONE_OR_MORE,
    ONE_OR_MORE_LAZY,
    BRACES,              // operand: min (32-bit), max (32-bit), single-character node
    BRACES_LAZY,
    LOOPENTRY,           // starts a general loop; links to its LOOP node
    LOOP,                // operand: min, max, back offset to the loop body (32-bit each)
    LOOP_LAZY,
    OPEN_BASE,           // OPEN(n) is OPEN_BASE + n, n = 1..14
    CLOSE_BASE = OPEN_BASE + 15,  // CLOSE(n) is CLOSE_BASE + n
    KIND_LIMIT = CLOSE_BASE + 15  // first value that is no node kind
};

constexpr int HeaderSize = 5;        // kind + link
constexpr int BracesHeaderSize = 13; // kind + link + min + max
constexpr int LoopNodeSize = 17;     // kind + link + min + max + back offset
constexpr int32_t MaxRepeat = 2147483646;  // the maximum of an open quantifier

inline int32_t ReadInt(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void WriteInt(uint8_t* p, int32_t v) { std::memcpy(p, &v, sizeof v); }

inline uint8_t Kind(const uint8_t* node) { return node[0]; }
inline const uint8_t* Operand(const uint8_t* node) { return node + HeaderSize; }
inline const uint8_t* NextNode(const uint8_t* node) {
    int32_t link = ReadInt(node + 1);
    return link == 0 ? nullptr : node + link;
}
inline bool IsOpen(uint8_t k) { return k > OPEN_BASE && k < CLOSE_BASE; }
inline bool IsClose(uint8_t k) { return k > CLOSE_BASE && k < KIND_LIMIT; }
inline bool InSet(const uint8_t* bits, unsigned char c) { return (bits[c >> 3] >> (c & 7)) & 1; }

// The bytes a node takes in the program, operands included (for walking a program in
// order, as the dump and the memo analysis do).
inline int NodeSize(const uint8_t* node) {
    switch (Kind(node)) {
    case LITERAL: case LITERAL_CI:
        return HeaderSize + int(std::strlen(reinterpret_cast<const char*>(Operand(node)))) + 1;
    case SMALL_SET: case SMALL_SET_NOT: return HeaderSize + 3;
    case BIT_SET: return HeaderSize + 32;
    case BACKREF: case BACKREF_CI: return HeaderSize + 1;
    case BRACES: case BRACES_LAZY: return BracesHeaderSize;
    case LOOP: case LOOP_LAZY: return LoopNodeSize;
    default: return HeaderSize;
    }
}

}  // namespace regexpr
