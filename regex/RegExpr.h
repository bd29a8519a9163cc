// RegExpr: the regular-expression engine TRegExpr and its exception ERegExpr.
//
// A pattern given through SetExpression is compiled lazily, right before the next search,
// into a program: a byte array of linked nodes (RegExprNodes.h). The compiler
// (RegExprCompiler.cpp) parses the pattern twice, first only counting the program's size,
// then writing it into one allocation of exactly that size, and derives the search
// shortcuts (first character, anchoring, a required literal, the set of possible first
// characters), then decodes it into fixed-size instructions (RegExprCode.h). The matcher
// (RegExprMatcher.cpp) runs those by backtracking from the start positions the shortcuts
// leave; the public operations live in RegExpr.cpp.
//
// Texts are byte strings; a pattern and a subject end at their first NUL byte. Positions
// given to and returned from callers are 1-based. Every failure is an ERegExpr raised by
// RaiseError; no operation returns an error code.
//
// Choices beyond the bare design: an empty Expression withdraws the pattern (the next
// search raises reeNoExpression); the matcher backtracks on a stack of its own in heap
// memory, bounded by MaxBacktrackEntries (reeMatchRecursionTooDeep), never on the machine
// stack; every search has a step budget, DefaultMatchStepLimit unless set otherwise
// (reeMatchStepLimitExceeded); OnMatchProgress hears long searches and may cancel them
// (reeMatchCancelled); a repeated back-reference steps back by whole repetitions of the
// group text.
//
// Bounded work: in a program without back-references, a search that has taken many steps
// starts remembering which states failed (an alternative or a repeat's continuations at a
// subject position, outside general loops), and never explores such a state again. The
// result is the same, since a state's failure depends only on the state; the work becomes
// at most proportional to those states, so the album patterns run in time linear in the
// subject whatever it holds.
//
// Invariant: while an engine holds a program, that program was compiled from the current
// Expression with ProgramModifiers and the current character settings; every setter that
// changes what the compiler reads discards it.
#pragma once

