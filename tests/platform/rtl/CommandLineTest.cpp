// The option reading shared by the three programs, on a table of its own: what reaches
// the handler, the operands, the error texts (ambiguous abbreviations among them), the
// optional value, a handler that stops or refuses, and the help lines made from the table.
#include "platform/rtl/CommandLine.h"

#include <gtest/gtest.h>

namespace {

enum { Tls = 1, Timeout, Smoke, Site, Verbose, Help };

const std::vector<TOptionSpec>& Table() {
    static const std::vector<TOptionSpec> table = {
        {Tls, 0, "tls", nullptr, "secure"},
        {Timeout, 'T', "timeout", "SECONDS", "give up\nafter this long"},
        {Smoke, 0, "smoke", "[MS]", "close"},
        {Site, 0, "site-with-a-long-name", "HOST:PORT", "the site"},
        {Verbose, 'v', "verbose", nullptr, "more"},
        {Help, 'h', "help", nullptr, "this help"},
    };
    return table;
}

// "id=value" for each option read, then "| " and the operands; or "error: ...".
std::string Read(const std::vector<std::string>& args) {
    std::string seen, error;
    std::vector<std::string> operands;
    auto onOption = [&seen](const TOptionSpec& o, const std::string& value, std::string& e) {
        seen += std::to_string(o.Id) + "=" + value + " ";
        if (value == "bad") e = "refused: " + value;
        return o.Id != Help;
    };
    if (!ReadOptions(args, Table(), onOption, operands, error)) return "error: " + error;
    seen += "|";
    for (const std::string& operand : operands) seen += " " + operand;
    return seen;
}

TEST(CommandLine, OptionsOperandsAndErrors) {
    struct TCase { std::vector<std::string> Args; std::string Seen; };
    const TCase cases[] = {
        {{}, "|"},
        {{"a", "-T", "5", "b", "-vT6", "--timeout=7", "--ti", "8"}, "2=5 5= 2=6 2=7 2=8 | a b"},
        {{"--tls", "--", "--tls", "-v"}, "1= | --tls -v"},
        {{"-", "a"}, "| - a"},  // "-" alone is an operand
        // the optional value: attached, the next word, or none
        {{"--smoke=300", "--smoke", "400", "--smoke", "-v", "--smoke"}, "3=300 3=400 3= 5= 3= |"},
        {{"--smoke", "--", "x"}, "3= | x"},
        // --help stops the reading: what follows is not looked at
        {{"-h", "--bogus", "-T"}, "6= |"},
        {{"--t"}, "error: ambiguous option: --t (--tls, --timeout)"},
        {{"--t=1"}, "error: ambiguous option: --t (--tls, --timeout)"},
        {{"--tl"}, "1= |"},
        {{"--bogus"}, "error: unknown argument: --bogus"},
        {{"--"}, "|"},
        {{"-x"}, "error: unknown argument: -x"},
        {{"-vx"}, "error: unknown argument: -x"},
        {{"--tls=yes"}, "error: --tls takes no value"},
        {{"--verbose=1"}, "error: --verbose takes no value"},
        {{"-T"}, "error: -T needs a value"},
        {{"--timeout"}, "error: --timeout needs a value"},
        {{"--site-with"}, "error: --site-with-a-long-name needs a value"},
        {{"-T", "bad"}, "error: refused: bad"},
    };
    for (const TCase& c : cases) {
        std::string trace;
        for (const std::string& a : c.Args) trace += a + " ";
        EXPECT_EQ(Read(c.Args), c.Seen) << trace;
    }
    // The state getopt_long keeps between calls does not leak into the next reading.
    EXPECT_EQ(Read({"-vq"}), "error: unknown argument: -q");
    EXPECT_EQ(Read({"a", "-v"}), "5= | a");
}

TEST(CommandLine, HelpLinesFromTheTable) {
    EXPECT_EQ(OptionsHelp(Table(), 24),
              "      --tls             secure\n"
              "  -T, --timeout=SECONDS\n"  // less than two blanks before the help: a line apart
              "                        give up\n"
              "                        after this long\n"
              "      --smoke[=MS]      close\n"
              "      --site-with-a-long-name=HOST:PORT\n"
              "                        the site\n"
              "  -v, --verbose         more\n"
              "  -h, --help            this help\n");
}

}  // namespace
