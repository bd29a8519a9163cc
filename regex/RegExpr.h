// RegExpr: the regular-expression engine TRegExpr and its exception ERegExpr.
//
// A pattern given through SetExpression is compiled lazily, right before the next search,
// into a program: a byte array of linked nodes (RegExprNodes.h). The compiler
// (RegExprCompiler.cpp) parses the pattern twice, first only counting the program's size,
// then writing it into one allocation of exactly that size, and derives the search
// shortcuts (first character, anchoring, a required literal, the set of possible first
// characters). The matcher (RegExprMatcher.cpp) runs the program by backtracking from the
// start positions the shortcuts leave; the public operations live in RegExpr.cpp.
//
// Texts are byte strings; a pattern and a subject end at their first NUL byte. Positions
// given to and returned from callers are 1-based. Every failure is an ERegExpr raised by
// RaiseError; no operation returns an error code.
//
// Choices beyond the bare design: an empty Expression withdraws the pattern (the next
// search raises 1003); the matcher's recursion is bounded by the stack it takes (1016);
// an optional step bound (1017, off by default) caps backtracking for untrusted patterns;
// a repeated back-reference steps back by whole repetitions of the group text.
//
// Invariant: while an engine holds a program, that program was compiled from the current
// Expression with ProgramModifiers and the current character settings; every setter that
// changes what the compiler reads discards it.
#pragma once

#include "platform/rtl/SysUtils.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A failure of the engine: Code is one of the codes listed at TRegExpr::ErrorText, and
// PatternPos the 0-based pattern offset of a compile error (0 for execution errors).
class ERegExpr : public Exception {
public:
    ERegExpr(const std::string& message, int code, int patternPos)
        : Exception(message), Code(code), PatternPos(patternPos) {}

    int Code;        // the error code
    int PatternPos;  // ErrorPosition when the error was raised
};

// The function that gives a character's other-case form (itself when it has none).
using TRegExprCaseSwap = std::function<char(char)>;

// The standard case swap: the upper-case form, or the lower-case form when the character
// has no upper-case form. Case conversion is byte-wise ASCII (the system code page is
// UTF-8, so bytes >= 128 are parts of multibyte characters and are never altered).
char DefaultCaseSwap(char c);

// Unit-level defaults, read by every construction of a TRegExpr.
extern bool DefaultCaseInsensitive;             // modifier i, false
extern bool DefaultCyrillicRanges;              // modifier r, true
extern bool DefaultDotAll;                      // modifier s, true
extern bool DefaultGreedy;                      // modifier g, true
extern bool DefaultMultiLine;                   // modifier m, false
extern std::string DefaultSpaceCharacters;      // space, TAB, LF, CR, FF
extern std::string DefaultWordCharacters;       // digits, letters and '_'
extern std::string DefaultLineSeparatorChars;   // CR, LF
extern std::string DefaultLinePairedSeparator;  // CR, LF

class TRegExpr {
public:
    // Groups 0 (the whole match) to 14.
    static constexpr int MaxGroups = 15;
    // General loops ({n,m} and lazy quantifiers over groups) nested at one time.
    static constexpr int MaxLoopDepth = 10;
    // Machine stack the matcher's recursion may take per search; reaching it raises 1016
    // instead of overflowing the stack. Measured in bytes rather than levels, so that the
    // bound holds whatever the frames cost in a given build (a level is about 50-250 bytes
    // in an optimised build, several times that with sanitizers).
    static constexpr intptr_t MaxMatchStack = 2 * 1024 * 1024;

    TRegExpr();
    virtual ~TRegExpr();
    TRegExpr(const TRegExpr&) = delete;
    TRegExpr& operator=(const TRegExpr&) = delete;

    // ---- pattern and subject -------------------------------------------------------

    // The pattern, up to its first NUL. Assigning a different text discards the program;
    // compiling waits for the next search. Assigning the empty text leaves the engine as
    // if it never had a pattern: the next search raises 1003.
    const std::string& Expression() const { return FExpressionText; }
    void SetExpression(const std::string& pattern);

