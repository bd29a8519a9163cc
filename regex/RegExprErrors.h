// RegExprErrors: the error codes of the regular-expression engine, one name each.
//
// ERegExpr::Code and TRegExpr::LastErrorCode hold one of these; TRegExpr::ErrorText gives
// each its message. Codes below 1000 are compile errors (their message ends with the
// pattern position), codes from 1000 on are raised while searching or by the settings.
// The numbers are part of the engine's interface and never change.
#pragma once

// ---- compiling --------------------------------------------------------------------------
constexpr int reeOk = 0;                                 // no error
constexpr int reeCompNullArgument = 100;                 // no pattern text to compile
constexpr int reeCompRegexpTooBig = 101;                 // the program would pass 1 GB
constexpr int reeCompParseRegTooManyBrackets = 102;      // a 15th capturing group
constexpr int reeCompParseRegUnmatchedBrackets = 103;    // a group is not closed
constexpr int reeCompParseRegUnmatchedBrackets2 = 104;   // ')' without an open group
constexpr int reeCompParseRegJunkOnEnd = 105;            // text after the pattern's end
constexpr int reePlusStarOperandCouldBeEmpty = 106;      // * + {} on what may match empty
constexpr int reeNestedSQP = 107;                        // a quantifier after a quantifier
constexpr int reeBadHexDigit = 108;                      // a non-hex digit in \x
constexpr int reeInvalidRange = 109;                     // a class range whose end < start
constexpr int reeParseAtomTrailingBackSlash = 110;       // '\' ends a class
constexpr int reeNoHexCodeAfterBSlashX = 111;            // the pattern ends in \x
constexpr int reeHexCodeAfterBSlashXTooBig = 112;        // \x{...} above 255
constexpr int reeUnmatchedSqBrackets = 113;              // a class is not closed
constexpr int reeInternalUrp = 114;                      // an atom at the end, ')' or '|'
constexpr int reeQPSBFollowsNothing = 115;               // a quantifier with no atom
constexpr int reeTrailingBackSlash = 116;                // the pattern ends in '\'
constexpr int reeRarseAtomInternalDisaster = 119;        // an empty literal run
constexpr int reeBRACESArgTooBig = 122;                  // a {} number of over 8 digits
constexpr int reeBracesMinParamGreaterMax = 124;         // {m,n} with n < m
constexpr int reeUnclosedComment = 125;                  // (?# without ')'
constexpr int reeComplexBracesNotImplemented = 126;      // never raised
constexpr int reeUrecognizedModifier = 127;              // a bad letter in (?...)
constexpr int reeBadLinePairedSeparator = 128;           // LinePairedSeparator not 0 or 2
                                                         // different characters
// ---- searching ----------------------------------------------------------------------------
constexpr int reeRegRepeatCalledInappropriately = 1000;  // a repeat over no single node
constexpr int reeMatchPrimMemoryCorruption = 1001;       // a program byte is no node kind
constexpr int reeMatchPrimCorruptedPointers = 1002;      // a node chain ends too early
constexpr int reeNoExpression = 1003;                    // searching without a pattern
constexpr int reeCorruptedProgram = 1004;                // the program's signature is bad
constexpr int reeNoInputStringSpecified = 1005;          // searching without a subject
constexpr int reeOffsetMustBeGreaterThen0 = 1006;        // ExecPos with an offset below 1
constexpr int reeExecNextWithoutExec = 1007;             // ExecNext without a current match
constexpr int reeGetInputStringWithoutInputString = 1008;  // InputString before one was set
constexpr int reeDumpCorruptedOpcode = 1011;             // never raised
constexpr int reeModifierUnsupported = 1013;             // a modifier index outside 1..6
                                                         // (its text is "Unknown error")
constexpr int reeLoopStackExceeded = 1014;               // more than 10 general loops nest
constexpr int reeLoopWithoutEntry = 1015;                // a LOOP node with no loop active
constexpr int reeMatchRecursionTooDeep = 1016;           // the backtrack stack is full
constexpr int reeMatchStepLimitExceeded = 1017;          // the search's step budget is spent
constexpr int reeMatchCancelled = 1018;                  // OnMatchProgress said stop
constexpr int reeBadPCodeImported = 2000;                // never raised
