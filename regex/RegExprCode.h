// RegExprCode: the matcher's form of a compiled program, an array of fixed-size
// instructions decoded once from the byte program (RegExprNodes.h).
//
// The byte program is compact and is what the compiler writes, the shortcut analysis
// reads and Dump prints; walking it means decoding links and operands at every node. The
// matcher instead runs over TInst: one per node, in program order, with its links as
// pointers and what it would otherwise work out at every visit already worked out (a
// repeat's bounds, the character its continuation must begin with, a literal's length,
// a group's slot, the node's failure-memo slot). The decoding changes no meaning: every
// instruction does exactly what its node does.
//
// Invariant: the instructions point into the program they were decoded from and into
// their own array, so both are discarded together (TRegExpr::DiscardProgram).
#pragma once

#include "regex/RegExprNodes.h"

#include <cstdint>
#include <vector>

namespace regexpr {

// Instruction kinds of their own, right after the node kinds so that the matcher's
// switch stays one dense table:
// - GROUP_MARK: any OPEN(n) or CLOSE(n) node; Arg says which position it sets.
// - RUN_TO_LITERAL: a greedy repeat whose run cannot hold the first character of the
//   literal that follows it, so the run's end is the only place the literal may start;
//   the repeat and the literal run as one dispatch.
constexpr uint8_t GROUP_MARK = KIND_LIMIT;
constexpr uint8_t RUN_TO_LITERAL = KIND_LIMIT + 1;

struct TInst {
    uint8_t Kind = 0;           // the node's kind (NodeKind), GROUP_MARK or RUN_TO_LITERAL
    uint8_t Arg = 0;            // OPEN/CLOSE: the group slot (0..14 starts, 15..29 ends);
                                // BACKREF: the group number
    bool Lazy = false;          // a lazy repeat
    bool Choice = false;        // ALT: another alternative follows (a choice)
    bool AheadOutside = false;  // repeat: the operand never accepts Ahead, so only the
                                // end of its run can be followed
    bool UpToAhead = false;     // RUN_TO_LITERAL: the operand is "anything but Ahead", so
                                // the run ends at the next Ahead
    int16_t Ahead = -1;         // repeat: the character every continuation begins with, or -1
    int32_t Cost = 1;           // the steps running it counts: 1, plus the nodes that only
                                // pass on to the next one which its Next link skips
    int32_t Memo = -1;          // the failure-memo slot (index in the memo nodes), or -1
    int32_t Min = 0, Max = 0;   // repeat, LOOP: the bounds
    int32_t Len = 0;            // LITERAL, LITERAL_CI: the text's length
    const TInst* Next = nullptr;  // the next instruction; nullptr = none
    const TInst* Sub = nullptr;   // ALT: the alternative's first instruction; repeat: its
                                  // operand; LOOP: the loop body
    const uint8_t* Op = nullptr;  // the node's operand bytes in the program
};

// Decodes Program (signature byte first). A node that always goes on to its next one
// (a group mark, an empty node, a single alternative) links past the nodes after it that
// only pass on, counting their steps in its Cost: they would run right after it, so the
// count of steps stays the same at every node that can fail or choose. MemoNodes are the program offsets of the memo
// slots' nodes, ascending; Swap is the tabulated case swap the program was compiled with.
// The first instruction is the program's first node.
std::vector<TInst> DecodeProgram(const std::vector<uint8_t>& program, const std::vector<int32_t>& memoNodes,
                                 const unsigned char* swap);

}  // namespace regexpr
