// Programs as the tests run them: one run with an exact environment and standard input,
// and receiver-sim as the service on the program's fixed port.
#pragma once

#include "TempDir.h"

#include <nlohmann/json.hpp>
#include <string>
#include <sys/types.h>
#include <vector>

struct RunResult {
    std::string out; // everything written to standard output
    int status = -1; // exit status as a web server sees it (0-255), -1 when killed at the limit
};

// Runs argv (argv[0] looked up in PATH) with exactly `env` and `input` on standard input;
// standard error is the test's own. Killed when it has not ended after limitSec.
RunResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& input = "", int limitSec = 30);

// receiver-sim on 127.0.0.1:19996 with this sender list and these extra options, ready to
// accept once constructed (see Ok()); stopped when the object goes.
class SimProcess {
public:
    SimProcess(const std::string& program, const std::string& sendersJson,
               const std::vector<std::string>& options = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Ok() const { return m_ready; }
    // The state as the sim last wrote it (discarded when unreadable).
    nlohmann::json State() const {
        return nlohmann::json::parse(m_dir.Read("state.json"), nullptr, false);
    }
    // Requests of this command the sim has received, answered or not.
    int Count(const std::string& command) const {
        const nlohmann::json state = State();
        return state.contains("commands") ? state["commands"].value(command, 0) : 0;
    }

private:
    TempDir m_dir;
    pid_t m_pid = -1;
    bool m_ready = false;
};
