// Runs the real programs for the integration tests: receiver-sim as the service on its
// fixed port, and the CGI program with a chosen CGI environment and standard input.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>
#include <vector>

// A temporary directory, removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// receiver-sim on port 19996, with its sender list, ready and state files in a TempDir.
// Stopped (SIGTERM, then waited for) when the object goes.
class SimProcess {
public:
    // Starts the sim and waits until it listens; Ok() tells whether it came up.
    SimProcess(const std::string& sendersJson, const std::vector<std::string>& extraArgs = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Ok() const { return m_ready; }
    // The state the sim wrote after its last command (null before any command).
    nlohmann::json State() const;
    // How many requests of this command name the sim has handled.
    int Count(const std::string& command) const;
    // Standard error of the sim so far (one line per command).
    std::string Log() const;

private:
    TempDir m_dir;
    pid_t m_pid = -1;
    bool m_ready = false;
};

struct CgiResult {
    std::string out; // everything the program wrote to standard output
    int status = -1; // exit status as the web server sees it; -1 if it did not exit
};

// Runs the CGI program with exactly these CGI variables (plus the sanitizer settings of
// the test's own environment) and `body` on standard input. Kills it after `limitSec`.
CgiResult RunCgi(const std::map<std::string, std::string>& env, const std::string& body = "",
                 int limitSec = 60);
