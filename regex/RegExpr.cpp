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
    std::memset(FLoopCounters, 0, sizeof FLoopCounters);
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
    if (!FHasInput) Fail(1008);
    return FInputBuffer;
}

// std::string keeps its capacity, so a subject of the same (or smaller) length reuses
// the buffer; the copy ends at the first NUL.
void TRegExpr::SetInputString(const std::string& text) {
    ClearGroups();
    const size_t nul = text.find('\0');
    FInputBuffer.assign(text.data(), nul == std::string::npos ? text.size() : nul);
    FHasInput = true;
}

bool TRegExpr::GetModifierFlag(int index) const {
    if (index < 1 || index > 6) const_cast<TRegExpr*>(this)->Fail(1013);
    return FModifiers & (1u << (index - 1));
}

// Only Modifiers change; the next search recompiles because they then differ from
// the program's.
void TRegExpr::SetModifierFlag(int index, bool on) {
    if (index < 1 || index > 6) Fail(1013);
    const uint32_t bit = 1u << (index - 1);
    FModifiers = on ? (FModifiers | bit) : (FModifiers & ~bit);
}

std::string TRegExpr::LinePairedSeparator() const {
    return FPairAssigned ? std::string{FPairHead, FPairTail} : std::string();
}

void TRegExpr::SetLinePairedSeparator(const std::string& pair) {
    if (pair.size() == 2) {
        if (pair[0] == pair[1]) Fail(128);
        if (FPairAssigned && FPairHead == pair[0] && FPairTail == pair[1]) return;
        FPairHead = pair[0];
        FPairTail = pair[1];
        FPairAssigned = true;
        DiscardProgram();
    } else if (pair.empty()) {
        if (!FPairAssigned) return;
        FPairAssigned = false;
        DiscardProgram();
    } else {
        Fail(128);
    }
}

// The character settings below are read by the compiler (classes, anchors, case
// folding), so changing one discards the program: the next search compiles with it.
void TRegExpr::SetSpaceCharacters(const std::string& chars) {
    FSpaceCharacters = chars;
    DiscardProgram();
}

void TRegExpr::SetWordCharacters(const std::string& chars) {
    FWordCharacters = chars;
    std::memset(FWordSet, 0, sizeof FWordSet);
    for (char c : chars) FWordSet[(unsigned char)c] = c != '\0';
    DiscardProgram();
}

void TRegExpr::SetLineSeparatorChars(const std::string& chars) {
    FLineSeparatorChars = chars;
    DiscardProgram();
}

