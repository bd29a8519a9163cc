// regex_bench: TRegExpr next to PCRE2 (interpreter and JIT) and std::regex, all in one
// run on the same generated texts: an album XML of about 1 MB (2,000 image tags and a
// song attribute) and an album page of about 200 KB. Each row times one Exec and the
// ExecNext calls over all matches (the other engines walk their matches the same way)
// and takes the best of several runs. The table gives the times and the ratios
// TRegExpr / PCRE2 interpreter (target: at most 0.5), TRegExpr / PCRE2 JIT (target: at
// most 2) and std::regex / TRegExpr (a reference column). Every engine must find the
// same number of matches. Run it on a quiet machine: other work skews the ratios.
//
// std::regex recurses once per character it repeats over, so it runs on a thread with a
// large stack; its dot does not cross line breaks, so "." becomes "[\s\S]" for it.
#include "regex/RegExpr.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string AlbumXml() {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                      "<album id=\"2290117\" title=\"spring in the hills\" owner=\"tavo-user-8812\" "
                      "song=\"http://music.tavo.example/bg/2290117/theme.mp3\" count=\"2000\">\r\n";
    for (int i = 0; i < 2000; ++i) {
        const std::string n = std::to_string(100000 + i * 37);
        xml += "  <photo index=\"" + std::to_string(i) + "\" taken=\"2013-04-0" + std::to_string(i % 9 + 1) +
               "\">\r\n    <image path=\"http://img" + std::to_string(i % 8) + ".tavo.example/photos/2290117/" + n +
               "_b.jpg\" width=\"" + std::to_string(640 + i % 300) + "\" height=\"" + std::to_string(480 + i % 200) +
               "\"/>\r\n    <thumb path=\"http://img" + std::to_string(i % 8) + ".tavo.example/photos/2290117/" + n +
               "_s.jpg\" width=\"120\" height=\"90\"/>\r\n    <caption>photo number " + std::to_string(i) +
               " of the album, taken on a walk along the ridge; light rain in the afternoon, "
               "clear evening sky, wind from the west</caption>\r\n"
               "    <exif camera=\"model 40D\" exposure=\"1/250\" aperture=\"f/8\" iso=\"200\" lens=\"17-85mm\"/>\r\n"
               "  </photo>\r\n";
    }
    return xml + "</album>\r\n";
}

std::string AlbumPage() {
    std::string page = "<!DOCTYPE html>\r\n<html>\r\n<head>\r\n<meta charset=\"utf-8\">\r\n"
                       "<title>Spring album photos - Tavo photo sharing</title>\r\n"
                       "<link rel=\"stylesheet\" href=\"/css/main.css\">\r\n</head>\r\n<body>\r\n";
    for (int i = 0; page.size() < 100000; ++i)
        page += "<div class=\"row\"><span class=\"label\">item " + std::to_string(i) +
                "</span><a href=\"/album/list?page=" + std::to_string(i) + "\">more albums</a><b>new</b></div>\r\n";
    page += "<p><a href=\"http://photo.tavo.example/code_without_top.html?id=2290117&from=page\">slide show</a></p>\r\n";
    for (int i = 0; page.size() < 200000; ++i)
        page += "<li><em>comment " + std::to_string(i) + "</em> lovely pictures, thanks for sharing</li>\r\n";
    return page + "</body>\r\n</html>\r\n";
}

// Best time of Runs calls of F, in milliseconds; F returns the number of matches.
double Time(int runs, const std::function<int()>& f, int& matches) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = Clock::now();
        matches = f();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        if (ms < best) best = ms;
    }
    return best;
}

int CountTRegExpr(TRegExpr& rx, const std::string& text) {
    int n = 0;
    for (bool m = rx.Exec(text); m; m = rx.ExecNext()) ++n;
    return n;
}

