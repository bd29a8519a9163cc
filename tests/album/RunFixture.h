// RunFixture: what the album-run tests share: a demo site on a free loopback port with
// its report log, a TAlbumRun into a private folder with short retry waits, every event
// of the run recorded, a stop delivered by the message loop (as a click on the stop
// button would be), and helpers that read the site's request log and the files.
#pragma once

#include "album/albumRun.h"
#include "demo/DemoSite.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace runfixture {

inline std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

inline void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
}

// Decodes one form-encoded value ("+" is a blank, "%XX" a byte).
inline std::string FormDecode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '+') out += ' ';
        else if (s[i] == '%' && i + 2 < s.size()) {
            out += char(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else out += s[i];
    }
    return out;
}

inline std::map<std::string, std::string> FormFields(const std::string& body) {
    std::map<std::string, std::string> fields;
    std::stringstream in(body);
    std::string pair;
    while (std::getline(in, pair, '&')) {
        size_t eq = pair.find('=');
        fields[pair.substr(0, eq)] = eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1));
    }
    return fields;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) lines.push_back(l);
    return lines;
}

// A port with nothing listening: a site is started, its port noted, the site stopped.
inline int ClosedPort() {
    TDemoSiteThread site;
    return site.Site().Port();
}

inline std::string NewReportLog() {
    static int serial = 0;
    return PrivateTempDir() + "reports-" + std::to_string(++serial) + ".log";
}

inline TSiteOptions SiteWithReportLog(const std::string& file) {
    TSiteOptions o = TDemoSiteThread::Loopback();
    o.ReportLog = file;
    return o;
}

}  // namespace runfixture

class TRunFixture : public ::testing::Test {
protected:
    std::string ReportLog = runfixture::NewReportLog();
    mutable TDemoSiteThread Site{runfixture::SiteWithReportLog(ReportLog)};
    TAlbumRun Run;
    std::string BaseDir;
    std::vector<std::string> Statuses;  // every status text of the run, in order
    std::vector<std::string> Log;       // every log line
    std::vector<std::string> ErrorLog;  // the log lines reported as failures
    std::vector<int> Listed;            // photos in the order they were listed
    std::vector<std::pair<int, bool>> Finished;  // photos in the order they ended, saved or not
    int MaxInFlight = 0;                // the most transfers running as a photo was listed
    std::string OpenedFolder;
    int Ended = 0;
    std::function<void(const std::string&)> OnStatus;
    HWND StopWindow = nullptr;
    DWORD StoppedAt = 0;

    void SetUp() override {
        static int serial = 0;
        BaseDir = PrivateTempDir() + "run-" + std::to_string(++serial) + "/";
        ASSERT_TRUE(ForceDirectories(BaseDir));
        TAlbumRunSettings& s = Run.Settings();
        s.BaseDir = BaseDir;
        s.XmlUrlPrefix = Site.Url("/xml?");
        s.ReportUrl = Site.Url("/owlmere/skyfen/log.php");
        s.Version = "KV1.0";
        s.RetryDelaysMs = {20, 40};
        Run.OnStatus = [this](const std::string& t) {
            Statuses.push_back(t);
            if (OnStatus) OnStatus(t);
        };
        Run.OnLog = [this](const std::string& l, TLogKind k) {
            Log.push_back(l);
            if (k == TLogKind::Error) ErrorLog.push_back(l);
        };
        Run.OnAlbumOpened = [this](const std::string& folder, int) { OpenedFolder = folder; };
        Run.OnPhotoListed = [this](int i, const std::string&) {
            Listed.push_back(i);
            MaxInFlight = std::max(MaxInFlight, Run.PhotosInFlight());
        };
        Run.OnPhotoFinished = [this](int i, const std::string& file, bool saved) {
            Finished.emplace_back(i, saved);
            EXPECT_EQ(FileExists(file), saved) << file;
        };
        Run.OnEnded = [this](const TAlbumRunResult&) { Ended++; };
        // A stop delivered by the loop, as a click on the stop button would be.
        StopWindow = AllocateHWnd([this](TMessage& m) {
            if (m.Msg == WM_TIMER) KillTimer(StopWindow, 1);
            StoppedAt = GetTickCount();
            Run.Stop();
        });
    }
    void TearDown() override { DeallocateHWnd(StopWindow); }

    void PostStop() { PostMessageA(StopWindow, WM_USER, 0, 0); }
    // The same once DelayMs have passed.
    void StopAfter(UINT delayMs) { SetTimer(StopWindow, 1, delayMs, nullptr); }
    // The album's page (a blank in the id as "%20").
    void RunAlbum(const std::string& albumId, bool music = false) {
        std::string path;
        for (char c : albumId) path += c == ' ' ? std::string("%20") : std::string(1, c);
        RunUrl(Site.Url("/album/" + path + ".html"), music);
    }
    void RunUrl(const std::string& url, bool music = false) {
        Statuses.clear();
        Log.clear();
        ErrorLog.clear();
        Listed.clear();
        Finished.clear();
        MaxInFlight = 0;
        Run.Settings().Music = music;
        Run.Run(url);
    }
    bool Shown(const std::string& status) const {
        return std::find(Statuses.begin(), Statuses.end(), status) != Statuses.end();
    }
    std::vector<std::string> Progress() const {
        std::vector<std::string> p;
        for (const std::string& s : Statuses)
            if (s.rfind("正在下载: [", 0) == 0) p.push_back(s);
        return p;
    }
    // Request log lines since Mark that start with Prefix ("GET /photos/ID/").
    std::vector<std::string> Requests(const std::string& prefix, size_t mark = 0) const {
        std::vector<std::string> all = Site.Site().Requests(), hits;
        for (size_t i = mark; i < all.size(); i++)
            if (all[i].rfind(prefix, 0) == 0) hits.push_back(all[i].substr(0, all[i].find(' ', prefix.size())));
        return hits;
    }
    size_t Mark() const { return Site.Site().Requests().size(); }
    // Request log lines, whole, that start with Prefix.
    size_t RequestCount(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& r : Site.Site().Requests()) n += r.rfind(prefix, 0) == 0;
        return n;
    }
    std::vector<std::map<std::string, std::string>> Reports() const {
        std::vector<std::map<std::string, std::string>> r;
        for (const std::string& line : runfixture::Lines(runfixture::ReadFile(ReportLog))) r.push_back(runfixture::FormFields(line));
        return r;
    }
    const TAlbumRunResult& Result() const { return Run.Result(); }
    static int FileCount(const std::string& folder, int photos) {
        int n = 0;
        for (int i = 0; i < photos; i++) n += FileExists(folder + std::to_string(i) + ".jpg");
        return n;
    }
    static bool NoPartFiles(const std::string& folder, int photos = 50) {
        for (int i = 0; i < photos; i++)
            if (FileExists(folder + std::to_string(i) + ".jpg.part")) return false;
        return !FileExists(folder + "background.mp3.part");
    }
};
