// Bounded work: the album patterns on pages and documents shaped to make backtracking
// engines explode, up to the 16 MB cap the album run reads, each ending within a few
// seconds with the right result; patterns that still explode (back-references, general
// loops) end with the step budget's error; OnMatchProgress hears long searches and may
// cancel them; the backtrack stack's bound is the same number on every thread.
#include "regex/RegExpr.h"
#include "tests/regex/RegExprTestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <pthread.h>
#include <vector>

namespace {

constexpr const char* PagePattern = "<title>(.*?) .*?code_without_top.html\\?id=(.*?)&";
constexpr const char* SongPattern = "song=\"(.*?)\"";
constexpr const char* ImagePattern = "<image path=\"(.*?)\"";
constexpr size_t Cap = 16 * 1024 * 1024;

// Sanitizer builds run several times slower; the bounds are about the algorithm.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double Slack = 8;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr double Slack = 8;
#else
constexpr double Slack = 1;
#endif
#else
constexpr double Slack = 1;
#endif
constexpr double FewSeconds = 3 * Slack;

// Processor time of this thread, so that other work on the machine (a parallel build,
// other tests) does not count.
double Seconds(const std::function<void()>& f) {
    auto now = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    };
    const double t0 = now();
    f();
    return now() - t0;
}

std::string Repeat(const std::string& unit, size_t size) {
    std::string s;
    s.reserve(size + unit.size());
    while (s.size() < size) s += unit;
    return s;
}

// The shape new users met: a title with many blanks, the player address with no "&"
// after the album id, the rest of the page without "&".
std::string TitleOfBlanksNoAmpersand(size_t size) {
    std::string page = "<html><head><title>" + Repeat("spring album ", size / 2) + "</title></head><body>";
    page += "<a href=\"http://photo.tavo.example/code_without_top.html?id=2290117\">slide show</a>\r\n";
    return page + Repeat("<p>lovely pictures, thanks for sharing</p>\r\n", size - page.size());
}

struct Shape {
    const char* name;
    const char* pattern;
    std::string text;
};

}  // namespace

TEST(RegExprBounds, AlbumPageOfTheReportedShapeAtEverySize) {
    for (size_t size : {size_t(120 * 1024), size_t(600 * 1024), Cap}) {
        SCOPED_TRACE(size);
        const std::string page = TitleOfBlanksNoAmpersand(size);
        TRegExpr rx;
        rx.SetExpression(PagePattern);
        bool found = true;
        const double s = Seconds([&] { found = rx.Exec(page); });
        EXPECT_FALSE(found);
        EXPECT_LT(s, FewSeconds);
        RecordProperty("seconds_" + std::to_string(size), std::to_string(s));
        // The same page with the "&" finds the title's first word and the id.
        const std::string fixed = page + "code_without_top.html?id=42&x";
        EXPECT_TRUE(rx.Exec(fixed));
        EXPECT_EQ(rx.GroupText(1), "spring");
        const size_t id = fixed.find("?id=") + 4;
        EXPECT_EQ(rx.GroupText(2), fixed.substr(id, fixed.find('&') - id));
    }
}

TEST(RegExprBounds, OtherExplosiveShapesUpToTheCap) {
    const std::vector<Shape> shapes = {
        {"many titles, no ampersand", PagePattern, Repeat("<title>a b c code_without_top.html?id=7 x ", Cap)},
        {"many ids after one title", PagePattern,
         "<title>a b c d " + Repeat("code_without_top.html?id=1 ", Cap)},
        {"blanks only after the title", PagePattern, "<title>" + std::string(Cap, ' ')},
        {"title tags without blanks", PagePattern, Repeat("<title>abc", Cap)},
        {"blanks and c after many titles", PagePattern, Repeat("<title> c c c c c c c c ", Cap)},
        // The XML patterns' own quote ends every match, so they cannot explode; they must
        // still walk a document at the cap, and one whose quote never comes.
        {"song without its closing quote", SongPattern, "<album song=\"" + Repeat("x song=y ", Cap)},
        {"image path without its closing quote", ImagePattern, "<image path=\"" + Repeat("http://img/1.jpg ", Cap)},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        TRegExpr rx;
        rx.SetExpression(shape.pattern);
        int matches = 0;
        const double s = Seconds([&] {
            for (bool m = rx.Exec(shape.text); m; m = rx.ExecNext()) ++matches;
        });
        EXPECT_EQ(matches, 0);
        EXPECT_LT(s, FewSeconds);
    }
}

