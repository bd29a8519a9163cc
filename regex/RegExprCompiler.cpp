// RegExprCompiler: pattern text to program (the layout is in RegExprNodes.h).
//
// CompileExpression runs the recursive-descent parser twice over the same text and
// modifiers: the sizing pass only advances the emit position, the emitting pass writes
// into a program allocated at exactly that size, so no node is ever reallocated. Every
// emission primitive therefore does its writing only outside the sizing pass, and no parse
// decision may depend on program bytes. After the emitting pass the search shortcuts are
// derived (first character, anchoring, required literal, first-character set).
//
// The parser: ParseReg (alternatives) > ParseSequence (one alternative) > ParseQuantified
// (an atom and its quantifier) > ParseAtom (and its helpers for classes, escapes, literal
// runs and extended-mode skips). Recursion happens only through capturing groups, of
// which there are at most 14, so the compiler's stack use is bounded. Tested by
// tests/regex/RegExprCompilerTest.cpp.
#include "regex/RegExpr.h"
#include "regex/RegExprNodes.h"

#include <climits>
#include <cstring>

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
    FParsePos = nullptr;
    FPatternStart = nullptr;
    DiscardProgram();
    try {
        if (!FHasExpression) Fail(100);
        FPatternStart = FExpressionText.c_str();
        FProgramModifiers = FModifiers;
        RunPass(true);
        FProgramSize = FEmitPos;
        FProgram.assign(size_t(FProgramSize), 0);
        RunPass(false);
        if (FEmitPos != FProgramSize) Fail(114);
    } catch (...) {
        DiscardProgram();
        FPatternStart = nullptr;
        FCompiled = false;
        throw;
    }
    FPatternStart = nullptr;
    FCompiled = true;
}

// One pass over the pattern; the shortcut analysis follows the emitting pass.
void TRegExpr::RunPass(bool sizing) {
    FSizing = sizing;
    FCompileModifiers = FModifiers;
    FParsePos = FPatternStart;
    FNextGroupNo = 1;
    FEmitPos = 0;
    AppendByte(ProgramSignature);
    int flags = 0;
    ParseReg(false, flags);
    if (!sizing) AnalyseShortcuts(flags);
    FSizing = false;
}

// ======================================================================================
// Emission primitives (positions are offsets into FProgram)
// ======================================================================================

// Makes room for Bytes more bytes at the emit position; only checks in the sizing pass.
void TRegExpr::Reserve(int64_t bytes) {
    if (FSizing) {
        if (FEmitPos + bytes > MaxProgramSize) Fail(101);
    } else if (FEmitPos + bytes > int64_t(FProgram.size())) {
        Fail(114);  // the passes disagree: never happens for a consistent parser
    }
}

int TRegExpr::AppendNode(uint8_t kind) {
    Reserve(HeaderSize);
    int at = int(FEmitPos);
    if (!FSizing) {
        FProgram[at] = kind;
        WriteInt(&FProgram[at + 1], 0);
    }
    FEmitPos += HeaderSize;
    return at;
}

void TRegExpr::AppendByte(uint8_t b) {
    Reserve(1);
    if (!FSizing) FProgram[size_t(FEmitPos)] = b;
    FEmitPos += 1;
}

void TRegExpr::AppendInt(int32_t v) {
    Reserve(4);
    if (!FSizing) WriteInt(&FProgram[size_t(FEmitPos)], v);
    FEmitPos += 4;
}

// Moves everything from At to the emit position Size bytes on and puts a node of Kind
// (with zeroed link and operand integers) in the gap.
void TRegExpr::InsertNode(uint8_t kind, int at, int size) {
    Reserve(size);
    if (!FSizing) {
        uint8_t* p = &FProgram[at];
        std::memmove(p + size, p, size_t(FEmitPos - at));
        p[0] = kind;
        std::memset(p + 1, 0, size_t(size - 1));
    }
    FEmitPos += size;
}

int TRegExpr::NextNodePos(int p) const {
    int32_t link = ReadInt(&FProgram[p + 1]);
    return link == 0 ? -1 : p + link;
}

// Points the link of the last node of P's chain at Target.
void TRegExpr::LinkTail(int p, int target) {
    if (FSizing) return;
    int scan = p;
    for (int next = NextNodePos(scan); next >= 0; next = NextNodePos(scan)) scan = next;
    WriteInt(&FProgram[scan + 1], target - scan);
}

// For an ALT node: LinkTail of its alternative.
void TRegExpr::LinkOperandTail(int p, int target) {
    if (FSizing || FProgram[p] != ALT) return;
    LinkTail(p + HeaderSize, target);
}

