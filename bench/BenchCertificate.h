// BenchCertificate: the throw-away certificate the https benchmarks serve, made for one run
// with the openssl command (an EC key, valid two days, for 127.0.0.1 by its IP address).
// Header-only: the benchmarks are single programs that share nothing else.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// Writes CertFile and KeyFile (PEM); false when openssl is missing or fails.
inline bool MakeLoopbackCertificate(const std::string& certFile, const std::string& keyFile) {
    std::vector<std::string> args = {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyFile, "-out", certFile,
                                     "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int status = -1;
    if (posix_spawnp(&pid, "openssl", &quiet, nullptr, argv.data(), environ) == 0) ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&quiet);
    return status == 0;
}
