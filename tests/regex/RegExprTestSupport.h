// RegExprTestSupport: small helpers shared by the regular-expression tests.
#pragma once

#include "regex/RegExpr.h"

#include <gtest/gtest.h>

#include <string>

// Applies modifier letters to an engine: "i" switches i on, "-s" switches s off,
// "m-g" switches m on and g off (the letters of (?...) groups, in index order i r s g m x).
inline void ApplyModifiers(TRegExpr& rx, const std::string& mods) {
    static const std::string letters = "irsgmx";
    bool on = true;
    for (char c : mods) {
        if (c == '-') { on = false; continue; }
        rx.SetModifierFlag(int(letters.find(c)) + 1, on);
    }
}

// Runs F and returns the ERegExpr it raised; fails the test when it raised nothing.
template <class F>
ERegExpr CatchRegExpr(F f) {
    try {
        f();
    } catch (const ERegExpr& e) {
        return e;
    }
    ADD_FAILURE() << "no ERegExpr raised";
    return ERegExpr("", -1, -1);
}
