// albrivo-cli's options and output, table-driven, without a process: the argument rules,
// the texts that make terminals safe, the progress line and how whole lines and the
// progress line share a terminal.
#include "app/cliOptions.h"
#include "app/cliOutput.h"
#include "app/commonDefine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

TEST(CliOptions, ArgumentsAndTheirErrors) {
    struct TCase {
        std::vector<std::string> Args;
        std::string Error;  // empty: accepted
        std::vector<std::string> Urls = {};
        int Jobs = 4;
        int Timeout = 30;
        std::string Dir = "";
    };
    const TCase cases[] = {
        {{"http://h/a.html"}, "", {"http://h/a.html"}},
        {{"--jobs", "1", "--timeout", "2", "--quiet", "--music", "x"}, "", {"x"}, 1, 2},
        {{"--jobs", "16", "x"}, "", {"x"}, 16},
        // short forms, values attached or apart, bundles, "--opt=value"
        {{"-j", "8", "-T5", "-qm", "-d", "out", "x"}, "", {"x"}, 8, 5, "out"},
        {{"-j8", "--timeout=7", "--dir=a=b", "x"}, "", {"x"}, 8, 7, "a=b"},
        {{"--jobs=8", "x"}, "", {"x"}, 8},
        // unambiguous abbreviations
        {{"--jo", "3", "--tim=9", "--di", "d", "x"}, "", {"x"}, 3, 9, "d"},
        // several addresses, options after them, "--" ending the options
        {{"a", "-j2", "b", "--", "-c", "--jobs"}, "", {"a", "b", "-c", "--jobs"}, 2},
        {{"-i", "list", "--input-file=-"}, ""},
        {{"--music"}, ""},  // the addresses may all come from input files
        {{"--help", "--bogus"}, ""},  // --help ends the reading
        {{"--version", "--jobs", "x"}, ""},
        {{"--jobs", "0", "x"}, "--jobs takes a number from 1 to 16: 0"},
        {{"--jobs", "17", "x"}, "--jobs takes a number from 1 to 16: 17"},
        {{"--jobs", "two", "x"}, "--jobs takes a number from 1 to 16: two"},
        {{"--jobs", "-1", "x"}, "--jobs takes a number from 1 to 16: -1"},
        {{"-j", "", "x"}, "--jobs takes a number from 1 to 16: "},
        {{"--timeout", "0", "x"}, "--timeout takes seconds from 1 to 3600: 0"},
        {{"--timeout", "1.5", "x"}, "--timeout takes seconds from 1 to 3600: 1.5"},
        {{"--timeout"}, "--timeout needs a value"},
        {{"--dir"}, "--dir needs a value"},
        {{"x", "-d"}, "-d needs a value"},
        {{"--fast", "x"}, "unknown argument: --fast"},
        {{"--fast=1", "x"}, "unknown argument: --fast"},
        {{"-x", "a"}, "unknown argument: -x"},
        {{"-qx", "a"}, "unknown argument: -x"},
        {{"--music=yes", "a"}, "--music takes no value"},
        {{"--mus=yes", "a"}, "--music takes no value"},
        {{"--site", "nohost", "x"}, "--site: not HOST:PORT: nohost"},
        {{"--site=", "x"}, "--site: not HOST:PORT: "},
    };
    for (const TCase& c : cases) {
        std::string trace;
        for (const std::string& a : c.Args) trace += a + " ";
        SCOPED_TRACE(trace);
        TCliOptions o;
        std::string error;
        EXPECT_EQ(ParseCliArguments(c.Args, o, error), c.Error.empty());
        EXPECT_EQ(error, c.Error);
        if (c.Error.empty()) {
            EXPECT_EQ(o.PageUrls, c.Urls);
            EXPECT_EQ(o.Jobs, c.Jobs);
            EXPECT_EQ(o.TimeoutSeconds, c.Timeout);
            EXPECT_EQ(o.Dir, c.Dir);
        }
        EXPECT_EQ(SiteHost(), DefaultSiteHost);  // parsing applies nothing
    }
}

TEST(CliOptions, SwitchesAndInputFiles) {
    TCliOptions o;
    std::string error;
    ASSERT_TRUE(ParseCliArguments({"-mq", "--no-rep", "-i", "a.txt", "--input=-", "u"}, o, error)) << error;
    EXPECT_TRUE(o.Music);
    EXPECT_TRUE(o.Quiet);
    EXPECT_FALSE(o.Report);
    EXPECT_EQ(o.InputFiles, (std::vector<std::string>{"a.txt", "-"}));

    TCliOptions defaults;
    ASSERT_TRUE(ParseCliArguments({"u"}, defaults, error));
    EXPECT_FALSE(defaults.Music || defaults.Quiet || defaults.Help || defaults.Version);
    EXPECT_TRUE(defaults.Report);
    EXPECT_EQ(defaults.Dir, "");  // the current folder

    TCliOptions help, version;
    ASSERT_TRUE(ParseCliArguments({"-h", "-V"}, help, error));
    ASSERT_TRUE(ParseCliArguments({"-V", "-h"}, version, error));
    EXPECT_TRUE(help.Help && !help.Version);
    EXPECT_TRUE(version.Version && !version.Help);
}