// ======================================================================================
// Parser
// ======================================================================================

// Alternatives separated by '|', as a group (OPEN ... CLOSE) or the whole pattern.
int TRegExpr::ParseReg(bool group, int& flags) {
    flags = HasWidth;
    const uint32_t savedModifiers = FCompileModifiers;
    int result = -1;
    int n = 0;
    if (group) {
        if (FNextGroupNo >= MaxGroups) Fail(102);
        n = FNextGroupNo++;
        result = AppendNode(uint8_t(OPEN_BASE + n));
    }
    // lastAlt keeps linking linear in the number of alternatives.
    int altFlags = 0;
    int alt = ParseSequence(altFlags);
    if (group) LinkTail(result, alt); else result = alt;
    int lastAlt = alt;
    if (!(altFlags & HasWidth)) flags &= ~HasWidth;
    flags |= altFlags & StartsRepetition;
    while (*FParsePos == '|') {
        ++FParsePos;
        alt = ParseSequence(altFlags);
        LinkTail(lastAlt, alt);
        lastAlt = alt;
        if (!(altFlags & HasWidth)) flags &= ~HasWidth;
        flags |= altFlags & StartsRepetition;
    }
    const int closing = AppendNode(group ? uint8_t(CLOSE_BASE + n) : uint8_t(END));
    LinkTail(lastAlt, closing);
    if (!FSizing)
        for (int p = result; p >= 0; p = NextNodePos(p)) LinkOperandTail(p, closing);
    if (group) {
        if (*FParsePos != ')') Fail(103);
        ++FParsePos;
    } else if (*FParsePos != '\0') {
        Fail(*FParsePos == ')' ? 104 : 105);
    }
    FCompileModifiers = savedModifiers;
    return result;
}

// One alternative: an ALT node whose alternative is the chain of its pieces.
int TRegExpr::ParseSequence(int& flags) {
    flags = 0;
    const int result = AppendNode(ALT);
    int previous = -1;
    while (*FParsePos != '\0' && *FParsePos != ')' && *FParsePos != '|') {
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
    const char* p = FParsePos + 1;
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
        FParsePos = e;
        if (e - s > 8) Fail(122);
        int v = 0;
        for (; s < e; ++s) v = v * 10 + (*s - '0');
        return v;
    };
    min = number(minStart, minEnd);
    if (!maxStart) max = min;
    else if (maxEnd == maxStart) max = MaxRepeat;
    else max = number(maxStart, maxEnd);
    FParsePos = p;  // at '}'
    if (max < min) Fail(124);
    FParsePos = p + 1;
    return true;
}

