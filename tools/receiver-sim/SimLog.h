// SimLog: one line of receiver-sim's log on standard error, "receiver-sim: <text>".
// Owns no state besides the quiet switch; the server is single-threaded, so no lock.
#pragma once

#include <string>

class SimLog {
public:
    // Lines marked as per-command chatter are dropped when quiet; others always show.
    static void SetQuiet(bool quiet) { s_quiet = quiet; }
    static void Command(const std::string& text);
    static void Info(const std::string& text);

private:
    static bool s_quiet;
};
