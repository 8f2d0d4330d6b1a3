#include "ErrorHandler.h"
#include "TempDir.h"
#include "TextConv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

using lyx::TextConv;

namespace {
using Lines = std::vector<std::string>;

// The lines of a log, each checked to begin with a local time with milliseconds and a space.
Lines Unstamped(const std::string& text) {
    static const std::regex stamp(R"(\d\d:\d\d:\d\d\.\d\d\d )");
    std::istringstream in(text);
    Lines lines;
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(std::regex_match(line.substr(0, 13), stamp)) << line;
        lines.push_back(line.substr(13));
    }
    return lines;
}
} // namespace

TEST(ErrorHandler, RaisesGiveTheirTextsAreLoggedAsErrorsAndCanBeSavedAndCopied) {
    const std::string huge(5000, 'a'), noent = std::strerror(2);
    const std::tuple<int, const char*, const char*, std::string> rows[] = {
        {-6528001, "1.2.3.4", "80", "No TCP connection could be built to IP:1.2.3.4 Port:80"},
        {-6528101, "Get", "9", "Get command failed to receive response packet within 9 seconds."},
        {-6528303, "", "", "Device returned fail on stopping play image."},
        {-6528101, huge.c_str(), huge.c_str(), std::string(1023, 'a')}, // cut to 1024 bytes
        // Codes outside the table are negated errno values, followed by the first argument.
        {-2, huge.c_str(), "unused", noent + huge}, // logged cut to TextConv's buffer
        {INT32_MIN, "", "", std::strerror(0)},
        {0, "", "", "OK"}, // logs nothing and keeps the file of the last failure
        {5, "ignored", nullptr, "OK"},
    };
    TempDir dir;
    OrrErrorHandler handler, other;
    ASSERT_EQ(0, handler.GetLogger()->Open(dir.Path("log").c_str(), DL_ERROR, 0));
    Lines reported;
    int line = 10;
    for (const auto& [code, arg1, arg2, message] : rows) {
        handler.SetError(code, arg1, arg2, code < 0 ? "/src/F.cpp" : "G.cpp", ++line);
        const std::string text = message + " [F.cpp:" + std::to_string(line) + "]";
        EXPECT_EQ(text, handler.GetErrorText()) << code;
        if (code < 0) {
            reported.push_back("ERROR | ErrorCode=" + std::to_string(code) + " -> " +
                               text.substr(0, TextConv::kNarrowSize - 1));
        }
    }
    EXPECT_EQ(reported, Unstamped(dir.Read("log")));

    handler.SetError(-6528001, "10.0.0.1", "19996", "/x/First.cpp", 30);
    const std::string first = handler.GetErrorText();
    handler.SaveError();
    handler.SetError(-6528005, "", "", "/x/Second.cpp", 31);
    handler.RestoreError();
    other.CopyError(handler);
    EXPECT_EQ(first, handler.GetErrorText());
    EXPECT_EQ(first, other.GetErrorText());
    other.RestoreError(); // the copy left the saved record alone: the fresh one
    EXPECT_STREQ("OK [:0]", other.GetErrorText());
}

TEST(DebugLog, LineFormatLevelFilterAndOpenModes) {
    const std::pair<int, std::string> levels[] = {
        {0, "FATAL "}, {250, "UNKNOWN"}, {300, "ERROR "}, {500, "NOTICE"}, {700, "DEBUG "}};
    TempDir dir;
    DebugLog log;
    Lines want;
    for (int maxLevel : {DL_DEBUG, DL_ERROR}) { // truncate, then append
        ASSERT_EQ(0, log.Open(dir.Path("log").c_str(), maxLevel, maxLevel == DL_ERROR));
        for (const auto& [level, name] : levels) {
            log.WriteRaw(level, "raw %d", level);
            if (level <= maxLevel) {
                want.push_back(name + "| raw " + std::to_string(level));
            }
        }
        log.Write("/some/dir/S.cpp", 547, DL_FATAL, "%s=%d", "x", 1);
        log.Write("NoSlash.cpp", 9, DL_CRIT, "plain");
        want.insert(want.end(), {"FATAL | x=1 [S.cpp:547]", "CRIT  | plain [NoSlash.cpp:9]"});
        // Read while the log is open: each line is flushed as it is written.
        EXPECT_EQ(want, Unstamped(dir.Read("log")));
    }
    ASSERT_EQ(0, log.Open(dir.Path("log").c_str(), DL_DEBUG, 0));
    log.WriteRaw(DL_INFO, "fresh");
    // A failed open leaves the log closed: nothing more reaches the old file.
    EXPECT_EQ(-10, log.Open(dir.Path("missing/log").c_str(), DL_DEBUG, 1));
    EXPECT_FALSE(log.IsEnabled());
    log.WriteRaw(DL_FATAL, "dropped");
    EXPECT_EQ(Lines{"INFO  | fresh"}, Unstamped(dir.Read("log")));

    ASSERT_EQ(0, log.Open(nullptr, DL_DEBUG, 0));
    testing::internal::CaptureStderr();
    log.Write("a/b/c.cpp", 3, DL_WARN, "e%d", 1);
    EXPECT_EQ(Lines{"WARN  | e1 [c.cpp:3]"}, Unstamped(testing::internal::GetCapturedStderr()));
}

TEST(DebugLog, ConcurrentRaisesAndWritesNeverMixLines) {
    TempDir dir;
    OrrErrorHandler handler;
    ASSERT_EQ(0, handler.GetLogger()->Open(dir.Path("log").c_str(), DL_DEBUG, 0));
    const std::string payload(200, 'x');
    auto run = [&handler](int code, const char* arg) {
        for (int i = 0; i < 300; ++i) {
            if (code < 0) {
                handler.SetError(code, arg, "", "R.cpp", 9);
            } else {
                handler.GetLogger()->WriteRaw(DL_INFO, "%s", arg);
            }
        }
    };
    std::thread threads[] = {std::thread(run, -6527001, "alpha"),
                             std::thread(run, -6527004, "beta"),
                             std::thread(run, 0, payload.c_str())};
    for (std::thread& thread : threads) {
        thread.join();
    }
    const Lines whole = {"ERROR | ErrorCode=-6527001 -> Failed to create object: alpha [R.cpp:9]",
                         "ERROR | ErrorCode=-6527004 -> Failed to init object: beta [R.cpp:9]",
                         "INFO  | " + payload};
    const Lines lines = Unstamped(dir.Read("log"));
    for (const std::string& line : whole) {
        EXPECT_EQ(300, std::count(lines.begin(), lines.end(), line)) << line;
    }
}
