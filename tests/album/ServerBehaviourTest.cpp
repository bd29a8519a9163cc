// The album run against servers of every kind: a table of server behaviours (answers that
// end at the close, HTTP/1.1 with "Connection: close", keep-alive with and without a
// length, servers that close after some answers, reset with requests unread, or drop the
// requests after the first) times one and four photos at once; and real servers written
// by others (nginx, lighttpd, Python's http.server), started here on loopback. Every
// photo reported saved must be byte for byte what the server holds, no part is left, and
// the run's end tells the truth. The album page, its XML and its photos all come from the
// server under test; only the usage report goes to the demo site.
#include "tests/album/RunFixture.h"
#include "tests/support/BehaviourServer.h"
#include "tests/support/ChildProcess.h"

#include "demo/SiteAlbums.h"

#include <cstdlib>
#include <unistd.h>

namespace {

constexpr int Photos = 24;

// A picture-like body of about 170 KB: the JPEG start and end markers around bytes that
// differ from photo to photo, each photo of its own length.
std::string PhotoBytes(int index) {
    std::string body(170 * 1024 + size_t(index) * 1013, '\0');
    uint32_t x = 0x9E3779B9u * uint32_t(index + 1);
    for (char& c : body) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return "\xFF\xD8\xFF\xE0" + body + "\xFF\xD9";
}

TDemoAlbum TableAlbum() {
    TDemoAlbum album;
    album.Id = "table";
    album.Title = "服务器表";
    album.Note = "photos of about 170 KB for the server tables";
    album.PhotoCount = Photos;
    return album;
}

// The album's page, XML and photos as served from Site ("HOST:PORT"), by path.
std::map<std::string, std::string> AlbumFiles(const std::string& site) {
    TDemoAlbum album = TableAlbum();
    std::map<std::string, std::string> files;
    files[AlbumPagePath(album)] = AlbumPageHtml(site, album);
    files[XmlPath] = AlbumXml(site, album);
    for (int i = 0; i < Photos; ++i) files[PhotoPath(album, i)] = PhotoBytes(i);
    return files;
}

// Writes the files under Root ("/xml" as the file "xml", which static servers send for
// "/xml?table" too).
void WriteTree(const std::string& root, const std::map<std::string, std::string>& files) {
    for (const auto& [path, body] : files) {
        std::string name = root + path.substr(1);
        ForceDirectories(ExtractFilePath(name));
        runfixture::WriteFile(name, body);
    }
}

// The program's full path in PATH or /usr/sbin; empty when it is not installed.
std::string Installed(const std::string& program) {
    std::string path = std::string(std::getenv("PATH") ? std::getenv("PATH") : "") + ":/usr/sbin:/sbin";
    for (size_t start = 0; start <= path.size();) {
        size_t colon = path.find(':', start);
        if (colon == std::string::npos) colon = path.size();
        std::string candidate = path.substr(start, colon - start) + "/" + program;
        if (colon > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = colon + 1;
    }
    return "";
}

}  // namespace

class ServerBehaviour : public TRunFixture {
protected:
    // Runs the album from the server at Address with Jobs photos at once and checks every
    // photo: whole when reported saved, and all of them saved.
    void RunAndCheck(const std::string& address, int jobs) {
        SCOPED_TRACE("jobs " + std::to_string(jobs));
        std::string folder = BaseDir + TableAlbum().Title + "/";
        for (int i = 0; i < Photos; ++i) DeleteFile(folder + std::to_string(i) + ".jpg");
        Run.Settings().Jobs = jobs;
        Run.Settings().TimeoutMs = 5000;
        Run.Settings().XmlUrlPrefix = "http://" + address + "/xml?";
        RunUrl("http://" + address + AlbumPagePath(TableAlbum()));
        int whole = 0;
        for (int i = 0; i < Photos; ++i) {
            std::string file = folder + std::to_string(i) + ".jpg";
            if (!FileExists(file)) continue;
            EXPECT_EQ(runfixture::ReadFile(file), PhotoBytes(i)) << file << " is not what the server sent";
            ++whole;
        }
        EXPECT_EQ(whole, Photos);
        EXPECT_EQ(Result().SavedCount, whole);
        EXPECT_EQ(Result().FailedCount, Photos - whole);
        EXPECT_EQ(Result().End, TRunEnd::Completed);
        EXPECT_TRUE(NoPartFiles(folder, Photos));
        EXPECT_TRUE(ErrorLog.empty()) << (ErrorLog.empty() ? "" : ErrorLog.front());
    }
};

TEST_F(ServerBehaviour, EveryPhotoIsSavedWholeWhateverTheServerDoes) {
    const TServerBehaviour behaviours[] = {
        TServerBehaviour::Http10Close,       TServerBehaviour::Http11Close, TServerBehaviour::KeepAliveLength,
        TServerBehaviour::Http10KeepAlive,
        TServerBehaviour::KeepAliveChunked,  TServerBehaviour::KeepAliveUnframed,
        TServerBehaviour::CloseAfterN,       TServerBehaviour::ResetUnread, TServerBehaviour::DropsAhead,
    };
    // No retries at all: a connection that broke under requests sent ahead costs a photo
    // no try, so every photo must arrive all the same.
    Run.Settings().RetryDelaysMs = {};
    for (TServerBehaviour b : behaviours) {
        SCOPED_TRACE(BehaviourName(b));
        TBehaviourServer server(b, {}, 5);
        server.SetFiles(AlbumFiles(server.Address()));
        for (int jobs : {1, 4}) RunAndCheck(server.Address(), jobs);
    }
}

// ---- real servers written by others ---------------------------------------------------------

class RealServers : public ServerBehaviour {
protected:
    std::string Root;   // the document root, with the album written into it
    std::string Scratch;
    int Port = 0;