struct Pcre {
    pcre2_code* Code = nullptr;
    pcre2_match_data* Data = nullptr;
    Pcre(const std::string& pattern, bool jit) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(), PCRE2_DOTALL, &error,
                             &offset, nullptr);
        if (!Code) throw std::runtime_error("pcre2_compile failed for " + pattern);
        if (jit && pcre2_jit_compile(Code, PCRE2_JIT_COMPLETE) != 0) throw std::runtime_error("no JIT");
        Data = pcre2_match_data_create_from_pattern(Code, nullptr);
    }
    ~Pcre() {
        pcre2_match_data_free(Data);
        pcre2_code_free(Code);
    }
    int Count(const std::string& text) {
        int n = 0;
        size_t start = 0;
        while (start <= text.size()) {
            if (pcre2_match(Code, reinterpret_cast<PCRE2_SPTR>(text.c_str()), text.size(), start, 0, Data,
                            nullptr) < 0)
                break;
            const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(Data);
            ++n;
            start = ov[1] + (ov[1] == ov[0] ? 1 : 0);
        }
        return n;
    }
};

std::string ForStdRegex(const std::string& pattern) {
    std::string out;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\' && i + 1 < pattern.size()) {
            out += pattern.substr(i, 2);
            ++i;
        } else if (pattern[i] == '.') {
            out += "[\\s\\S]";
        } else {
            out += pattern[i];
        }
    }
    return out;
}

int CountStdRegex(const std::regex& re, const std::string& text) {
    int n = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) ++n;
    return n;
}

// Runs F on a thread with a 1 GB stack (reserved address space, touched only as used).
void RunWithBigStack(const std::function<void()>& f) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size_t(1) << 30);
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&f));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

struct Row {
    const char* name;
    std::string pattern;
    const std::string* text;
};

}  // namespace

int main() {
    const std::string xml = AlbumXml();
    const std::string page = AlbumPage();
    std::printf("album XML %zu bytes, album page %zu bytes; best of several runs, milliseconds\n\n", xml.size(),
                page.size());
    const std::vector<Row> rows = {
        {"song (XML)", "song=\"(.*?)\"", &xml},
        {"image path (XML)", "<image path=\"(.*?)\"", &xml},
        {"title + id (page)", "<title>(.*?) .*?code_without_top.html\\?id=(.*?)&", &page},
        {"alternation (XML)", "(width|height|iso)=\"(\\d+)\"", &xml},
        {"back-reference (page)", "<(\\w+)[^>]*>[^<]*</\\1>", &page},
    };
    std::printf("%-22s %7s %9s %9s %9s %11s %8s %8s %8s\n", "row", "matches", "TRegExpr", "PCRE2", "PCRE2-JIT",
                "std::regex", "T/PCRE2", "T/JIT", "std/T");
    bool ok = true;
    for (const Row& row : rows) {
        int mT = 0, mP = 0, mJ = 0, mS = 0;
        TRegExpr rx;
        rx.SetExpression(row.pattern);
        const double tT = Time(20, [&] { return CountTRegExpr(rx, *row.text); }, mT);
        Pcre interp(row.pattern, false);
        const double tP = Time(20, [&] { return interp.Count(*row.text); }, mP);
        Pcre jit(row.pattern, true);
        const double tJ = Time(20, [&] { return jit.Count(*row.text); }, mJ);
        double tS = 0;
        RunWithBigStack([&] {
            const std::regex re(ForStdRegex(row.pattern));
            tS = Time(3, [&] { return CountStdRegex(re, *row.text); }, mS);
        });
        const bool same = mT == mP && mP == mJ && mJ == mS;
        ok = ok && same;
        std::printf("%-22s %7d %9.3f %9.3f %9.3f %11.3f %8.2f %8.2f %8.1f%s\n", row.name, mT, tT, tP, tJ, tS, tT / tP,
                    tT / tJ, tS / tT, same ? "" : "  (match counts differ)");
        if (tT / tP > 0.5) std::printf("  ^ above the target of 0.5x the PCRE2 interpreter\n");
        if (tT / tJ > 2.0) std::printf("  ^ above the target of 2x the PCRE2 JIT\n");
    }
    return ok ? 0 : 1;
}