TEST(RegExprBounds, MemoLeavesResultsAsTheyWere) {
    // Searches that run long enough to start the memo and then match.
    TRegExpr rx;
    rx.SetExpression(PagePattern);
    std::string page = TitleOfBlanksNoAmpersand(200 * 1024);
    const size_t title = page.find("<title>");
    page += "<title>last one code_without_top.html?id=77&end";
    ASSERT_TRUE(rx.Exec(page));
    EXPECT_EQ(rx.GroupPos(0), int(title) + 1);  // the first title, up to the only "&"
    EXPECT_EQ(rx.GroupText(1), "spring");
    const size_t id = page.find("?id=") + 4;
    EXPECT_EQ(rx.GroupText(2), page.substr(id, page.find('&') - id));
    rx.SetExpression("(a|aa)+b");
    ASSERT_TRUE(rx.Exec(std::string(5000, 'a') + "c" + std::string(3, 'a') + "b"));
    EXPECT_EQ(rx.GroupPos(0), 5002);
    EXPECT_EQ(rx.GroupText(0), "aaab");
    EXPECT_EQ(rx.GroupText(1), "a");
}

TEST(RegExprBounds, ExplosiveWithoutAMemoEndsWithTheBudget) {
    // A back-reference keeps the memo off; a general loop keeps it off for its body.
    struct Case {
        const char* pattern;
        std::string text;
        int64_t limit;  // 0: the default budget
    };
    const std::vector<Case> cases = {
        {"(a|aa)+\\1b", std::string(60, 'a') + "cb", 0},
        {"((a|aa)+){1,2}b", std::string(60, 'a') + "cb", 5000000},
        {"(x+x+)+\\1y", std::string(40, 'x') + "zy", 5000000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        TRegExpr rx;
        rx.SetMatchStepLimit(c.limit);
        rx.SetExpression(c.pattern);
        int code = 0;
        const double s = Seconds([&] {
            code = CatchRegExpr([&] { rx.Exec(c.text); }).Code;
        });
        EXPECT_EQ(code, reeMatchStepLimitExceeded);
        EXPECT_LT(s, FewSeconds);
    }
    // Without a back-reference the same shape ends quickly with its result.
    TRegExpr rx;
    rx.SetExpression("(x+x+)+y");
    EXPECT_FALSE(rx.Exec(std::string(5000, 'x') + "zy"));
}

TEST(RegExprBounds, ProgressEventHearsLongSearchesAndCancels) {
    TRegExpr rx;
    int calls = 0;
    rx.OnMatchProgress = [&] { return ++calls < 3; };
    rx.SetExpression("(a|aa)+\\1b");
    const ERegExpr e = CatchRegExpr([&] { rx.Exec(std::string(60, 'a') + "cb"); });
    EXPECT_EQ(e.Code, reeMatchCancelled);
    EXPECT_EQ(e.Message(), "TRegExpr(exec): Match Cancelled");
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(rx.LastErrorCode(), reeMatchCancelled);
    EXPECT_EQ(rx.GroupPos(0), -1);
    // Short searches never call it, and the engine goes on working.
    calls = 0;
    EXPECT_TRUE(rx.Exec("aab"));
    EXPECT_EQ(calls, 0);
    // A page of the reported shape calls it while it runs.
    rx.OnMatchProgress = [&] { return ++calls > 0; };
    rx.SetExpression(PagePattern);
    EXPECT_FALSE(rx.Exec(TitleOfBlanksNoAmpersand(Cap)));
    EXPECT_GT(calls, 0);
}

TEST(RegExprBounds, BacktrackStackBoundIsTheSameOnEveryThread) {
    // "(a|b)*c" keeps a few entries per character: a subject of 200,000 fits, one of
    // 1,000,000 does not, on the main thread and on one with a machine stack of 128 KB.
    auto run = [](size_t n) {
        TRegExpr rx;
        rx.SetExpression("(a|b)*c");
        std::string s;
        for (size_t i = 0; i < n / 2; ++i) s += "ab";
        s += "c";
        try {
            return rx.Exec(s) && rx.GroupLen(0) == int(n + 1) ? 0 : -1;
        } catch (const ERegExpr& e) {
            return e.Code;
        }
    };
    EXPECT_EQ(run(200000), 0);
    EXPECT_EQ(run(1000000), reeMatchRecursionTooDeep);
    int small = -2, large = -2;
    std::function<void()> body = [&] {
        small = run(200000);
        large = run(1000000);
    };
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, [](void* f) -> void* {
        (*static_cast<std::function<void()>*>(f))();
        return nullptr;
    }, &body), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(small, 0);
    EXPECT_EQ(large, reeMatchRecursionTooDeep);
}