    // The subject, up to its first NUL; setting it clears the groups. Reading it before
    // one was ever set raises 1008.
    std::string InputString();
    void SetInputString(const std::string& text);

    // ---- searching -----------------------------------------------------------------

    // Sets the subject and searches it from its start; true when a match was found.
    bool Exec(const std::string& text);
    // Searches the current subject from the 1-based Offset. Raises 1003 without a pattern,
    // 1005 without a subject, 1006 for an offset below 1; compile errors as they arise.
    bool ExecPos(int offset = 1);
    // Searches on just after the current match (one further after an empty match).
    // Raises 1007 when there is no current match.
    bool ExecNext();

    // The text of group N (0 = the whole match) of the current match; empty when N is
    // outside 0..14 or the group did not take part.
    std::string GroupText(int n) const;
    // The 1-based position of group N in the subject and its length; -1 and 0 when the
    // group has no text.
    int GroupPos(int n) const;
    int GroupLen(int n) const;

    // ---- settings ------------------------------------------------------------------

    // Modifiers by index: 1 i, 2 r, 3 s, 4 g, 5 m, 6 x. Other indexes raise 1013.
    bool GetModifierFlag(int index) const;
    void SetModifierFlag(int index, bool on);

    // Two different characters forming one line break (CR LF by default), or the empty
    // text for none. Anything else raises 128.
    std::string LinePairedSeparator() const;
    void SetLinePairedSeparator(const std::string& pair);

    const std::string& SpaceCharacters() const { return FSpaceCharacters; }
    void SetSpaceCharacters(const std::string& chars);
    const std::string& WordCharacters() const { return FWordCharacters; }
    void SetWordCharacters(const std::string& chars);
    const std::string& LineSeparatorChars() const { return FLineSeparatorChars; }
    void SetLineSeparatorChars(const std::string& chars);
    const TRegExprCaseSwap& CaseSwap() const { return FCaseSwap; }
    void SetCaseSwap(const TRegExprCaseSwap& swap);

    // A bound on matcher steps per search (0, the default: none). Reaching it raises 1017;
    // it lets a caller that runs untrusted patterns cap exponential backtracking.
    int64_t MatchStepLimit() const { return FMatchStepLimit; }
    void SetMatchStepLimit(int64_t steps) { FMatchStepLimit = steps; }

    // ---- errors and state ----------------------------------------------------------

    // The 0-based parse position while compiling, else 0.
    int ErrorPosition() const;
    int LastErrorCode() const { return FLastErrorCode; }
    bool Compiled() const { return FCompiled; }

    // Raises ERegExpr with ErrorText(Code), plus " (pos N)" for compile codes below 1000.
    virtual void RaiseError(int code);
    // The text of an error code; "Unknown error" for codes without one.
    virtual std::string ErrorText(int code) const;

    // The compiled program and its shortcuts as text, one node per line, compiling first
    // when needed (for tests and diagnosis).
    std::string Dump();

private:
    using TSet = bool[256];

    // ---- public-operation helpers (RegExpr.cpp) ------------------------------------
    [[noreturn]] void Fail(int code);
    bool PrepareProgram();
    void DiscardProgram();
    void ClearGroups();

    // ---- compiler (RegExprCompiler.cpp) --------------------------------------------
    void CompileExpression();
    void RunPass(bool sizing);
    int ParseReg(bool group, int& flags);
    int ParseSequence(int& flags);
    int ParseQuantified(int& flags);
    int ParseAtom(int& flags);
    int ParseClass(int& flags);
    int ParseEscape(int& flags);
    int ParseLiteralRun(int& flags);
    int ParseSkip();
    bool ParseBraces(int& min, int& max);
    void ParseModifierLetters();
    char UnescapeChar();
    int ParseHexCode();
    void WrapQuantifier(char op, int atom, int atomFlags, int min, int max, bool lazy);
    void EmitLoop(int atom, int min, int max, bool lazy);
    int EmitSet(const bool* set, int count, bool negated);
    void AddClassChar(bool* set, int& count, unsigned char c);
    int AppendNode(uint8_t kind);
    void AppendByte(uint8_t b);
    void AppendInt(int32_t v);
    void InsertNode(uint8_t kind, int at, int size);
    void LinkTail(int p, int target);
    void LinkOperandTail(int p, int target);
    int NextNodePos(int p) const;
    void Reserve(int64_t bytes);
    void AnalyseShortcuts(int topFlags);
    void FillFirstChars(const uint8_t* node, int depth);

