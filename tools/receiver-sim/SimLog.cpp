#include "SimLog.h"

#include <cstdio>

bool SimLog::s_quiet = false;

void SimLog::Command(const std::string& text) {
    if (!s_quiet) {
        Info(text);
    }
}

void SimLog::Info(const std::string& text) {
    // One fwrite per line so lines from concurrent processes sharing stderr stay whole.
    const std::string line = "receiver-sim: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}
