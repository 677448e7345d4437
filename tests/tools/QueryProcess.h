// Runs the nf-query binary as an operator would, with its own standard output and error, for the
// tests that ask it questions.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace queryprocess {

struct Outcome {
    int ExitCode = -1;
    std::string Out;
    std::string Err;
};

inline std::string Slurp(int Fd) {
    std::string text;
    char buf[4096];
    ::lseek(Fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(Fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    return text;
}

inline int TempFile() {
    char path[] = "/tmp/nf-query-test-XXXXXX";
    const int fd = ::mkstemp(path);
    ::unlink(path);
    return fd;
}

// Env: extra NAME=VALUE entries over the test's own environment.
inline Outcome RunQuery(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {}) {
    const int outFd = TempFile();
    const int errFd = TempFile();
    EXPECT_GE(outFd, 0);
    EXPECT_GE(errFd, 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    std::vector<std::string> all{NF_QUERY_PATH};
    all.insert(all.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = Env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);  // the first of a name wins
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    Outcome out;
    pid_t pid = 0;
    if (posix_spawn(&pid, NF_QUERY_PATH, &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        out.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    out.Out = Slurp(outFd);
    out.Err = Slurp(errFd);
    ::close(outFd);
    ::close(errFd);
    return out;
}

class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "nf-query-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) Path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path_, ignored);
    }
    const std::string& Path() const { return Path_; }

  private:
    std::string Path_;
};

}  // namespace queryprocess