// An atom with its optional quantifier; returns the piece's first node.
int TRegExpr::ParseQuantified(int& flags) {
    int atomFlags = 0;
    const int atom = ParseAtom(atomFlags);
    const char op = *FParsePos;
    if (!IsQuantifier(op)) {
        flags = atomFlags;
        return atom;
    }
    int min = 0;
    int max = MaxRepeat;
    if (op == '{') {
        const char* brace = FParsePos;
        if (!ParseBraces(min, max)) {
            FParsePos = brace;
            flags = atomFlags;
            return atom;
        }
        if (!(atomFlags & HasWidth)) {
            FParsePos = brace;
            Fail(106);
        }
    } else {
        if (op != '?' && !(atomFlags & HasWidth)) Fail(106);
        ++FParsePos;
        if (op == '+') min = 1;
        if (op == '?') max = 1;
    }
    bool lazy = !(FCompileModifiers & ModG);
    if (*FParsePos == '?') {
        lazy = true;
        ++FParsePos;
    }
    WrapQuantifier(op, atom, atomFlags, min, max, lazy);
    switch (op) {
    case '*': flags = StartsRepetition; break;
    case '+': flags = HasWidth | StartsRepetition; break;
    case '?': flags = 0; break;
    default: flags = (min > 0 ? HasWidth : 0) | (max > 0 ? StartsRepetition : 0); break;
    }
    if (IsQuantifier(*FParsePos)) Fail(107);
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
        if (!FSizing) {
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
    const char* atomStart = FParsePos;
    if ((FCompileModifiers & ModX) && (IsBlank(*atomStart) || *atomStart == '#'))
        return ParseSkip();
    const char c = *FParsePos++;
    const bool lineAnchors = (FCompileModifiers & ModM) &&
                             (!FLineSeparatorChars.empty() || FPairAssigned);
    switch (c) {
    case '^':
        return AppendNode(lineAnchors ? LINE_START : INPUT_START);
    case '$':
        return AppendNode(lineAnchors ? LINE_END : INPUT_END);
    case '.':
        if (FCompileModifiers & ModS) {
            flags = HasWidth | Single;
            return AppendNode(ANY_CHAR);
        }
        flags = HasWidth;
        return AppendNode(ANY_BUT_LINE_BREAK);
    case '[':
        return ParseClass(flags);
    case '(':
        if (*FParsePos == '?') {
            if (FParsePos[1] == '#') {
                const char* close = std::strchr(FParsePos + 2, ')');
                if (!close) {
                    FParsePos += std::strlen(FParsePos);
                    Fail(125);
                }
                FParsePos = close + 1;
                return AppendNode(SKIP);
            }
            ++FParsePos;
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
        Fail(114);
    case '*':
    case '+':
    case '?':
        Fail(115);
    case '\\':
        return ParseEscape(flags);
    default:
        FParsePos = atomStart;
        return ParseLiteralRun(flags);
    }
}

// Extended mode: a '#' comment to the end of its line (and the line breaks after it), or
// a run of blanks. Either leaves one SKIP node.
int TRegExpr::ParseSkip() {
    const char* p = FParsePos;
    if (*p == '#') {
        while (*p && *p != '\r' && *p != '\n') ++p;
        while (*p == '\r' || *p == '\n') ++p;
    } else {
        while (IsBlank(*p)) ++p;
    }
    FParsePos = p;
    return AppendNode(SKIP);
}

// "(?letters)": the parse position stands after "(?".
void TRegExpr::ParseModifierLetters() {
    bool off = false;
    uint32_t mods = FCompileModifiers;
    for (; *FParsePos != ')'; ++FParsePos) {
        const char c = *FParsePos;
        if (c == '-') {
            off = true;
            continue;
        }
        const uint32_t bit = ModifierBit(c);
        if (bit == 0) Fail(127);  // also the end of the pattern
        mods = off ? (mods & ~bit) : (mods | bit);
    }
    ++FParsePos;
    FCompileModifiers = mods;
}

// The character an escape stands for; the parse position stands on the character after
// the backslash and moves past the escape.
char TRegExpr::UnescapeChar() {
    const char c = *FParsePos++;
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
    if (*FParsePos == '{') {
        for (++FParsePos; *FParsePos != '}'; ++FParsePos) {
            if (*FParsePos == '\0') Fail(111);
            const int d = HexValue(*FParsePos);
            if (d < 0) Fail(108);
            value = value * 16 + d;
            if (value > 255) Fail(112);
        }
        ++FParsePos;
        return value;
    }
    for (int i = 0; i < 2; ++i, ++FParsePos) {
        if (*FParsePos == '\0') Fail(111);
        const int d = HexValue(*FParsePos);
        if (d < 0) Fail(108);
        value = value * 16 + d;
    }
    return value;
}

// A backslash atom; the parse position stands after the backslash.
int TRegExpr::ParseEscape(int& flags) {
    const char c = *FParsePos;
    if (c == '\0') Fail(116);
    const bool ci = FCompileModifiers & ModI;
    flags = HasWidth | Single;
    switch (c) {
    case 'd': ++FParsePos; return AppendNode(DIGIT);
    case 'D': ++FParsePos; return AppendNode(NOT_DIGIT);
    case 's': case 'S': case 'w': case 'W': {
        ++FParsePos;
        // Never case-folded: the settings name the members exactly.
        const std::string& chars = (c == 's' || c == 'S') ? FSpaceCharacters : FWordCharacters;
        bool set[256] = {};
        int count = 0;
        for (char ch : chars)
            if (!set[(unsigned char)ch]) { set[(unsigned char)ch] = true; ++count; }
        return EmitSet(set, count, c == 'S' || c == 'W');
    }
    case 'b': ++FParsePos; flags = 0; return AppendNode(WORD_BOUNDARY);
    case 'B': ++FParsePos; flags = 0; return AppendNode(NOT_WORD_BOUNDARY);
    case 'A': ++FParsePos; flags = 0; return AppendNode(INPUT_START);
    case 'Z': ++FParsePos; flags = 0; return AppendNode(INPUT_END);
    default: break;
    }
    if (c >= '1' && c <= '9') {
        ++FParsePos;
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
    const char* s = FParsePos;
    const bool extended = FCompileModifiers & ModX;
    auto ends = [extended](char c) {
        return c == '\0' || In("^$.[()|?+*\\{", c) || (extended && c == '#');
    };
    int len = 0;
    while (!ends(s[len])) ++len;
    if (len == 0) {
        if (s[0] != '{') Fail(119);
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
    FParsePos = s + len;
    const int node = AppendNode((FCompileModifiers & ModI) ? LITERAL_CI : LITERAL);
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
    if (FCompileModifiers & ModI) {
        const unsigned char s = FSwap[c];
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
    if (*FParsePos == '^') { negated = true; ++FParsePos; }
    bool prevSingle = false;  // the item just before was one character (a range start)
    unsigned char prev = 0;
    if (*FParsePos == ']') {
        AddClassChar(set, count, ']');
        prevSingle = true;
        prev = ']';
        ++FParsePos;
    }
    while (*FParsePos != ']') {
        const char c = *FParsePos;
        if (c == '\0') Fail(113);
        if (c == '-' && prevSingle && FParsePos[1] != '\0' && FParsePos[1] != ']' &&
            !(FParsePos[1] == '\\' && In("dDsSwW", FParsePos[2]))) {
            FParsePos += 2;
            unsigned char hi = (unsigned char)FParsePos[-1];
            if (hi == '\\') {
                if (*FParsePos == '\0') Fail(110);
                hi = (unsigned char)UnescapeChar();
            }
            const bool cyrillic = FCompileModifiers & ModR;
            const bool lower = cyrillic && (prev == 0xE0 && (hi == 0xFF || hi == 0xDF));
            const bool upper = cyrillic && ((prev == 0xC0 && hi == 0xDF) || (prev == 0xE0 && hi == 0xDF));
            if (lower || upper) {
                // Windows-1251 alphabets: the letter YO lies outside the block. These are
                // byte ranges; in UTF-8 text the bytes are parts of multibyte characters,
                // so the rule only matters for subjects in that single-byte code page.
                if (lower) { for (int ch = 0xE0; ch <= 0xFF; ++ch) AddClassChar(set, count, (unsigned char)ch); AddClassChar(set, count, 0xB8); }
                if (upper) { for (int ch = 0xC0; ch <= 0xDF; ++ch) AddClassChar(set, count, (unsigned char)ch); AddClassChar(set, count, 0xA8); }
            } else {
                if (hi < prev) Fail(109);
                for (int ch = prev; ch <= hi; ++ch) AddClassChar(set, count, (unsigned char)ch);
            }
            prevSingle = false;
            continue;
        }
        if (c == '\\') {
            ++FParsePos;
            const char e = *FParsePos;
            if (e == '\0') Fail(110);
            if (e == 'd' || e == 's' || e == 'w') {
                ++FParsePos;
                const std::string digits = "0123456789";
                const std::string& chars = e == 'd' ? digits : e == 's' ? FSpaceCharacters : FWordCharacters;
                for (char ch : chars) AddClassChar(set, count, (unsigned char)ch);
                prevSingle = false;
                continue;
            }
            prev = (unsigned char)UnescapeChar();
        } else {
            prev = (unsigned char)c;
            ++FParsePos;
        }
        AddClassChar(set, count, prev);
        prevSingle = true;
    }
    ++FParsePos;
    flags = HasWidth | Single;
    return EmitSet(set, count, negated);
}

// ======================================================================================
// Search shortcuts
// ======================================================================================

void TRegExpr::AnalyseShortcuts(int topFlags) {
    std::memset(FFirstCharSet, 0, sizeof FFirstCharSet);
    FFillSteps = 0;
    FillFirstChars(FProgram.data() + 1, 0);
    FFirstChar = 0;
    FAnchoredAtStart = false;
    FMustHave = -1;
    FMustHaveLen = 0;
    const uint8_t* first = FProgram.data() + 1;
    const uint8_t* afterFirst = NextNode(first);
    if (!afterFirst || Kind(afterFirst) != END) return;  // several top-level alternatives
    const uint8_t* n = Operand(first);
    if (Kind(n) == LITERAL) FFirstChar = char(Operand(n)[0]);
    else if (Kind(n) == INPUT_START) FAnchoredAtStart = true;
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
        if (++FFillSteps > budget || depth > 256) return all();
        const uint8_t* op = Operand(node);
        const uint8_t kind = Kind(node);
        switch (kind) {
        case ANY_CHAR: case ANY_BUT_LINE_BREAK: case BACKREF: case BACKREF_CI: case END:
            return all();
        case INPUT_END: case LINE_END:
            FFirstCharSet[0] = true;
            if (FModifiers & ModM)
                for (char c : FLineSeparatorChars) FFirstCharSet[(unsigned char)c] = true;
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
            FFirstCharSet[FSwap[op[0]]] = true;
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
            if (!IsOpen(kind) && !IsClose(kind)) Fail(1001);
            break;
        }
        node = NextNode(node);
    }
}