// The swap is tabulated once; a swap that would turn a character into NUL keeps it,
// since a NUL in the subject marks its end.
void TRegExpr::SetCaseSwap(const TRegExprCaseSwap& swap) {
    FCaseSwap = swap ? swap : TRegExprCaseSwap(DefaultCaseSwap);
    for (int c = 0; c < 256; ++c) {
        const unsigned char s = (unsigned char)FCaseSwap(char(c));
        FSwap[c] = s == 0 ? (unsigned char)c : s;
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
    if (!FGroupStart[0] || !FGroupEnd[0]) Fail(1007);
    int offset = int(FGroupEnd[0] - FInputBuffer.c_str()) + 1;
    if (FGroupEnd[0] == FGroupStart[0]) ++offset;
    return ExecPos(offset);
}

std::string TRegExpr::GroupText(int n) const {
    if (n < 0 || n >= MaxGroups || !FHasInput) return std::string();
    const char* s = FGroupStart[n];
    const char* e = FGroupEnd[n];
    if (!s || !e || e < s) return std::string();
    return std::string(s, size_t(e - s));
}

int TRegExpr::GroupPos(int n) const {
    if (n < 0 || n >= MaxGroups || !FGroupStart[n] || !FGroupEnd[n] || FGroupEnd[n] < FGroupStart[n])
        return -1;
    return int(FGroupStart[n] - FInputBuffer.c_str()) + 1;
}

int TRegExpr::GroupLen(int n) const {
    if (n < 0 || n >= MaxGroups || !FGroupStart[n] || !FGroupEnd[n] || FGroupEnd[n] < FGroupStart[n])
        return 0;
    return int(FGroupEnd[n] - FGroupStart[n]);
}

void TRegExpr::ClearGroups() {
    for (int i = 0; i < MaxGroups; ++i) FGroupStart[i] = FGroupEnd[i] = nullptr;
}

// The first step of every search after the groups are cleared: makes sure a program for
// the current settings exists, compiling when needed.
bool TRegExpr::PrepareProgram() {
    if (FModifiers != FProgramModifiers) DiscardProgram();
    std::memset(FLineSeparatorSet, 0, sizeof FLineSeparatorSet);
    for (char c : FLineSeparatorChars) FLineSeparatorSet[(unsigned char)c] = c != '\0';
    if (FProgram.empty()) {
        if (!FHasExpression) Fail(1003);
        CompileExpression();
    }
    if (FProgram.empty()) return false;
    if (FProgram[0] != ProgramSignature) Fail(1004);
    return true;
}

void TRegExpr::DiscardProgram() {
    FProgram.clear();
    FMustHave = -1;
    FMustHaveLen = 0;
}

// ======================================================================================
// Errors
// ======================================================================================

int TRegExpr::ErrorPosition() const {
    return (FPatternStart && FParsePos) ? int(FParsePos - FPatternStart) : 0;
}

void TRegExpr::RaiseError(int code) {
    FLastErrorCode = code;
    std::string message = ErrorText(code);
    if (code < 1000) message += " (pos " + IntToStr(ErrorPosition()) + ")";
    throw ERegExpr(message, code, ErrorPosition());
}

// RaiseError is virtual; should an override return, the error is raised all the same,
// because no caller can go on after it.
void TRegExpr::Fail(int code) {
    RaiseError(code);
    std::string message = ErrorText(code);
    if (code < 1000) message += " (pos " + IntToStr(ErrorPosition()) + ")";
    throw ERegExpr(message, code, ErrorPosition());
}

std::string TRegExpr::ErrorText(int code) const {
    switch (code) {
    case 0: return "No errors";
    case 100: return "TRegExpr(comp): Null Argument";                // no pattern text
    case 101: return "TRegExpr(comp): Regexp Too Big";               // program beyond 1 GB
    case 102: return "TRegExpr(comp): ParseReg Too Many ()";         // a 15th group
    case 103: return "TRegExpr(comp): ParseReg Unmatched ()";        // group not closed
    case 104: return "TRegExpr(comp): ParseReg Unmatched ()";        // ')' without group
    case 105: return "TRegExpr(comp): ParseReg Junk On End";         // text after the end
    case 106: return "TRegExpr(comp): *+ Operand Could Be Empty";    // * + {} on empty
    case 107: return "TRegExpr(comp): Nested *?+";                   // quantifier twice
    case 108: return "TRegExpr(comp): Bad Hex Digit";                // non-hex in \x
    case 109: return "TRegExpr(comp): Invalid [] Range";             // range end < start
    case 110: return "TRegExpr(comp): Parse Atom Trailing \\";       // '\' ends a class
    case 111: return "TRegExpr(comp): No Hex Code After \\x";        // pattern ends in \x
    case 112: return "TRegExpr(comp): Hex Code After \\x Is Too Big";  // \x{} above 255
    case 113: return "TRegExpr(comp): Unmatched []";                 // class not closed
    case 114: return "TRegExpr(comp): Internal Urp";                 // atom at end, ) or |
    case 115: return "TRegExpr(comp): ?+*{ Follows Nothing";         // quantifier first
    case 116: return "TRegExpr(comp): Trailing \\";                  // pattern ends in '\'
    case 119: return "TRegExpr(comp): RarseAtom Internal Disaster";  // empty literal run
    case 122: return "TRegExpr(comp): BRACES Argument Too Big";      // over 8 digits
    case 124: return "TRegExpr(comp): BRACE Min Param Greater then Max";  // {m,n}, n < m
    case 125: return "TRegExpr(comp): Unclosed (?#Comment)";         // comment without )
    case 126:  // never raised
        return "TRegExpr(comp): If you want take part in beta-testing BRACES '{min,max}' and "
               "non-greedy ops '*?', '+?', '?\?' for complex cases - remove '.' from "
               "{.$DEFINE ComplexBraces}";
    case 127: return "TRegExpr(comp): Urecognized Modifier";         // bad (?letters)
    case 128:  // bad LinePairedSeparator
        return "TRegExpr(comp): LinePairedSeparator must countain two different chars or no "
               "chars at all";
    case 1000: return "TRegExpr(exec): RegRepeat Called Inappropriately";  // bad operand
    case 1001: return "TRegExpr(exec): MatchPrim Memory Corruption";       // bad node kind
    case 1002: return "TRegExpr(exec): MatchPrim Corrupted Pointers";      // missing node
    case 1003: return "TRegExpr(exec): Not Assigned Expression Property";  // no pattern
    case 1004: return "TRegExpr(exec): Corrupted Program";                 // bad signature
    case 1005: return "TRegExpr(exec): No Input String Specified";         // no subject
    case 1006: return "TRegExpr(exec): Offset Must Be Greater Then 0";     // offset < 1
    case 1007: return "TRegExpr(exec): ExecNext Without Exec[Pos]";        // no match yet
    case 1008: return "TRegExpr(exec): GetInputString Without InputString";  // no subject
    case 1011: return "TRegExpr(dump): Corrupted Opcode";                  // never raised
    case 1014: return "TRegExpr(exec): Loop Stack Exceeded";               // 11 loops
    case 1015: return "TRegExpr(exec): Loop Without LoopEntry !";          // stray LOOP
    case 1016: return "TRegExpr(exec): Match Recursion Too Deep";          // depth bound
    case 1017: return "TRegExpr(exec): Match Step Limit Exceeded";         // step bound
    case 2000: return "TRegExpr(misc): Bad p-code imported";               // never raised
    default: return "Unknown error";                                        // e.g. 1013
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
        int size = HeaderSize;
        switch (k) {
        case LITERAL: case LITERAL_CI: {
            const size_t len = std::strlen(reinterpret_cast<const char*>(op));
            out += "(";
            for (size_t i = 0; i < len; ++i) out += Printable(op[i]);
            out += ")";
            size += int(len) + 1;
            break;
        }
        case SMALL_SET: case SMALL_SET_NOT:
            out += "(" + Printable(op[0]) + Printable(op[1]) + Printable(op[2]) + ")";
            size += 3;
            break;
        case BIT_SET: {
            int members = 0;
            for (int c = 0; c < 256; ++c) members += InSet(op, (unsigned char)c);
            out += "(" + IntToStr(members) + ")";
            size += 32;
            break;
        }
        case BACKREF: case BACKREF_CI:
            out += IntToStr(op[0]);
            size += 1;
            break;
        case BRACES: case BRACES_LAZY: case LOOP: case LOOP_LAZY:
            out += "{" + IntToStr(ReadInt(op)) + "," + IntToStr(ReadInt(op + 4)) + "}";
            size = (k == LOOP || k == LOOP_LAZY) ? LoopNodeSize : BracesHeaderSize;
            break;
        default:
            break;
        }
        p += size;
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
