// SimProcess: one receiver-sim process for a test. It owns a private temporary folder
// (ready file, state file, captured output), the child process, and stops the child
// (SIGTERM) and removes the folder when destroyed. Used from one test thread; no locks.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

class SimProcess {
public:
    struct Result {
        int exitCode = -1; // -1: did not exit normally within the time limit
        std::string out;
        std::string err;
    };

    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the sim on a free port with a ready file and a state file, plus args, and waits
    // until it listens. False when it did not come up (see Stderr()).
    bool Start(const std::vector<std::string>& args);
    // Runs the sim to completion with exactly args (nothing added).
    Result RunToEnd(const std::vector<std::string>& args);
    // Sends signo and waits for the exit; returns the exit code, or -1.
    int Stop(int signo);

    uint16_t Port() const { return m_port; }
    std::string StateFilePath() const { return m_dir + "/state.json"; }
    // Writes a file in the private folder and returns its path.
    std::string WriteFile(const std::string& name, const std::string& contents) const;
    std::string Stderr() const;

private:
    pid_t Spawn(const std::vector<std::string>& args);
    int WaitExit(int limitMs);

    std::string m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};