    void SetUp() override {
        ServerBehaviour::SetUp();
        static int n = 0;
        Scratch = PrivateTempDir() + "real-" + std::to_string(++n) + "/";
        Root = Scratch + "www/";
        ForceDirectories(Root);
        Port = FreeLoopbackPort();
        WriteTree(Root, AlbumFiles("127.0.0.1:" + std::to_string(Port)));
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(Port); }
    // Starts Argv and waits until it accepts on Port.
    std::unique_ptr<TChildProcess> Start(const std::vector<std::string>& argv) {
        auto process = std::make_unique<TChildProcess>(argv, true);
        EXPECT_TRUE(WaitForPort(Port, 10000)) << argv[0] << ": " << process->Output();
        return process;
    }
};

TEST_F(RealServers, Nginx) {
    std::string nginx = Installed("nginx");
    if (nginx.empty()) GTEST_SKIP() << "nginx is not installed (scripts/install-deps installs it)";
    ForceDirectories(Scratch + "logs");
    std::string conf = Scratch + "nginx.conf";
    runfixture::WriteFile(conf, "daemon off;\nmaster_process off;\nworker_processes 1;\npid " + Scratch +
                                    "nginx.pid;\nerror_log " + Scratch + "logs/error.log;\n"
                                    "events { worker_connections 64; }\n"
                                    "http {\n  access_log off;\n  client_body_temp_path " + Scratch + "t1;\n"
                                    "  proxy_temp_path " + Scratch + "t2;\n  fastcgi_temp_path " + Scratch + "t3;\n"
                                    "  uwsgi_temp_path " + Scratch + "t4;\n  scgi_temp_path " + Scratch + "t5;\n"
                                    "  types { image/jpeg jpg; text/html html; }\n  default_type text/xml;\n"
                                    "  server { listen " + Address() + "; root " + Root + "; }\n}\n");
    auto server = Start({nginx, "-p", Scratch, "-e", Scratch + "logs/error.log", "-c", conf});
    for (int jobs : {1, 4}) RunAndCheck(Address(), jobs);
}

TEST_F(RealServers, Lighttpd) {
    std::string lighttpd = Installed("lighttpd");
    if (lighttpd.empty()) GTEST_SKIP() << "lighttpd is not installed (scripts/install-deps installs it)";
    std::string conf = Scratch + "lighttpd.conf";
    runfixture::WriteFile(conf, "server.document-root = \"" + Root + "\"\nserver.bind = \"127.0.0.1\"\n"
                                    "server.port = " + std::to_string(Port) + "\n"
                                    "server.errorlog = \"" + Scratch + "error.log\"\n"
                                    "mimetype.assign = (\".jpg\" => \"image/jpeg\", \".html\" => \"text/html\", "
                                    "\"\" => \"text/xml\")\n");
    auto server = Start({lighttpd, "-D", "-f", conf});
    for (int jobs : {1, 4}) RunAndCheck(Address(), jobs);
}

TEST_F(RealServers, PythonHttpServer) {
    // HTTP/1.0, every answer closes its connection.
    auto server = Start({"python3", "-m", "http.server", "--bind", "127.0.0.1", std::to_string(Port), "--directory", Root});
    for (int jobs : {1, 4}) RunAndCheck(Address(), jobs);
}