TEST(CliOptions, AddressListSkipsBlanksAndComments) {
    std::istringstream in("http://h/a.html\n"
                          "\n"
                          "   \t\n"
                          "# a comment\n"
                          "  # an indented comment\n"
                          "  http://h/b.html  \r\n"
                          "http://h/c.html#part\n"
                          "http://h/d.html");  // no line break at the end
    std::vector<std::string> urls = {"first"};
    ReadAddressList(in, urls);
    EXPECT_EQ(urls, (std::vector<std::string>{"first", "http://h/a.html", "http://h/b.html", "http://h/c.html#part",
                                              "http://h/d.html"}));
}

TEST(CliOptions, HelpNamesEveryOptionAndVersionTheRelease) {
    std::string help = CliHelp();
    EXPECT_EQ(help.rfind(CliUsage(), 0), 0u);
    for (const char* option : {"-m, --music", "-d, --dir=DIR", "-i, --input-file=FILE", "    --site=HOST:PORT",
                               "-j, --jobs=N", "-T, --timeout=SECONDS", "-q, --quiet", "    --no-report",
                               "-h, --help", "-V, --version", "PAGE_URL...", "log.php"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    // Every line fits a terminal of 80 columns.
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_EQ(CliVersion(), std::string("albrivo-cli ") + ALBRIVO_VERSION);
}

TEST(TerminalSafe, ControlBytesNeverPassRaw) {
    struct TCase { std::string in, out; };
    const TCase cases[] = {
        {"春日花园 12/12", "春日花园 12/12"},
        {"\x1b[31mred\x1b[0m", "?[31mred?[0m"},
        {"over\rwrite", "over?write"},
        {"bell\a", "bell?"},
        {"tab\tnew\nline", "tab?new?line"},
        {"del\x7f", "del?"},
        {"c1 \xC2\x9B" "31m", "c1 ?31m"},        // U+009B, the one-character CSI
        {"nbsp \xC2\xA0 stays", "nbsp \xC2\xA0 stays"},
        {"stray \x9B byte", "stray \xEF\xBF\xBD byte"},  // invalid UTF-8: U+FFFD, not a C1 control
        {"", ""},
    };
    for (const TCase& c : cases) EXPECT_EQ(TerminalSafe(c.in), c.out) << c.in;
}

TEST(ProgressLine, BytesRateAndFitting) {
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(1536), "1.5 KB");
    EXPECT_EQ(FormatBytes(5 * 1024 * 1024 + 512 * 1024), "5.5 MB");
    EXPECT_EQ(FormatBytes(int64_t(3) << 30), "3.0 GB");
    EXPECT_EQ(ProgressLineText(5, 12, 2 * 1024 * 1024, 2.0), "[5/12] 2.0 MB 1.0 MB/s");
    EXPECT_EQ(ProgressLineText(1, 3, 100, 0.0), "[1/3] 100 B");
    EXPECT_EQ(FitColumns("abcdef", 4), "abcd");
    EXPECT_EQ(FitColumns("春日花园", 5), "春日");   // two columns each, never half a character
    EXPECT_EQ(FitColumns("ab", 10), "ab");
}

// What TCliOutput wrote to a memory file.
class TMemoryFile {
public:
    TMemoryFile() : FFile(open_memstream(&FData, &FSize)) {}
    ~TMemoryFile() {
        std::fclose(FFile);
        std::free(FData);
    }
    FILE* File() { return FFile; }
    std::string Text() {
        std::fflush(FFile);
        return std::string(FData, FSize);
    }

private:
    char* FData = nullptr;
    size_t FSize = 0;
    FILE* FFile;
};

TEST(CliOutput, LinesAndTheProgressLineShareTheTerminal) {
    TMemoryFile out, err;
    TCliOutput terminal(out.File(), err.File(), true, 20);
    terminal.SetProgress("[1/3] 10 B");
    terminal.SetProgress("[1/3] 10 B");  // unchanged: not drawn again
    terminal.Line("下载失败: 1.jpg", true);
    terminal.SetProgress("[2/3] a much longer line than twenty columns");
    terminal.Line("\x1b[31m");
    terminal.EndProgress();
    EXPECT_EQ(out.Text(),
              "\r[1/3] 10 B\x1b[K"
              "\r\x1b[K" "\r[1/3] 10 B\x1b[K"               // cleared for the error line, drawn again
              "\r[2/3] a much longer\x1b[K"                  // fitted to 19 columns
              "\r\x1b[K" "?[31m\n" "\r[2/3] a much longer\x1b[K"
              "\r\x1b[K");
    EXPECT_EQ(err.Text(), "下载失败: 1.jpg\n");

    TMemoryFile plainOut, plainErr;
    TCliOutput plain(plainOut.File(), plainErr.File(), false, 80);
    plain.SetProgress("ignored");
    plain.Line("正在下载: [1/3] - 0.jpg");
    plain.EndProgress();
    EXPECT_EQ(plainOut.Text(), "正在下载: [1/3] - 0.jpg\n");
}

}  // namespace
