#include "Process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace {

// Starts argv with standard input and output taken from files; -1 when it cannot start.
pid_t Spawn(const std::vector<std::string>& argv, char* const* envp, const std::string& in,
            const std::string& out) {
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &files, nullptr, args.data(), envp) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

// The child's exit status (128 + signal when a signal ended it); -1 after killing it
// because it was still running at the limit.
int WaitExit(pid_t pid, int limitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& input, int limitSec) {
    TempDir dir;
    dir.Write("in", input);
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    RunResult result;
    const pid_t pid = Spawn(argv, envp.data(), dir.Path("in"), dir.Path("out"));
    result.status = pid > 0 ? WaitExit(pid, limitSec * 1000) : -1;
    result.out = dir.Read("out");
    return result;
}

SimProcess::SimProcess(const std::string& program, const std::string& sendersJson,
                       const std::vector<std::string>& options) {
    m_dir.Write("senders.json", sendersJson);
    std::vector<std::string> argv = {program,        "--quiet",
                                     "--port",       "19996",
                                     "--senders",    m_dir.Path("senders.json"),
                                     "--ready-file", m_dir.Path("ready"),
                                     "--state-file", m_dir.Path("state.json")};
    argv.insert(argv.end(), options.begin(), options.end());
    m_pid = Spawn(argv, environ, "/dev/null", "/dev/null");
    // Listening once it has written its port; a slow (sanitizer) build gets 10 s.
    for (int i = 0; i < 5000 && m_pid > 0 && !m_ready; ++i) {
        m_ready = m_dir.Read("ready").find('\n') != std::string::npos;
        if (!m_ready && ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

SimProcess::~SimProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        WaitExit(m_pid, 5000);
    }
}
