#include "CgiProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits for the child at most `limitMs`; kills it when it has not ended by then.
int WaitFor(pid_t pid, int limitMs) {
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/cgi-it-XXXXXX";
    const char* made = mkdtemp(pattern);
    m_path = made ? made : "/tmp";
}

TempDir::~TempDir() {
    if (m_path != "/tmp") {
        std::error_code ignored; // leftovers in /tmp are harmless
        std::filesystem::remove_all(m_path, ignored);
    }
}

SimProcess::SimProcess(const std::string& sendersJson, const std::vector<std::string>& extraArgs) {
    std::ofstream(m_dir.Path("senders.json")) << sendersJson;
    std::vector<std::string> args = {SIM_PATH,
                                     "--port",
                                     "19996",
                                     "--senders",
                                     m_dir.Path("senders.json"),
                                     "--ready-file",
                                     m_dir.Path("ready"),
                                     "--state-file",
                                     m_dir.Path("state.json")};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());

    m_pid = fork();
    if (m_pid == 0) {
        int log = open(m_dir.Path("sim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Up and listening once it has written its port.
    for (int i = 0; i < 1000 && m_pid > 0; ++i) {
        if (ReadFile(m_dir.Path("ready")).find('\n') != std::string::npos) {
            m_ready = true;
            break;
        }
        int status;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

SimProcess::~SimProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        WaitFor(m_pid, 5000);
    }
}

nlohmann::json SimProcess::State() const {
    return nlohmann::json::parse(ReadFile(m_dir.Path("state.json")), nullptr, false);
}

int SimProcess::Count(const std::string& command) const {
    nlohmann::json state = State();
    if (!state.is_object() || !state.contains("commands") || !state["commands"].contains(command)) {
        return 0;
    }
    return state["commands"][command].get<int>();
}

std::string SimProcess::Log() const {
    return ReadFile(m_dir.Path("sim.log"));
}

CgiResult RunCgi(const std::map<std::string, std::string>& env, const std::string& body,
                 int limitSec) {
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        std::string var = *e;
        // Keep the sanitizers' and the emulator's settings; everything CGI comes from `env`.
        if (var.find("SAN_OPTIONS=") != std::string::npos || var.rfind("QEMU_", 0) == 0) {
            envText.push_back(var);
        }
    }
    for (const auto& kv : env) {
        envText.push_back(kv.first + "=" + kv.second);
    }

    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        return {};
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        std::vector<char*> envp;
        for (std::string& e : envText) {
            envp.push_back(&e[0]);
        }
        envp.push_back(nullptr);
        // CGI_UNDER_TEST runs another build of the program (a cross-built one), and
        // CGI_LAUNCHER the emulator in front of it, e.g. "qemu-arm".
        const char* program = getenv("CGI_UNDER_TEST") ? getenv("CGI_UNDER_TEST") : CGI_PATH;
        std::vector<std::string> words;
        std::istringstream launcher(getenv("CGI_LAUNCHER") ? getenv("CGI_LAUNCHER") : "");
        for (std::string w; launcher >> w;) {
            words.push_back(w);
        }
        words.push_back(program);
        std::vector<char*> argv;
        for (std::string& w : words) {
            argv.push_back(&w[0]);
        }
        argv.push_back(nullptr);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);

    // The program may never read its input (GET); a closed pipe must not end the test.
    signal(SIGPIPE, SIG_IGN);
    size_t sent = 0;
    while (sent < body.size()) {
        ssize_t r = write(in[1], body.data() + sent, body.size() - sent);
        if (r <= 0) {
            break;
        }
        sent += size_t(r);
    }
    close(in[1]);

    CgiResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSec);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0) {
            break;
        }
        ssize_t r = read(out[0], buf, sizeof buf);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        result.out.append(buf, size_t(r));
    }
    close(out[0]);
    result.status = WaitFor(pid, 5000);
    return result;
}
