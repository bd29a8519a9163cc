// GetterFixture: what the getter's tests share: file helpers, an event recorder, and the
// fixture that serves a 3000-byte photo from Python's http.server (HTTP/1.0) and gives
// each test a folder of its own.
#pragma once

#include "net/inetget/HTTPGet.h"

#include "platform/messages/Messages.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/FileSys.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

inline std::string ReadFile(const std::string& path) {
    TFileStream f(path, fmOpenRead);
    TStringStream s;
    s.CopyFrom(f, 0);
    return s.DataString();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    TFileStream f(path, fmCreate);
    f.WriteBuffer(data.data(), int64_t(data.size()));
}

// Counts the events of one getter, checking they all run on the interface thread, and
// what the getter tells inside them.
struct TEvents {
    std::vector<std::pair<int32_t, int32_t>> Progress;  // (TotalSize, Readed)
    bool SenderIsWorker = false;  // checked while the sender lives
    int Done = 0, Errors = 0, OffThread = 0;
    std::string DoneFile, DoneText, ErrorText;
    int32_t DoneSize = -1;
    int Status = -1;  // StatusCode() in the done or error event

    void Attach(THTTPGet& g) {
        g.OnProgress = [this](TObject* s, int32_t total, int32_t readed) {
            OffThread += !IsMainThread();
            SenderIsWorker = dynamic_cast<THTTPGetThread*>(s) != nullptr;
            Progress.emplace_back(total, readed);
        };
        g.OnDoneFile = [this, &g](TObject*, const std::string& name, int32_t size) {
            OffThread += !IsMainThread();
            ++Done;
            DoneFile = name;
            DoneSize = size;
            Status = g.StatusCode();
        };
        g.OnDoneString = [this](TObject*, const std::string& text) {
            ++Done;
            DoneText = text;
        };
        g.OnError = [this, &g](TObject*) {
            OffThread += !IsMainThread();
            ++Errors;
            ErrorText = g.ErrorText();
            Status = g.StatusCode();
        };
    }
};

class HTTPGetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Loopback servers only: a proxy set in the caller's environment must not apply.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) ::unsetenv(name);
        FWww = new std::string(PrivateTempDir() + "getter-www/");
        ForceDirectories(*FWww);
        std::string body;
        for (int i = 0; i < 3000; ++i) body += char('a' + i % 26);
        WriteFile(*FWww + "photo.jpg", body);
        FPython = new TServerProcess(StartPythonHttpServer(*FWww));
    }
    static void TearDownTestSuite() {
        delete FPython;
        delete FWww;
    }
    void SetUp() override {
        static int n = 0;
        FDir = PrivateTempDir() + "getter-" + std::to_string(++n) + "/";
        ForceDirectories(FDir);
    }
    static std::string Url(int port, const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    inline static std::string* FWww = nullptr;
    inline static TServerProcess* FPython = nullptr;
    std::string FDir;
};
