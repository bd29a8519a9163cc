// RegExprCompiler: pattern text to program (the layout is in RegExprNodes.h).
//
// CompileExpression runs the recursive-descent parser twice over the same text and
// modifiers: the sizing pass only advances the emit position, the emitting pass writes
// into a program allocated at exactly that size, so no node is ever reallocated. Every
// emission primitive therefore does its writing only outside the sizing pass, and no parse
// decision may depend on program bytes. After the emitting pass the search shortcuts are
// derived (first character, anchoring, required literal, prefix literal, first-character
// set, first pairs), the nodes whose failed states the matcher may remember are chosen
// (FindMemoNodes), and the program is decoded into the matcher's instructions
// (RegExprCode.cpp).
//
// The parser: ParseReg (alternatives) > ParseSequence (one alternative) > ParseQuantified
// (an atom and its quantifier) > ParseAtom (and its helpers for classes, escapes, literal
// runs and extended-mode skips). Recursion happens only through capturing groups, of
// which there are at most 14, so the compiler's stack use is bounded. Tested by
// tests/regex/RegExprCompilerTest.cpp.
#include "regex/RegExpr.h"
#include "regex/RegExprNodes.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>
#include <vector>

using namespace regexpr;

namespace {

// Piece flags returned by the parse routines.
constexpr int HasWidth = 1;          // consumes at least one character
constexpr int Single = 2;            // one node that RegRepeat can count
constexpr int StartsRepetition = 4;  // begins with a repeated piece

// Modifier bits.
constexpr uint32_t ModI = 1, ModR = 2, ModS = 4, ModG = 8, ModM = 16, ModX = 32;

// Programs are addressed with signed 32-bit links; keep well inside that range.
constexpr int64_t MaxProgramSize = INT32_MAX / 2;

bool In(const char* set, char c) { return c != 0 && std::strchr(set, c) != nullptr; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsQuantifier(char c) { return In("*+?{", c); }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint32_t ModifierBit(char c) {
    switch (c) {
    case 'i': case 'I': return ModI;
    case 'r': case 'R': return ModR;
    case 's': case 'S': return ModS;
    case 'g': case 'G': return ModG;
    case 'm': case 'M': return ModM;
    case 'x': case 'X': return ModX;
    default: return 0;
    }
}

}  // namespace

// ======================================================================================
// Compilation driver
// ======================================================================================

void TRegExpr::CompileExpression() {
    FComp.ParsePos = nullptr;
    FComp.PatternStart = nullptr;
    DiscardProgram();
    try {
        if (!FHasExpression) Fail(reeCompNullArgument);
        FComp.PatternStart = FExpressionText.c_str();
        FProgramModifiers = FSet.Modifiers;
        RunPass(true);
        FComp.ProgramSize = FComp.EmitPos;
        FProgram.assign(size_t(FComp.ProgramSize), 0);
        RunPass(false);
        if (FComp.EmitPos != FComp.ProgramSize) Fail(reeInternalUrp);
        std::memset(FLineSeparatorSet, 0, sizeof FLineSeparatorSet);
        for (char c : FSet.LineSeparatorChars) FLineSeparatorSet[(unsigned char)c] = c != '\0';
        FindMemoNodes();
        FCode = DecodeProgram(FProgram, FMemoNodes, FSet.Swap);
        // The whole pattern as one alternative: a try begins inside it.
        FEntry = FCode.empty() ? nullptr : &FCode[0];
        if (FEntry && FEntry->Kind == ALT && FEntry->Next && !FEntry->Choice) FEntry = FEntry->Sub;
        // FFirstChar is set when that first instruction is a literal (AnalyseShortcuts).
        FEntryFound = FFirstChar != 0 && FEntry && FEntry->Kind == LITERAL;
    } catch (...) {
        DiscardProgram();
        FComp.PatternStart = nullptr;
        FCompiled = false;
        throw;
    }
    FComp.PatternStart = nullptr;
    FCompiled = true;
}

// One pass over the pattern; the shortcut analysis follows the emitting pass.
void TRegExpr::RunPass(bool sizing) {
    FComp.Sizing = sizing;
    FComp.Modifiers = FSet.Modifiers;
    FComp.ParsePos = FComp.PatternStart;
    FComp.NextGroupNo = 1;
    FComp.EmitPos = 0;
    AppendByte(ProgramSignature);
    int flags = 0;
    ParseReg(false, flags);
    if (!sizing) AnalyseShortcuts(flags);
    FComp.Sizing = false;
}

// ======================================================================================
// Emission primitives (positions are offsets into FProgram)
// ======================================================================================

// Makes room for Bytes more bytes at the emit position; only checks in the sizing pass.
void TRegExpr::Reserve(int64_t bytes) {
    if (FComp.Sizing) {
        if (FComp.EmitPos + bytes > MaxProgramSize) Fail(reeCompRegexpTooBig);
    } else if (FComp.EmitPos + bytes > int64_t(FProgram.size())) {
        Fail(reeInternalUrp);  // the passes disagree: never happens for a consistent parser
    }
}

int TRegExpr::AppendNode(uint8_t kind) {
    Reserve(HeaderSize);
    int at = int(FComp.EmitPos);
    if (!FComp.Sizing) {
        FProgram[at] = kind;
        WriteInt(&FProgram[at + 1], 0);
    }
    FComp.EmitPos += HeaderSize;
    return at;
}

void TRegExpr::AppendByte(uint8_t b) {
    Reserve(1);
    if (!FComp.Sizing) FProgram[size_t(FComp.EmitPos)] = b;
    FComp.EmitPos += 1;
}

void TRegExpr::AppendInt(int32_t v) {
    Reserve(4);
    if (!FComp.Sizing) WriteInt(&FProgram[size_t(FComp.EmitPos)], v);
    FComp.EmitPos += 4;
}

// Moves everything from At to the emit position Size bytes on and puts a node of Kind
// (with zeroed link and operand integers) in the gap.
void TRegExpr::InsertNode(uint8_t kind, int at, int size) {
    Reserve(size);
    if (!FComp.Sizing) {
        uint8_t* p = &FProgram[at];
        std::memmove(p + size, p, size_t(FComp.EmitPos - at));
        p[0] = kind;
        std::memset(p + 1, 0, size_t(size - 1));
    }
    FComp.EmitPos += size;
}

int TRegExpr::NextNodePos(int p) const {
    int32_t link = ReadInt(&FProgram[p + 1]);
    return link == 0 ? -1 : p + link;
}

// Points the link of the last node of P's chain at Target.
void TRegExpr::LinkTail(int p, int target) {
    if (FComp.Sizing) return;
    int scan = p;
    for (int next = NextNodePos(scan); next >= 0; next = NextNodePos(scan)) scan = next;
    WriteInt(&FProgram[scan + 1], target - scan);
}

// For an ALT node: LinkTail of its alternative.
void TRegExpr::LinkOperandTail(int p, int target) {
    if (FComp.Sizing || FProgram[p] != ALT) return;
    LinkTail(p + HeaderSize, target);
}

// ======================================================================================
// Parser
// ======================================================================================

// Alternatives separated by '|', as a group (OPEN ... CLOSE) or the whole pattern.
int TRegExpr::ParseReg(bool group, int& flags) {
    flags = HasWidth;
    const uint32_t savedModifiers = FComp.Modifiers;
    int result = -1;
    int n = 0;
    if (group) {
        if (FComp.NextGroupNo >= MaxGroups) Fail(reeCompParseRegTooManyBrackets);
        n = FComp.NextGroupNo++;
        result = AppendNode(uint8_t(OPEN_BASE + n));
    }
    // lastAlt keeps linking linear in the number of alternatives.
    int altFlags = 0;
    int alt = ParseSequence(altFlags);
    if (group) LinkTail(result, alt); else result = alt;
    int lastAlt = alt;
    if (!(altFlags & HasWidth)) flags &= ~HasWidth;
    flags |= altFlags & StartsRepetition;
    while (*FComp.ParsePos == '|') {
        ++FComp.ParsePos;
        alt = ParseSequence(altFlags);
        LinkTail(lastAlt, alt);
        lastAlt = alt;
        if (!(altFlags & HasWidth)) flags &= ~HasWidth;
        flags |= altFlags & StartsRepetition;
    }
    const int closing = AppendNode(group ? uint8_t(CLOSE_BASE + n) : uint8_t(END));
    LinkTail(lastAlt, closing);
    if (!FComp.Sizing)
        for (int p = result; p >= 0; p = NextNodePos(p)) LinkOperandTail(p, closing);
    if (group) {
        if (*FComp.ParsePos != ')') Fail(reeCompParseRegUnmatchedBrackets);
        ++FComp.ParsePos;
    } else if (*FComp.ParsePos != '\0') {
        Fail(*FComp.ParsePos == ')' ? reeCompParseRegUnmatchedBrackets2 : reeCompParseRegJunkOnEnd);
    }
    FComp.Modifiers = savedModifiers;
    return result;
}

// One alternative: an ALT node whose alternative is the chain of its pieces.
int TRegExpr::ParseSequence(int& flags) {
    flags = 0;
    const int result = AppendNode(ALT);
    int previous = -1;
    while (*FComp.ParsePos != '\0' && *FComp.ParsePos != ')' && *FComp.ParsePos != '|') {
        int pieceFlags = 0;
        const int piece = ParseQuantified(pieceFlags);
        flags |= pieceFlags & HasWidth;
        if (previous < 0) flags |= pieceFlags & StartsRepetition;
        else LinkTail(previous, piece);
        previous = piece;
    }
    if (previous < 0) AppendNode(EMPTY);
    return result;
}

// Reads "{n}", "{n,}" or "{n,m}" at the parse position. False (position unchanged) when
// the text is no quantifier, so that its '{' is read later as a literal.
bool TRegExpr::ParseBraces(int& min, int& max) {
    const char* p = FComp.ParsePos + 1;
    const char* minStart = p;
    while (IsDigit(*p)) ++p;
    const char* minEnd = p;
    if (minEnd == minStart || (*p != '}' && *p != ',')) return false;
    const char* maxStart = nullptr;
    const char* maxEnd = nullptr;
    if (*p == ',') {
        maxStart = ++p;
        while (IsDigit(*p)) ++p;
        maxEnd = p;
        if (*p != '}') return false;
    }
    auto number = [this](const char* s, const char* e) {
        FComp.ParsePos = e;
        if (e - s > 8) Fail(reeBRACESArgTooBig);
        int v = 0;
        for (; s < e; ++s) v = v * 10 + (*s - '0');
        return v;
    };
    min = number(minStart, minEnd);
    if (!maxStart) max = min;
    else if (maxEnd == maxStart) max = MaxRepeat;
    else max = number(maxStart, maxEnd);
    FComp.ParsePos = p;  // at '}'
    if (max < min) Fail(reeBracesMinParamGreaterMax);
    FComp.ParsePos = p + 1;
    return true;
}

// An atom with its optional quantifier; returns the piece's first node.
int TRegExpr::ParseQuantified(int& flags) {
    int atomFlags = 0;
    const int atom = ParseAtom(atomFlags);
    const char op = *FComp.ParsePos;
    if (!IsQuantifier(op)) {
        flags = atomFlags;
        return atom;
    }
    int min = 0;
    int max = MaxRepeat;
    if (op == '{') {
        const char* brace = FComp.ParsePos;
        if (!ParseBraces(min, max)) {
            FComp.ParsePos = brace;
            flags = atomFlags;
            return atom;
        }
        if (!(atomFlags & HasWidth)) {
            FComp.ParsePos = brace;
            Fail(reePlusStarOperandCouldBeEmpty);
        }
    } else {
        if (op != '?' && !(atomFlags & HasWidth)) Fail(reePlusStarOperandCouldBeEmpty);
        ++FComp.ParsePos;
        if (op == '+') min = 1;
        if (op == '?') max = 1;
    }
    bool lazy = !(FComp.Modifiers & ModG);
    if (*FComp.ParsePos == '?') {
        lazy = true;
        ++FComp.ParsePos;
    }
    WrapQuantifier(op, atom, atomFlags, min, max, lazy);
    switch (op) {
    case '*': flags = StartsRepetition; break;
    case '+': flags = HasWidth | StartsRepetition; break;
    case '?': flags = 0; break;
    default: flags = (min > 0 ? HasWidth : 0) | (max > 0 ? StartsRepetition : 0); break;
    }
    if (IsQuantifier(*FComp.ParsePos)) Fail(reeNestedSQP);
    return atom;
}

// Wraps the atom's nodes, starting at Atom, in the nodes of its quantifier. The piece
// keeps starting at Atom: inserted headers take the atom's place.
void TRegExpr::WrapQuantifier(char op, int atom, int atomFlags, int min, int max, bool lazy) {
    const bool single = atomFlags & Single;
    if (op == '*' || op == '+') {
        const bool star = op == '*';
        if (single) {
            const uint8_t kind = star ? (lazy ? ZERO_OR_MORE_LAZY : ZERO_OR_MORE)
                                      : (lazy ? ONE_OR_MORE_LAZY : ONE_OR_MORE);
            InsertNode(kind, atom, HeaderSize);
        } else if (lazy) {
            EmitLoop(atom, min, MaxRepeat, true);
        } else if (star) {
            // x* as (x, jump back | empty)
            InsertNode(ALT, atom, HeaderSize);
            const int back = AppendNode(JUMP_BACK);
            LinkOperandTail(atom, back);
            LinkOperandTail(atom, atom);
            LinkTail(atom, AppendNode(ALT));
            LinkTail(atom, AppendNode(EMPTY));
        } else {
            // x+ as x (jump back | empty)
            const int a1 = AppendNode(ALT);
            LinkTail(atom, a1);
            LinkTail(AppendNode(JUMP_BACK), atom);
            LinkTail(a1, AppendNode(ALT));
            LinkTail(atom, AppendNode(EMPTY));
        }
        return;
    }
    if (op == '?' && !lazy) {
        // x? as (x | empty)
        InsertNode(ALT, atom, HeaderSize);
        LinkTail(atom, AppendNode(ALT));
        const int e = AppendNode(EMPTY);
        LinkTail(atom, e);
        LinkOperandTail(atom, e);
        return;
    }
    if (single) {
        InsertNode(lazy ? BRACES_LAZY : BRACES, atom, BracesHeaderSize);
        if (!FComp.Sizing) {
            WriteInt(&FProgram[atom + HeaderSize], min);
            WriteInt(&FProgram[atom + HeaderSize + 4], max);
        }
    } else {
        EmitLoop(atom, min, max, lazy);
    }
}

// A general loop: LOOPENTRY before the body, LOOP (or LOOP_LAZY) after it.
void TRegExpr::EmitLoop(int atom, int min, int max, bool lazy) {
    InsertNode(LOOPENTRY, atom, HeaderSize);
    const int body = atom + HeaderSize;
    const int loop = AppendNode(lazy ? LOOP_LAZY : LOOP);
    AppendInt(min);
    AppendInt(max);
    AppendInt(body - loop);
    LinkTail(atom, loop);
    LinkTail(body, loop);
}

// One atom. The parse position moves past the atom's first character before anything
// is decided, so errors found on that character point one further.
int TRegExpr::ParseAtom(int& flags) {
    flags = 0;
    const char* atomStart = FComp.ParsePos;
    if ((FComp.Modifiers & ModX) && (IsBlank(*atomStart) || *atomStart == '#'))
        return ParseSkip();
    const char c = *FComp.ParsePos++;
    const bool lineAnchors = (FComp.Modifiers & ModM) &&
                             (!FSet.LineSeparatorChars.empty() || FSet.PairAssigned);
    switch (c) {
    case '^':
        return AppendNode(lineAnchors ? LINE_START : INPUT_START);
    case '$':
        return AppendNode(lineAnchors ? LINE_END : INPUT_END);
    case '.':
        if (FComp.Modifiers & ModS) {
            flags = HasWidth | Single;
            return AppendNode(ANY_CHAR);
        }
        flags = HasWidth;
        return AppendNode(ANY_BUT_LINE_BREAK);
    case '[':
        return ParseClass(flags);
    case '(':
        if (*FComp.ParsePos == '?') {
            if (FComp.ParsePos[1] == '#') {
                const char* close = std::strchr(FComp.ParsePos + 2, ')');
                if (!close) {
                    FComp.ParsePos += std::strlen(FComp.ParsePos);
                    Fail(reeUnclosedComment);
                }
                FComp.ParsePos = close + 1;
                return AppendNode(SKIP);
            }
            ++FComp.ParsePos;
            ParseModifierLetters();
            return AppendNode(SKIP);
        } else {
            int groupFlags = 0;
            const int group = ParseReg(true, groupFlags);
            flags = groupFlags & (HasWidth | StartsRepetition);
            return group;
        }
    case '\0':
    case '|':
    case ')':
        Fail(reeInternalUrp);
    case '*':
    case '+':
    case '?':
        Fail(reeQPSBFollowsNothing);
    case '\\':
        return ParseEscape(flags);
    default:
        FComp.ParsePos = atomStart;
        return ParseLiteralRun(flags);
    }
}

// Extended mode: a '#' comment to the end of its line (and the line breaks after it), or
// a run of blanks. Either leaves one SKIP node.
int TRegExpr::ParseSkip() {
    const char* p = FComp.ParsePos;
    if (*p == '#') {
        while (*p && *p != '\r' && *p != '\n') ++p;
        while (*p == '\r' || *p == '\n') ++p;
    } else {
        while (IsBlank(*p)) ++p;
    }
    FComp.ParsePos = p;
    return AppendNode(SKIP);
}

// "(?letters)": the parse position stands after "(?".
void TRegExpr::ParseModifierLetters() {
    bool off = false;
    uint32_t mods = FComp.Modifiers;
    for (; *FComp.ParsePos != ')'; ++FComp.ParsePos) {
        const char c = *FComp.ParsePos;
        if (c == '-') {
            off = true;
            continue;
        }
        const uint32_t bit = ModifierBit(c);
        if (bit == 0) Fail(reeUrecognizedModifier);  // also the end of the pattern
        mods = off ? (mods & ~bit) : (mods | bit);
    }
    ++FComp.ParsePos;
    FComp.Modifiers = mods;
}

// The character an escape stands for; the parse position stands on the character after
// the backslash and moves past the escape.
char TRegExpr::UnescapeChar() {
    const char c = *FComp.ParsePos++;
    switch (c) {
    case 't': return '\t';
    case 'n': return '\n';
    case 'r': return '\r';
    case 'f': return '\f';
    case 'a': return '\a';
    case 'e': return '\x1b';
    case 'x': return char(ParseHexCode());
    default: return c;
    }
}

// "\xHH" or "\x{H...}" after the 'x'.
int TRegExpr::ParseHexCode() {
    int value = 0;
    if (*FComp.ParsePos == '{') {
        for (++FComp.ParsePos; *FComp.ParsePos != '}'; ++FComp.ParsePos) {
            if (*FComp.ParsePos == '\0') Fail(reeNoHexCodeAfterBSlashX);
            const int d = HexValue(*FComp.ParsePos);
            if (d < 0) Fail(reeBadHexDigit);
            value = value * 16 + d;
            if (value > 255) Fail(reeHexCodeAfterBSlashXTooBig);
        }
        ++FComp.ParsePos;
        return value;
    }
    for (int i = 0; i < 2; ++i, ++FComp.ParsePos) {
        if (*FComp.ParsePos == '\0') Fail(reeNoHexCodeAfterBSlashX);
        const int d = HexValue(*FComp.ParsePos);
        if (d < 0) Fail(reeBadHexDigit);
        value = value * 16 + d;
    }
    return value;
}

// A backslash atom; the parse position stands after the backslash.
int TRegExpr::ParseEscape(int& flags) {
    const char c = *FComp.ParsePos;
    if (c == '\0') Fail(reeTrailingBackSlash);
    const bool ci = FComp.Modifiers & ModI;
    flags = HasWidth | Single;
    switch (c) {
    case 'd': ++FComp.ParsePos; return AppendNode(DIGIT);
    case 'D': ++FComp.ParsePos; return AppendNode(NOT_DIGIT);
    case 's': case 'S': case 'w': case 'W': {
        ++FComp.ParsePos;
        // Never case-folded: the settings name the members exactly.
        const std::string& chars = (c == 's' || c == 'S') ? FSet.SpaceCharacters : FSet.WordCharacters;
        bool set[256] = {};
        int count = 0;
        for (char ch : chars)
            if (!set[(unsigned char)ch]) { set[(unsigned char)ch] = true; ++count; }
        return EmitSet(set, count, c == 'S' || c == 'W');
    }
    case 'b': ++FComp.ParsePos; flags = 0; return AppendNode(WORD_BOUNDARY);
    case 'B': ++FComp.ParsePos; flags = 0; return AppendNode(NOT_WORD_BOUNDARY);
    case 'A': ++FComp.ParsePos; flags = 0; return AppendNode(INPUT_START);
    case 'Z': ++FComp.ParsePos; flags = 0; return AppendNode(INPUT_END);
    default: break;
    }
    if (c >= '1' && c <= '9') {
        ++FComp.ParsePos;
        const int node = AppendNode(ci ? BACKREF_CI : BACKREF);
        AppendByte(uint8_t(c - '0'));
        return node;
    }
    const char ch = UnescapeChar();
    if (ch == '\0') {
        // A NUL never occurs in a subject (it ends there), and a NUL-terminated literal
        // cannot hold one: a set whose only member is NUL matches nothing, as it must.
        const bool nulOnly[256] = {true};
        return EmitSet(nulOnly, 1, false);
    }
    const int node = AppendNode(ci ? LITERAL_CI : LITERAL);
    AppendByte(uint8_t(ch));
    AppendByte(0);
    return node;
}

// A run of ordinary characters compiled into one literal. A quantifier after a run of
// several characters applies to the last one only, which is left for the next atom.
int TRegExpr::ParseLiteralRun(int& flags) {
    const char* s = FComp.ParsePos;
    const bool extended = FComp.Modifiers & ModX;
    auto ends = [extended](char c) {
        return c == '\0' || In("^$.[()|?+*\\{", c) || (extended && c == '#');
    };
    int len = 0;
    while (!ends(s[len])) ++len;
    if (len == 0) {
        if (s[0] != '{') Fail(reeRarseAtomInternalDisaster);
        len = 1;
        while (!ends(s[len])) ++len;
    }
    if (len > 1 && IsQuantifier(s[len])) {
        if (!extended) {
            --len;
        } else {
            // Blanks are not characters here: leave the last non-blank one (and the
            // blanks after it) for the quantifier when another character precedes it.
            int nonBlank = 0, last = 0;
            for (int i = 0; i < len; ++i)
                if (!IsBlank(s[i])) { ++nonBlank; last = i; }
            if (nonBlank > 1) len = last;
        }
    }
    FComp.ParsePos = s + len;
    const int node = AppendNode((FComp.Modifiers & ModI) ? LITERAL_CI : LITERAL);
    int emitted = 0;
    for (int i = 0; i < len; ++i) {
        if (extended && IsBlank(s[i])) continue;
        AppendByte(uint8_t(s[i]));
        ++emitted;
    }
    AppendByte(0);
    flags = HasWidth | (emitted == 1 ? Single : 0);
    return node;
}

// ======================================================================================
// Classes
// ======================================================================================

// Adds C, and with i its other-case form, to a class under construction.
void TRegExpr::AddClassChar(bool* set, int& count, unsigned char c) {
    if (!set[c]) { set[c] = true; ++count; }
    if (FComp.Modifiers & ModI) {
        const unsigned char s = FSet.Swap[c];
        if (!set[s]) { set[s] = true; ++count; }
    }
}

// Up to three members become a SMALL_SET (ascending, padded with the largest member),
// more (or none) a BIT_SET.
int TRegExpr::EmitSet(const bool* set, int count, bool negated) {
    if (count >= 1 && count <= 3) {
        const int node = AppendNode(negated ? SMALL_SET_NOT : SMALL_SET);
        uint8_t members[3];
        int k = 0;
        for (int c = 0; c < 256 && k < 3; ++c)
            if (set[c]) members[k++] = uint8_t(c);
        for (; k < 3; ++k) members[k] = members[k - 1];
        for (uint8_t m : members) AppendByte(m);
        return node;
    }
    const int node = AppendNode(BIT_SET);
    for (int byte = 0; byte < 32; ++byte) {
        uint8_t bits = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (set[byte * 8 + bit] != negated) bits |= uint8_t(1 << bit);
        AppendByte(bits);
    }
    return node;
}

// "[...]"; the parse position stands after the '['.
int TRegExpr::ParseClass(int& flags) {
    bool set[256] = {};
    int count = 0;
    bool negated = false;
    if (*FComp.ParsePos == '^') { negated = true; ++FComp.ParsePos; }
    bool prevSingle = false;  // the item just before was one character (a range start)
    unsigned char prev = 0;
    if (*FComp.ParsePos == ']') {
        AddClassChar(set, count, ']');
        prevSingle = true;
        prev = ']';
        ++FComp.ParsePos;
    }
    while (*FComp.ParsePos != ']') {
        const char c = *FComp.ParsePos;
        if (c == '\0') Fail(reeUnmatchedSqBrackets);
        if (c == '-' && prevSingle && FComp.ParsePos[1] != '\0' && FComp.ParsePos[1] != ']' &&
            !(FComp.ParsePos[1] == '\\' && In("dDsSwW", FComp.ParsePos[2]))) {
            FComp.ParsePos += 2;
            unsigned char hi = (unsigned char)FComp.ParsePos[-1];
            if (hi == '\\') {
                if (*FComp.ParsePos == '\0') Fail(reeParseAtomTrailingBackSlash);
                hi = (unsigned char)UnescapeChar();
            }
            const bool cyrillic = FComp.Modifiers & ModR;
            const bool lower = cyrillic && (prev == 0xE0 && (hi == 0xFF || hi == 0xDF));
            const bool upper = cyrillic && ((prev == 0xC0 && hi == 0xDF) || (prev == 0xE0 && hi == 0xDF));
            if (lower || upper) {
                // Windows-1251 alphabets: the letter YO lies outside the block. These are
                // byte ranges; in UTF-8 text the bytes are parts of multibyte characters,
                // so the rule only matters for subjects in that single-byte code page.
                if (lower) { for (int ch = 0xE0; ch <= 0xFF; ++ch) AddClassChar(set, count, (unsigned char)ch); AddClassChar(set, count, 0xB8); }
                if (upper) { for (int ch = 0xC0; ch <= 0xDF; ++ch) AddClassChar(set, count, (unsigned char)ch); AddClassChar(set, count, 0xA8); }
            } else {
                if (hi < prev) Fail(reeInvalidRange);
                for (int ch = prev; ch <= hi; ++ch) AddClassChar(set, count, (unsigned char)ch);
            }
            prevSingle = false;
            continue;
        }
        if (c == '\\') {
            ++FComp.ParsePos;
            const char e = *FComp.ParsePos;
            if (e == '\0') Fail(reeParseAtomTrailingBackSlash);
            if (e == 'd' || e == 's' || e == 'w') {
                ++FComp.ParsePos;
                const std::string digits = "0123456789";
                const std::string& chars = e == 'd' ? digits : e == 's' ? FSet.SpaceCharacters : FSet.WordCharacters;
                for (char ch : chars) AddClassChar(set, count, (unsigned char)ch);
                prevSingle = false;
                continue;
            }
            prev = (unsigned char)UnescapeChar();
        } else {
            prev = (unsigned char)c;
            ++FComp.ParsePos;
        }
        AddClassChar(set, count, prev);
        prevSingle = true;
    }
    ++FComp.ParsePos;
    flags = HasWidth | Single;
    return EmitSet(set, count, negated);
}

// ======================================================================================
// Search shortcuts
// ======================================================================================

void TRegExpr::AnalyseShortcuts(int topFlags) {
    std::memset(FFirstCharSet, 0, sizeof FFirstCharSet);
    FComp.FillSteps = 0;
    FillFirstChars(FProgram.data() + 1, 0);
    // A few first characters are looked for 16 at a time; the end (NUL) is no member.
    std::memset(FFirstChars, 0, sizeof FFirstChars);
    int members = 0;
    for (int c = 1; c < 256 && members <= 4; ++c)
        if (FFirstCharSet[c]) FFirstChars[members < 4 ? members : 0] = char(c), ++members;
    if (members < 1 || members > 4 || FFirstCharSet[0]) std::memset(FFirstChars, 0, sizeof FFirstChars);
    else for (int i = members; i < 4; ++i) FFirstChars[i] = FFirstChars[0];
    // The first two characters, when every match begins with a literal of two or more.
    FFirstPairs.assign(1024, 0);
    FHasFirstPairs = AddFirstPairs(FProgram.data() + 1, 0);
    if (!FHasFirstPairs) FFirstPairs.clear();
    FFirstChar = 0;
    FAnchoredAtStart = false;
    FMustHave = -1;
    FMustHaveLen = 0;
    FPrefix = -1;
    FPrefixLen = 0;
    const uint8_t* first = FProgram.data() + 1;
    const uint8_t* afterFirst = NextNode(first);
    if (!afterFirst || Kind(afterFirst) != END) return;  // several top-level alternatives
    const uint8_t* n = Operand(first);
    if (Kind(n) == LITERAL) {
        FFirstChar = char(Operand(n)[0]);
        const size_t len = std::strlen(reinterpret_cast<const char*>(Operand(n)));
        if (len >= 2) {
            FPrefix = int(Operand(n) - FProgram.data());
            FPrefixLen = int(len);
        }
    } else if (Kind(n) == INPUT_START) {
        FAnchoredAtStart = true;
    }
    if (!(topFlags & StartsRepetition)) return;
    // The top-level chain passes over the insides of groups, alternatives and loops, so
    // every literal on it is part of every match.
    size_t best = 0;
    for (const uint8_t* p = n; p && Kind(p) != END; p = NextNode(p)) {
        if (Kind(p) != LITERAL) continue;
        const size_t len = std::strlen(reinterpret_cast<const char*>(Operand(p)));
        if (len >= best) {
            best = len;
            FMustHave = int(Operand(p) - FProgram.data());
            FMustHaveLen = int(len);
        }
    }
}

// Adds the characters a match of the chain from Node can begin with. Walks that could
// grow without bound (zero-width loop bodies, long runs of optional pieces) give up and
// admit every character, which only costs search speed.
void TRegExpr::FillFirstChars(const uint8_t* node, int depth) {
    const int64_t budget = 1024 + 16 * int64_t(FProgram.size());
    auto all = [this] { std::memset(FFirstCharSet, 1, sizeof FFirstCharSet); };
    while (node) {
        if (++FComp.FillSteps > budget || depth > 256) return all();
        const uint8_t* op = Operand(node);
        const uint8_t kind = Kind(node);
        switch (kind) {
        case ANY_CHAR: case ANY_BUT_LINE_BREAK: case BACKREF: case BACKREF_CI: case END:
            return all();
        case INPUT_END: case LINE_END:
            FFirstCharSet[0] = true;
            if (FSet.Modifiers & ModM)
                for (char c : FSet.LineSeparatorChars) FFirstCharSet[(unsigned char)c] = true;
            return;
        case DIGIT: case NOT_DIGIT:
            for (int c = 0; c < 256; ++c)
                if ((c >= '0' && c <= '9') == (kind == DIGIT)) FFirstCharSet[c] = true;
            return;
        case LITERAL:
            FFirstCharSet[op[0]] = true;
            return;
        case LITERAL_CI:
            FFirstCharSet[op[0]] = true;
            FFirstCharSet[FSet.Swap[op[0]]] = true;
            return;
        case SMALL_SET:
            for (int i = 0; i < 3; ++i) FFirstCharSet[op[i]] = true;
            return;
        case SMALL_SET_NOT:
            for (int c = 0; c < 256; ++c)
                if (c != op[0] && c != op[1] && c != op[2]) FFirstCharSet[c] = true;
            return;
        case BIT_SET:
            for (int c = 0; c < 256; ++c)
                if (InSet(op, (unsigned char)c)) FFirstCharSet[c] = true;
            return;
        case ALT: {
            const uint8_t* next = NextNode(node);
            if (!next || Kind(next) != ALT) { node = op; continue; }
            for (const uint8_t* a = node; a && Kind(a) == ALT; a = NextNode(a))
                FillFirstChars(Operand(a), depth + 1);
            return;
        }
        case LOOP: case LOOP_LAZY:
            FillFirstChars(node + ReadInt(node + HeaderSize + 8), depth + 1);
            if (ReadInt(node + HeaderSize) > 0) return;
            break;
        case ZERO_OR_MORE: case ZERO_OR_MORE_LAZY:
            FillFirstChars(op, depth + 1);
            break;
        case ONE_OR_MORE: case ONE_OR_MORE_LAZY:
            FillFirstChars(op, depth + 1);
            return;
        case BRACES: case BRACES_LAZY:
            FillFirstChars(node + BracesHeaderSize, depth + 1);
            if (ReadInt(node + HeaderSize) > 0) return;
            break;
        case INPUT_START: case LINE_START: case JUMP_BACK: case EMPTY: case SKIP:
        case WORD_BOUNDARY: case NOT_WORD_BOUNDARY: case LOOPENTRY:
            break;
        default:
            if (!IsOpen(kind) && !IsClose(kind)) Fail(reeMatchPrimMemoryCorruption);
            break;
        }
        node = NextNode(node);
    }
}

// ======================================================================================
// Failure memo slots
// ======================================================================================

// Chooses the nodes whose failed states the matcher may remember: the first ALT node of
// each choice of alternatives, and each repeat of a single node without an upper bound,
// in program order, at most 64. A state's failure depends only on the node and the
// subject position where nothing else is read: not in a program with back-references
// (they read the groups), and not inside a general loop's body (its continuation reads
// the loop counters), so those get none.
void TRegExpr::FindMemoNodes() {
    constexpr size_t MaxMemoSlots = 64;
    FMemoNodes.clear();
    const uint8_t* begin = FProgram.data();
    const uint8_t* end = begin + FProgram.size();
    std::vector<std::pair<int32_t, int32_t>> loops;  // [LOOPENTRY, LOOP] offset ranges
    std::vector<int32_t> chained;                    // ALT nodes that follow an ALT
    for (const uint8_t* p = begin + 1; p < end; p += NodeSize(p)) {
        const uint8_t k = Kind(p);
        if (k == BACKREF || k == BACKREF_CI) return;
        if (k == LOOPENTRY && NextNode(p)) loops.emplace_back(int32_t(p - begin), int32_t(NextNode(p) - begin));
        const uint8_t* next = NextNode(p);
        if (k == ALT && next && Kind(next) == ALT) chained.push_back(int32_t(next - begin));
    }
    auto inLoop = [&](int32_t at) {
        for (const auto& r : loops)
            if (at >= r.first && at <= r.second) return true;
        return false;
    };
    for (const uint8_t* p = begin + 1; p < end && FMemoNodes.size() < MaxMemoSlots; p += NodeSize(p)) {
        const int32_t at = int32_t(p - begin);
        const uint8_t k = Kind(p);
        const uint8_t* next = NextNode(p);
        bool candidate = false;
        if (k == ALT) {
            candidate = next && Kind(next) == ALT &&
                        std::find(chained.begin(), chained.end(), at) == chained.end();
        } else if (k == ZERO_OR_MORE || k == ZERO_OR_MORE_LAZY || k == ONE_OR_MORE || k == ONE_OR_MORE_LAZY) {
            candidate = true;
        } else if (k == BRACES || k == BRACES_LAZY) {
            candidate = ReadInt(p + HeaderSize + 4) == MaxRepeat;
        }
        if (candidate && !inLoop(at)) FMemoNodes.push_back(at);
    }
}

// Adds the first two characters of every match of the chain from Node to FFirstPairs;
// false when some match may begin otherwise than with a case-sensitive literal of two
// characters or more, or of one followed by a literal or class that must match (then
// nothing is known).
bool TRegExpr::AddFirstPairs(const uint8_t* node, int depth) {
    if (depth > 16) return false;
    while (node) {
        const uint8_t k = Kind(node);
        if (IsOpen(k) || IsClose(k) || k == EMPTY || k == SKIP) {
            node = NextNode(node);
            continue;
        }
        if (k == LITERAL) {
            const uint8_t* op = Operand(node);
            if (op[0] == 0) return false;
            if (op[1] != 0) {
                const unsigned i = op[0] * 256u + op[1];
                FFirstPairs[i >> 6] |= uint64_t(1) << (i & 63);
                return true;
            }
            // One character: the second is what the next node must begin with, when
            // that is a literal or a class that must match once at least.
            const uint8_t* next = NextNode(node);
            while (next && (IsOpen(Kind(next)) || IsClose(Kind(next)) || Kind(next) == EMPTY || Kind(next) == SKIP))
                next = NextNode(next);
            if (!next) return false;
            const uint8_t* single = next;
            const uint8_t nk = Kind(next);
            if (nk == ONE_OR_MORE || nk == ONE_OR_MORE_LAZY) single = Operand(next);
            else if ((nk == BRACES || nk == BRACES_LAZY) && ReadInt(next + HeaderSize) > 0)
                single = next + BracesHeaderSize;
            const uint8_t* sop = Operand(single);
            bool second[256] = {};
            switch (Kind(single)) {
            case LITERAL: second[sop[0]] = true; break;
            case SMALL_SET: for (int i = 0; i < 3; ++i) second[sop[i]] = true; break;
            case BIT_SET: for (int c = 1; c < 256; ++c) second[c] = InSet(sop, (unsigned char)c); break;
            case DIGIT: for (int c = '0'; c <= '9'; ++c) second[c] = true; break;
            default: return false;
            }
            for (int c = 1; c < 256; ++c)
                if (second[c]) {
                    const unsigned i = op[0] * 256u + unsigned(c);
                    FFirstPairs[i >> 6] |= uint64_t(1) << (i & 63);
                }
            return true;
        }
        if (k != ALT) return false;
        const uint8_t* next = NextNode(node);
        if (!next || Kind(next) != ALT) {
            node = Operand(node);  // a single alternative
            continue;
        }
        for (const uint8_t* a = node; a && Kind(a) == ALT; a = NextNode(a))
            if (!AddFirstPairs(Operand(a), depth + 1)) return false;
        return true;
    }
    return false;
}
