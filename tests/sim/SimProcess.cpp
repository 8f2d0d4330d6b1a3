#include "SimProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

SimProcess::SimProcess() {
    char pattern[] = "/tmp/receiver-sim-test.XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    m_dir = dir != nullptr ? dir : "/tmp";
}

SimProcess::~SimProcess() {
    if (m_pid > 0) {
        Stop(SIGKILL);
    }
    if (m_dir != "/tmp") {
        const std::string cmd = "rm -rf '" + m_dir + "'";
        if (std::system(cmd.c_str()) != 0) {
            // Nothing more to do in a destructor; the folder stays behind.
        }
    }
}

std::string SimProcess::WriteFile(const std::string& name, const std::string& contents) const {
    const std::string path = m_dir + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

std::string SimProcess::Stderr() const {
    return ReadAll(m_dir + "/stderr.txt");
}

pid_t SimProcess::Spawn(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {RECEIVER_SIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string outPath = m_dir + "/stdout.txt";
    const std::string errPath = m_dir + "/stderr.txt";
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) {
            ::_exit(127);
        }
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> cargv;
        for (auto& a : argv) {
            cargv.push_back(const_cast<char*>(a.c_str()));
        }
        cargv.push_back(nullptr);
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    return pid;
}

int SimProcess::WaitExit(int limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (true) {
        int status = 0;
        pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            m_pid = -1;
            return -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            m_pid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool SimProcess::Start(const std::vector<std::string>& args) {
    const std::string ready = m_dir + "/ready";
    std::vector<std::string> all = {"--port",       "0", "--ready-file", ready, "--state-file",
                                    StateFilePath()};
    all.insert(all.end(), args.begin(), args.end());
    m_pid = Spawn(all);
    if (m_pid < 0) {
        return false;
    }
    // Generous bound: sanitizer builds start slowly on a busy machine.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string port = ReadAll(ready);
        if (!port.empty() && port.back() == '\n') {
            m_port = static_cast<uint16_t>(std::stoi(port));
            return m_port != 0;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

SimProcess::Result SimProcess::RunToEnd(const std::vector<std::string>& args) {
    Result result;
    m_pid = Spawn(args);
    if (m_pid < 0) {
        return result;
    }
    result.exitCode = WaitExit(10000);
    result.out = ReadAll(m_dir + "/stdout.txt");
    result.err = Stderr();
    return result;
}

int SimProcess::Stop(int signo) {
    if (m_pid <= 0) {
        return -1;
    }
    ::kill(m_pid, signo);
    return WaitExit(10000);
}