    // ---- matcher (RegExprMatcher.cpp) ----------------------------------------------
    bool Search(int offset);
    bool TryAt(const char* p);
    bool MatchPrim(const uint8_t* node);
    const uint8_t* MatchAlternatives(const uint8_t* alt);
    bool MatchRepeat(const uint8_t* node, const uint8_t* next);
    bool MatchLoopEntry(const uint8_t* next);
    bool MatchLoop(const uint8_t* node, const uint8_t* next);
    bool MatchBackRef(const uint8_t* node);
    int RegRepeat(const uint8_t* operand, int max, int& step);
    bool AtLineStart() const;
    bool AtLineEnd() const;
    bool AtPairHead(const char* p) const;
    bool IsWordChar(char c) const { return FWordSet[(unsigned char)c]; }

    // ---- matcher state -------------------------------------------------------------
    const char* FGroupStart[MaxGroups];  // group starts in FInputBuffer, or nullptr
    const char* FGroupEnd[MaxGroups];    // group ends (exclusive), or nullptr
    int32_t FLoopCounters[MaxLoopDepth + 1];  // iterations of the active loops, 1-based
    int32_t FLoopDepth = 0;              // number of active general loops
    uintptr_t FStackBase = 0;            // the machine stack's position when Search began
    int64_t FMatchSteps = 0;             // MatchPrim entries in this search
    int64_t FMatchStepLimit = 0;         // 0 = unbounded
    const char* FCursor = nullptr;       // input position while nodes run
    const char* FInputStart = nullptr;   // first character of the subject
    const char* FInputEnd = nullptr;     // the subject's terminating NUL

    // ---- search shortcuts ------------------------------------------------------------
    char FFirstChar = 0;                 // every match begins with it; 0 = unknown
    bool FAnchoredAtStart = false;       // the program begins with INPUT_START
    int FMustHave = -1;                  // program offset of a required literal, or -1
    int FMustHaveLen = 0;
    TSet FFirstCharSet;                  // possible first characters; NUL = end of subject

    // ---- compiler state ------------------------------------------------------------
    const char* FPatternStart = nullptr; // set only while compiling
    const char* FParsePos = nullptr;     // the parse cursor
    int FNextGroupNo = 1;                // number of the next capturing group
    bool FSizing = false;                // sizing pass: count bytes, write nothing
    int64_t FEmitPos = 0;                // write position (or count) in the program
    int64_t FProgramSize = 0;            // bytes counted by the sizing pass
    int FFillSteps = 0;                  // nodes visited by FillFirstChars

    // ---- owned data ------------------------------------------------------------------
    bool FCompiled = false;
    std::vector<uint8_t> FProgram;       // empty = no program
    bool FHasExpression = false;         // an ExpressionText exists
    std::string FExpressionText;
    bool FHasInput = false;              // an InputBuffer exists
    std::string FInputBuffer;            // NUL-terminated by std::string
    int FLastErrorCode = 0;

    // ---- settings --------------------------------------------------------------------
    uint32_t FModifiers = 0;             // what the user set
    uint32_t FCompileModifiers = 0;      // in force at the parse position
    uint32_t FProgramModifiers = 0;      // what the program was compiled with
    std::string FSpaceCharacters;
    std::string FWordCharacters;
    TRegExprCaseSwap FCaseSwap;
    std::string FLineSeparatorChars;
    bool FPairAssigned = false;
    char FPairHead = 0;
    char FPairTail = 0;
    TSet FLineSeparatorSet;              // rebuilt before every search
    TSet FWordSet;                       // members of WordCharacters
    unsigned char FSwap[256];            // FCaseSwap tabulated
};
