// RegExpr: the public operations of TRegExpr: construction and settings, the lazy
// compilation that ties a search to the compiler, the searches, group texts, error texts
// and the program dump. The compiler and matcher are in RegExprCompiler.cpp and
// RegExprMatcher.cpp. Tested by tests/regex/RegExprApiTest.cpp.
#include "regex/RegExpr.h"
#include "regex/RegExprNodes.h"

#include <cstdio>
#include <cstring>

using namespace regexpr;

// ======================================================================================
// Unit-level defaults
// ======================================================================================

bool DefaultCaseInsensitive = false;
bool DefaultCyrillicRanges = true;
bool DefaultDotAll = true;
bool DefaultGreedy = true;
bool DefaultMultiLine = false;
std::string DefaultSpaceCharacters = " \t\n\r\f";
std::string DefaultWordCharacters = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
std::string DefaultLineSeparatorChars = "\r\n";
std::string DefaultLinePairedSeparator = "\r\n";

char DefaultCaseSwap(char c) {
    const char upper = CharUpper(c);
    return upper != c ? upper : CharLower(c);
}

namespace {

std::string UpToNul(const std::string& text) {
    const size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

}  // namespace

// ======================================================================================
// Construction and settings
// ======================================================================================

TRegExpr::TRegExpr() {
    ClearGroups();
    std::memset(FMatch.LoopCounters, 0, sizeof FMatch.LoopCounters);
    std::memset(FSet.WordSet, 0, sizeof FSet.WordSet);
    std::memset(FFirstCharSet, 0, sizeof FFirstCharSet);
    std::memset(FLineSeparatorSet, 0, sizeof FLineSeparatorSet);
    SetModifierFlag(1, DefaultCaseInsensitive);
    SetModifierFlag(2, DefaultCyrillicRanges);
    SetModifierFlag(3, DefaultDotAll);
    SetModifierFlag(4, DefaultGreedy);
    SetModifierFlag(5, DefaultMultiLine);
    SetSpaceCharacters(DefaultSpaceCharacters);
    SetWordCharacters(DefaultWordCharacters);
    SetCaseSwap(DefaultCaseSwap);
    SetLineSeparatorChars(DefaultLineSeparatorChars);
    SetLinePairedSeparator(DefaultLinePairedSeparator);
}

TRegExpr::~TRegExpr() = default;

void TRegExpr::SetExpression(const std::string& pattern) {
    const std::string text = UpToNul(pattern);
    if (FHasExpression && text == FExpressionText && FCompiled) return;
    FCompiled = false;
    if (pattern.empty()) {
        // No pattern at all: the next search reports 1003 rather than reusing the last
        // program for a text the caller has withdrawn.
        FHasExpression = false;
        FExpressionText.clear();
    } else {
        FHasExpression = true;
        FExpressionText = text;
    }
    DiscardProgram();
}

std::string TRegExpr::InputString() {
    if (!FHasInput) Fail(reeGetInputStringWithoutInputString);
    return FInputBuffer;
}

// std::string keeps its capacity, so a subject of the same (or smaller) length reuses
// the buffer; the copy ends at the first NUL, which stpncpy finds in the same pass (a
// subject is often a whole page, read once more here for every search of it).
void TRegExpr::SetInputString(const std::string& text) {
    ClearGroups();
    FInputBuffer.resize(text.size());
    char* buffer = &FInputBuffer[0];
    FInputBuffer.resize(size_t(stpncpy(buffer, text.data(), text.size()) - buffer));
    FHasInput = true;
    FMatch.MemoActive = false;  // what failed in the old subject says nothing of the new
    for (auto& f : FMatch.Found) f = TMatchState::TFound();
}

bool TRegExpr::GetModifierFlag(int index) const {
    if (index < 1 || index > 6) const_cast<TRegExpr*>(this)->Fail(reeModifierUnsupported);
    return FSet.Modifiers & (1u << (index - 1));
}

// Only Modifiers change; the next search recompiles because they then differ from
// the program's.
void TRegExpr::SetModifierFlag(int index, bool on) {
    if (index < 1 || index > 6) Fail(reeModifierUnsupported);
    const uint32_t bit = 1u << (index - 1);
    FSet.Modifiers = on ? (FSet.Modifiers | bit) : (FSet.Modifiers & ~bit);
}

std::string TRegExpr::LinePairedSeparator() const {
    return FSet.PairAssigned ? std::string{FSet.PairHead, FSet.PairTail} : std::string();
}

void TRegExpr::SetLinePairedSeparator(const std::string& pair) {
    if (pair.size() == 2) {
        if (pair[0] == pair[1]) Fail(reeBadLinePairedSeparator);
        if (FSet.PairAssigned && FSet.PairHead == pair[0] && FSet.PairTail == pair[1]) return;
        FSet.PairHead = pair[0];
        FSet.PairTail = pair[1];
        FSet.PairAssigned = true;
        DiscardProgram();
    } else if (pair.empty()) {
        if (!FSet.PairAssigned) return;
        FSet.PairAssigned = false;
        DiscardProgram();
    } else {
        Fail(reeBadLinePairedSeparator);
    }
}

// The character settings below are read by the compiler (classes, anchors, case
// folding), so changing one discards the program: the next search compiles with it.
void TRegExpr::SetSpaceCharacters(const std::string& chars) {
    FSet.SpaceCharacters = chars;
    DiscardProgram();
}

void TRegExpr::SetWordCharacters(const std::string& chars) {
    FSet.WordCharacters = chars;
    std::memset(FSet.WordSet, 0, sizeof FSet.WordSet);
    for (char c : chars) FSet.WordSet[(unsigned char)c] = c != '\0';
    DiscardProgram();
}

void TRegExpr::SetLineSeparatorChars(const std::string& chars) {
    FSet.LineSeparatorChars = chars;
    DiscardProgram();
}

// The swap is tabulated once; a swap that would turn a character into NUL keeps it,
// since a NUL in the subject marks its end.
void TRegExpr::SetCaseSwap(const TRegExprCaseSwap& swap) {
    FSet.CaseSwap = swap ? swap : TRegExprCaseSwap(DefaultCaseSwap);
    for (int c = 0; c < 256; ++c) {
        const unsigned char s = (unsigned char)FSet.CaseSwap(char(c));
        FSet.Swap[c] = s == 0 ? (unsigned char)c : s;
    }
    DiscardProgram();
}

// ======================================================================================
// Searching
// ======================================================================================

bool TRegExpr::Exec(const std::string& text) {
    SetInputString(text);
    return ExecPos(1);
}

bool TRegExpr::ExecPos(int offset) { return Search(offset); }

bool TRegExpr::ExecNext() {
    if (!FMatch.GroupStart[0] || !FMatch.GroupEnd[0]) Fail(reeExecNextWithoutExec);
    int offset = int(FMatch.GroupEnd[0] - FInputBuffer.c_str()) + 1;
    if (FMatch.GroupEnd[0] == FMatch.GroupStart[0]) ++offset;
    return ExecPos(offset);
}

std::string TRegExpr::GroupText(int n) const {
    if (n < 0 || n >= MaxGroups || !FHasInput) return std::string();
    const char* s = FMatch.GroupStart[n];
    const char* e = FMatch.GroupEnd[n];
    if (!s || !e || e < s) return std::string();
    return std::string(s, size_t(e - s));
}

int TRegExpr::GroupPos(int n) const {
    if (n < 0 || n >= MaxGroups || !FMatch.GroupStart[n] || !FMatch.GroupEnd[n] || FMatch.GroupEnd[n] < FMatch.GroupStart[n])
        return -1;
    return int(FMatch.GroupStart[n] - FInputBuffer.c_str()) + 1;
}

int TRegExpr::GroupLen(int n) const {
    if (n < 0 || n >= MaxGroups || !FMatch.GroupStart[n] || !FMatch.GroupEnd[n] || FMatch.GroupEnd[n] < FMatch.GroupStart[n])
        return 0;
    return int(FMatch.GroupEnd[n] - FMatch.GroupStart[n]);
}

// Every search begins here. The groups are copied from a table of nulls: compilers turn
// that into a few vector moves, where a clearing loop becomes a string instruction.
void TRegExpr::ClearGroups() {
    static const char* const none[MaxGroups] = {};
    std::memcpy(FMatch.GroupStart, none, sizeof FMatch.GroupStart);
    std::memcpy(FMatch.GroupEnd, none, sizeof FMatch.GroupEnd);
}

// The first step of every search after the groups are cleared: makes sure a program for
// the current settings exists, compiling when needed.
bool TRegExpr::PrepareProgram() {
    if (FSet.Modifiers != FProgramModifiers) DiscardProgram();
    if (FProgram.empty()) {
        if (!FHasExpression) Fail(reeNoExpression);
        CompileExpression();
    }
    if (FProgram.empty()) return false;
    if (FProgram[0] != ProgramSignature) Fail(reeCorruptedProgram);
    return true;
}

void TRegExpr::DiscardProgram() {
    FProgram.clear();
    FCode.clear();
    FEntry = nullptr;
    FEntryFound = false;
    FMustHave = -1;
    FMustHaveLen = 0;
    FPrefix = -1;
    FPrefixLen = 0;
    FMemoNodes.clear();
    std::memset(FFirstChars, 0, sizeof FFirstChars);
    FHasFirstPairs = false;
    FMatch.MemoActive = false;
}

// ======================================================================================
// Errors
// ======================================================================================

int TRegExpr::ErrorPosition() const {
    return (FComp.PatternStart && FComp.ParsePos) ? int(FComp.ParsePos - FComp.PatternStart) : 0;
}

void TRegExpr::RaiseError(int code) {
    FLastErrorCode = code;
    std::string message = ErrorText(code);
    if (code < reeRegRepeatCalledInappropriately) message += " (pos " + IntToStr(ErrorPosition()) + ")";
    throw ERegExpr(message, code, ErrorPosition());
}

// RaiseError is virtual; should an override return, the error is raised all the same,
// because no caller can go on after it.
void TRegExpr::Fail(int code) {
    RaiseError(code);
    std::string message = ErrorText(code);
    if (code < reeRegRepeatCalledInappropriately) message += " (pos " + IntToStr(ErrorPosition()) + ")";
    throw ERegExpr(message, code, ErrorPosition());
}

std::string TRegExpr::ErrorText(int code) const {
    switch (code) {
    case reeOk: return "No errors";
    case reeCompNullArgument: return "TRegExpr(comp): Null Argument";
    case reeCompRegexpTooBig: return "TRegExpr(comp): Regexp Too Big";
    case reeCompParseRegTooManyBrackets: return "TRegExpr(comp): ParseReg Too Many ()";
    case reeCompParseRegUnmatchedBrackets: return "TRegExpr(comp): ParseReg Unmatched ()";
    case reeCompParseRegUnmatchedBrackets2: return "TRegExpr(comp): ParseReg Unmatched ()";
    case reeCompParseRegJunkOnEnd: return "TRegExpr(comp): ParseReg Junk On End";
    case reePlusStarOperandCouldBeEmpty: return "TRegExpr(comp): *+ Operand Could Be Empty";
    case reeNestedSQP: return "TRegExpr(comp): Nested *?+";
    case reeBadHexDigit: return "TRegExpr(comp): Bad Hex Digit";
    case reeInvalidRange: return "TRegExpr(comp): Invalid [] Range";
    case reeParseAtomTrailingBackSlash: return "TRegExpr(comp): Parse Atom Trailing \\";
    case reeNoHexCodeAfterBSlashX: return "TRegExpr(comp): No Hex Code After \\x";
    case reeHexCodeAfterBSlashXTooBig: return "TRegExpr(comp): Hex Code After \\x Is Too Big";
    case reeUnmatchedSqBrackets: return "TRegExpr(comp): Unmatched []";
    case reeInternalUrp: return "TRegExpr(comp): Internal Urp";
    case reeQPSBFollowsNothing: return "TRegExpr(comp): ?+*{ Follows Nothing";
    case reeTrailingBackSlash: return "TRegExpr(comp): Trailing \\";
    case reeRarseAtomInternalDisaster: return "TRegExpr(comp): RarseAtom Internal Disaster";
    case reeBRACESArgTooBig: return "TRegExpr(comp): BRACES Argument Too Big";
    case reeBracesMinParamGreaterMax: return "TRegExpr(comp): BRACE Min Param Greater then Max";
    case reeUnclosedComment: return "TRegExpr(comp): Unclosed (?#Comment)";
    case reeComplexBracesNotImplemented:
        return "TRegExpr(comp): If you want take part in beta-testing BRACES '{min,max}' and "
               "non-greedy ops '*?', '+?', '?\?' for complex cases - remove '.' from "
               "{.$DEFINE ComplexBraces}";
    case reeUrecognizedModifier: return "TRegExpr(comp): Urecognized Modifier";
    case reeBadLinePairedSeparator:
        return "TRegExpr(comp): LinePairedSeparator must countain two different chars or no "
               "chars at all";
    case reeRegRepeatCalledInappropriately: return "TRegExpr(exec): RegRepeat Called Inappropriately";
    case reeMatchPrimMemoryCorruption: return "TRegExpr(exec): MatchPrim Memory Corruption";
    case reeMatchPrimCorruptedPointers: return "TRegExpr(exec): MatchPrim Corrupted Pointers";
    case reeNoExpression: return "TRegExpr(exec): Not Assigned Expression Property";
    case reeCorruptedProgram: return "TRegExpr(exec): Corrupted Program";
    case reeNoInputStringSpecified: return "TRegExpr(exec): No Input String Specified";
    case reeOffsetMustBeGreaterThen0: return "TRegExpr(exec): Offset Must Be Greater Then 0";
    case reeExecNextWithoutExec: return "TRegExpr(exec): ExecNext Without Exec[Pos]";
    case reeGetInputStringWithoutInputString: return "TRegExpr(exec): GetInputString Without InputString";
    case reeDumpCorruptedOpcode: return "TRegExpr(dump): Corrupted Opcode";
    case reeLoopStackExceeded: return "TRegExpr(exec): Loop Stack Exceeded";
    case reeLoopWithoutEntry: return "TRegExpr(exec): Loop Without LoopEntry !";
    case reeMatchRecursionTooDeep: return "TRegExpr(exec): Match Recursion Too Deep";
    case reeMatchStepLimitExceeded: return "TRegExpr(exec): Match Step Limit Exceeded";
    case reeMatchCancelled: return "TRegExpr(exec): Match Cancelled";
    case reeBadPCodeImported: return "TRegExpr(misc): Bad p-code imported";
    default: return "Unknown error";
    }
}

// ======================================================================================
// Dump
// ======================================================================================

namespace {

const char* KindName(uint8_t k) {
    static const char* const names[] = {
        "?", "END", "INPUT_START", "INPUT_END", "LINE_START", "LINE_END", "ANY_CHAR",
        "ANY_BUT_LINE_BREAK", "DIGIT", "NOT_DIGIT", "LITERAL", "LITERAL_CI", "SMALL_SET",
        "SMALL_SET_NOT", "BIT_SET", "BACKREF", "BACKREF_CI", "WORD_BOUNDARY",
        "NOT_WORD_BOUNDARY", "ALT", "JUMP_BACK", "EMPTY", "SKIP", "ZERO_OR_MORE",
        "ZERO_OR_MORE_LAZY", "ONE_OR_MORE", "ONE_OR_MORE_LAZY", "BRACES", "BRACES_LAZY",
        "LOOPENTRY", "LOOP", "LOOP_LAZY"};
    return k < sizeof names / sizeof *names ? names[k] : "?";
}

std::string Printable(unsigned char c) {
    if (c >= 33 && c < 127) return std::string(1, char(c));
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", c);
    return buf;
}

}  // namespace

// Nodes in program order, each as KIND or KIND(operand), separated by blanks; then a
// line with the shortcuts.
std::string TRegExpr::Dump() {
    if (!PrepareProgram()) return std::string();
    std::string out;
    const uint8_t* p = FProgram.data() + 1;
    const uint8_t* end = FProgram.data() + FProgram.size();
    while (p < end) {
        const uint8_t k = Kind(p);
        const uint8_t* op = Operand(p);
        if (!out.empty()) out += ' ';
        if (IsOpen(k)) out += "OPEN" + IntToStr(k - OPEN_BASE);
        else if (IsClose(k)) out += "CLOSE" + IntToStr(k - CLOSE_BASE);
        else out += KindName(k);
        switch (k) {
        case LITERAL: case LITERAL_CI: {
            const size_t len = std::strlen(reinterpret_cast<const char*>(op));
            out += "(";
            for (size_t i = 0; i < len; ++i) out += Printable(op[i]);
            out += ")";
            break;
        }
        case SMALL_SET: case SMALL_SET_NOT:
            out += "(" + Printable(op[0]) + Printable(op[1]) + Printable(op[2]) + ")";
            break;
        case BIT_SET: {
            int members = 0;
            for (int c = 0; c < 256; ++c) members += InSet(op, (unsigned char)c);
            out += "(" + IntToStr(members) + ")";
            break;
        }
        case BACKREF: case BACKREF_CI:
            out += IntToStr(op[0]);
            break;
        case BRACES: case BRACES_LAZY: case LOOP: case LOOP_LAZY:
            out += "{" + IntToStr(ReadInt(op)) + "," + IntToStr(ReadInt(op + 4)) + "}";
            break;
        default:
            break;
        }
        p += NodeSize(p);
    }
    out += "\nFirstChar=" + (FFirstChar ? Printable((unsigned char)FFirstChar) : std::string("-"));
    out += std::string(" Anchored=") + (FAnchoredAtStart ? "1" : "0");
    out += " MustHave=";
    if (FMustHave < 0) out += "-";
    else for (int i = 0; i < FMustHaveLen; ++i) out += Printable(FProgram[size_t(FMustHave + i)]);
    int members = 0;
    std::string set;
    for (int c = 0; c < 256; ++c)
        if (FFirstCharSet[c]) { ++members; set += Printable((unsigned char)c); }
    out += " FirstCharSet=" + (members == 256 ? std::string("all") : set);
    return out;
}