#include "platform/rtl/SysUtils.h"
#include "regex/RegExprCode.h"
#include "regex/RegExprErrors.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A failure of the engine: Code is one of the ree* codes (RegExprErrors.h), and
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
    // Entries the backtrack stack may hold in one search (32 bytes each, so 32 MB at
    // most): one per open choice, group position set and loop step on the path being
    // tried. Reaching it raises reeMatchRecursionTooDeep, on every thread and in every
    // build alike. A pattern such as "(a|b)*c" takes about three per character.
    static constexpr int64_t MaxBacktrackEntries = int64_t(1) << 20;
    // Steps a search may take unless SetMatchStepLimit says otherwise. A step is one node
    // the matcher runs or one choice it comes back to; a step takes a few nanoseconds,
    // so the budget ends any search within about a second.
    static constexpr int64_t DefaultMatchStepLimit = 200 * 1000 * 1000;
    // OnMatchProgress is called once per this many steps of a search.
    static constexpr int64_t MatchProgressSteps = 1 << 16;
    // Steps a search takes before it starts remembering failed states (see "Bounded
    // work" above): ordinary searches stay below it and never pay for the memo.
    static constexpr int64_t DefaultMemoAfterSteps = 20000;

    TRegExpr();
    virtual ~TRegExpr();
    TRegExpr(const TRegExpr&) = delete;
    TRegExpr& operator=(const TRegExpr&) = delete;

    // ---- pattern and subject -------------------------------------------------------

    // The pattern, up to its first NUL. Assigning a different text discards the program;
    // compiling waits for the next search. Assigning the empty text leaves the engine as
    // if it never had a pattern: the next search raises reeNoExpression.
    const std::string& Expression() const { return FExpressionText; }
    void SetExpression(const std::string& pattern);

    // The subject, up to its first NUL; setting it clears the groups. Reading it before
    // one was ever set raises reeGetInputStringWithoutInputString. Subjects are byte
    // strings shorter than 2 GB.
    std::string InputString();
    void SetInputString(const std::string& text);

    // ---- searching -----------------------------------------------------------------

    // Sets the subject and searches it from its start; true when a match was found.
    bool Exec(const std::string& text);
    // Searches the current subject from the 1-based Offset. Raises reeNoExpression
    // without a pattern, reeNoInputStringSpecified without a subject,
    // reeOffsetMustBeGreaterThen0 for an offset below 1, compile errors as they arise,
    // and while matching reeMatchRecursionTooDeep, reeMatchStepLimitExceeded,
    // reeMatchCancelled or reeLoopStackExceeded; after an error there is no current match.
    bool ExecPos(int offset = 1);
    // Searches on just after the current match (one further after an empty match).
    // Raises reeExecNextWithoutExec when there is no current match.
    bool ExecNext();

    // The text of group N (0 = the whole match) of the current match; empty when N is
    // outside 0..14 or the group did not take part.
    std::string GroupText(int n) const;
    // The 1-based position of group N in the subject and its length; -1 and 0 when the
    // group has no text.
    int GroupPos(int n) const;
    int GroupLen(int n) const;

    // ---- settings ------------------------------------------------------------------

    // Modifiers by index: 1 i, 2 r, 3 s, 4 g, 5 m, 6 x. Other indexes raise
    // reeModifierUnsupported.
    bool GetModifierFlag(int index) const;
    void SetModifierFlag(int index, bool on);

    // Two different characters forming one line break (CR LF by default), or the empty
    // text for none. Anything else raises reeBadLinePairedSeparator.
    std::string LinePairedSeparator() const;
    void SetLinePairedSeparator(const std::string& pair);

    const std::string& SpaceCharacters() const { return FSet.SpaceCharacters; }
    void SetSpaceCharacters(const std::string& chars);
    const std::string& WordCharacters() const { return FSet.WordCharacters; }
    void SetWordCharacters(const std::string& chars);
    const std::string& LineSeparatorChars() const { return FSet.LineSeparatorChars; }
    void SetLineSeparatorChars(const std::string& chars);
    const TRegExprCaseSwap& CaseSwap() const { return FSet.CaseSwap; }
    void SetCaseSwap(const TRegExprCaseSwap& swap);

    // The step budget of each search (DefaultMatchStepLimit unless set). Spending it
    // raises reeMatchStepLimitExceeded. A value of 0 or less restores the default.
    int64_t MatchStepLimit() const { return FSet.MatchStepLimit; }
    void SetMatchStepLimit(int64_t steps) { FSet.MatchStepLimit = steps > 0 ? steps : DefaultMatchStepLimit; }

    // When searches start remembering failed states (DefaultMemoAfterSteps unless set);
    // 0 makes every search remember from its first step, so that tests can compare the
    // results with and without the memo. A value below 0 restores the default.
    int64_t MemoAfterSteps() const { return FSet.MemoAfterSteps; }
    void SetMemoAfterSteps(int64_t steps) { FSet.MemoAfterSteps = steps >= 0 ? steps : DefaultMemoAfterSteps; }

    // Called on the searching thread once per MatchProgressSteps steps of a search (a few
    // hundred microseconds of matching), so that a caller can keep its interface alive or
    // give up: returning false ends the search with reeMatchCancelled. It must not use
    // this engine. Empty: not called.
    std::function<bool()> OnMatchProgress;

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

    // One entry of the backtrack stack: a choice to come back to, or a value to restore
    // when the path that changed it fails (RegExprMatcher.cpp).
    struct TBacktrack {
        const regexpr::TInst* Node;  // the instruction the entry belongs to
        const char* Pos;      // a subject position (or a saved group position)
        int32_t A, B, C;      // per kind: counts, slot numbers, saved values
        uint8_t Kind;         // what the entry is
        int8_t Slot;          // the failure memo slot of a repeat, or -1
        int16_t Ahead;        // the character a continuation must start with, or -1
    };

    // What the settings say; read by the compiler and the matcher, changed by setters.
    struct TSettings {
        uint32_t Modifiers = 0;          // what the user set
        std::string SpaceCharacters;
        std::string WordCharacters;
        TRegExprCaseSwap CaseSwap;
        std::string LineSeparatorChars;
        bool PairAssigned = false;
        char PairHead = 0;
        char PairTail = 0;
        TSet WordSet;                    // members of WordCharacters
        unsigned char Swap[256];         // CaseSwap tabulated
        int64_t MatchStepLimit = DefaultMatchStepLimit;
        int64_t MemoAfterSteps = DefaultMemoAfterSteps;
    };

    // The compiler's working state, meaningful only while compiling.
    struct TCompileState {
        const char* PatternStart = nullptr;  // set only while compiling
        const char* ParsePos = nullptr;      // the parse cursor
        uint32_t Modifiers = 0;              // in force at the parse position
        int NextGroupNo = 1;                 // number of the next capturing group
        bool Sizing = false;                 // sizing pass: count bytes, write nothing
        int64_t EmitPos = 0;                 // write position (or count) in the program
        int64_t ProgramSize = 0;             // bytes counted by the sizing pass
        int FillSteps = 0;                   // nodes visited by FillFirstChars
    };

    // The matcher's working state: the current match's groups and everything a search
    // needs while it runs.
    struct TMatchState {
        const char* GroupStart[MaxGroups];  // group starts in the subject, or nullptr
        const char* GroupEnd[MaxGroups];    // group ends (exclusive), or nullptr
        int32_t LoopCounters[MaxLoopDepth + 1];  // iterations of the active loops
        int32_t LoopDepth = 0;              // number of active general loops
        const char* InputStart = nullptr;   // first character of the subject
        const char* InputEnd = nullptr;     // the subject's terminating NUL
        std::vector<TBacktrack> Stack;      // the backtrack stack (its size is kept)
        int64_t StackSize = 0;              // Stack.size(), read at every push
        int64_t Depth = 0;                  // entries in use
        int64_t Steps = 0;                  // steps of this search
        int64_t NextCheck = 0;              // when StepCheck runs next
        int64_t NextProgress = 0;           // when OnMatchProgress is called next
        // Failure memo: one bit per subject position and slot, kept while the subject and
        // the program stay (their states fail alike in every search).
        bool MemoActive = false;
        int MemoSlots = 0;                  // slots that have bits (the first ones)
        int64_t MemoWords = 0;              // 64-bit words per slot
        std::vector<uint64_t> MemoBits;
        // The last occurrence found of a few bytes: looking for Byte from any position in
        // [From, Hit] finds Hit (nullptr: none up to the subject's end). Kept while the
        // subject stays.
        struct TFound {
            const char* From = nullptr;
            const char* Hit = nullptr;
            int Byte = -1;
        } Found[4];
    };

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
    void FindMemoNodes();
    bool AddFirstPairs(const uint8_t* node, int depth);

    // ---- matcher (RegExprMatcher.cpp) ----------------------------------------------
    bool Search(int offset);
    bool MatchFrom(const char* start);
    const char* NextStart(const char* p, const char* end) const;
    const char* FindPrefix(const char* from, const char* end) const;
    const char* FindFirstChar(const char* from, const char* end) const;
    bool FirstPairFits(const char* p) const {
        if (!FHasFirstPairs || *p == '\0') return true;
        const unsigned i = (unsigned char)p[0] * 256u + (unsigned char)p[1];
        return (FFirstPairs[i >> 6] >> (i & 63)) & 1;
    }
    const regexpr::TInst* EnterAlternatives(const regexpr::TInst* alt, const char* p);
    const regexpr::TInst* LoopStep(const regexpr::TInst* loop, bool iterate);
    const char* MatchBackRef(const regexpr::TInst* node, const char* p) const;
    int RegRepeat(const regexpr::TInst* operand, int max, int& step, const char* p);
    const char* EnterRepeat(const regexpr::TInst* rep, const char* p);
    const char* ResumeRepeat(TBacktrack& e);
    bool AtLineStart(const char* p) const;
    bool AtLineEnd(const char* p) const;
    bool AtPairHead(const char* p) const;
    bool IsWordChar(char c) const { return FSet.WordSet[(unsigned char)c]; }
    TBacktrack& Push(uint8_t kind);
    void GrowStack();
    void StepCheck();
    void ScheduleStepCheck();
    const char* NextByte(const char* from, int byte);
    int64_t LazyCandidate(const char* save, int64_t k, int64_t top, int step, int ahead);
    void ActivateMemo();
    int MemoSlotOf(const regexpr::TInst* in) const;
    bool MemoTest(int slot, const char* p) const;
    void MemoMark(int slot, const char* from, const char* to);

    // ---- search shortcuts (derived by the compiler) --------------------------------
    char FFirstChar = 0;                 // every match begins with it; 0 = unknown
    bool FAnchoredAtStart = false;       // the program begins with INPUT_START
    int FMustHave = -1;                  // program offset of a required literal, or -1
    int FMustHaveLen = 0;
    int FPrefix = -1;                    // program offset of the literal every match
    int FPrefixLen = 0;                  // starts with (2 characters or more), or -1
    TSet FFirstCharSet;                  // possible first characters; NUL = end of subject
    char FFirstChars[4] = {};            // the first-character set when it has 1 to 4
                                         // members, none NUL (repeated to fill); or 0s
    bool FHasFirstPairs = false;         // FFirstPairs says which two characters a match
    std::vector<uint64_t> FFirstPairs;   // may begin with (bit c0 * 256 + c1)
    TSet FLineSeparatorSet;              // members of LineSeparatorChars
    std::vector<int32_t> FMemoNodes;     // program offsets of the memo slots' nodes,
                                         // ascending; empty without a failure memo

    // ---- owned data ------------------------------------------------------------------
    bool FCompiled = false;
    std::vector<uint8_t> FProgram;       // empty = no program
    std::vector<regexpr::TInst> FCode;   // FProgram decoded for the matcher (RegExprCode.h)
    const regexpr::TInst* FEntry = nullptr;  // where every try starts (in FCode), or nullptr
    bool FEntryFound = false;            // FEntry is the literal NextStart finds
    uint32_t FProgramModifiers = 0;      // what the program was compiled with
    bool FHasExpression = false;         // an ExpressionText exists
    std::string FExpressionText;
    bool FHasInput = false;              // an InputBuffer exists
    std::string FInputBuffer;            // NUL-terminated by std::string
    int FLastErrorCode = 0;

    TSettings FSet;
    TCompileState FComp;
    TMatchState FMatch;
};
