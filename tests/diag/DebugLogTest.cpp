#include "DebugLog.h"
#include "TempFile.h"
#include "TextConv.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/time.h>
#include <thread>

namespace {
// time with milliseconds, one space, then the rest of the line
const std::string kStamp = R"(\d\d:\d\d:\d\d\.\d\d\d )";

bool LineMatches(const std::string& line, const std::string& rest) {
    return std::regex_match(line, std::regex(kStamp + rest));
}
} // namespace

TEST(DebugLog, LineLayoutAndLevelNames) {
    TempFile file;
    DebugLog log;
    ASSERT_EQ(0, log.Open(file.path(), 700, 0));
    EXPECT_TRUE(log.IsEnabled());
    const int levels[] = {0, 100, 200, 300, 400, 500, 600, 700, 250};
    for (int level : levels) {
        log.WriteRaw(level, "raw %d", level);
    }
    log.Write("/some/dir/Source.cpp", 547, DL_DEBUG, "value=%s", "x");
    log.Write("NoSlash.cpp", 9, DL_NOTICE, "plain");
    log.Write("/dir/50%.cpp", 1, DL_INFO, "%d%%", 7); // '%' in a file name stays literal
    log.Close();

    auto lines = file.Lines();
    ASSERT_EQ(12u, lines.size());
    EXPECT_TRUE(LineMatches(lines[0], R"(FATAL \| raw 0)")) << lines[0];
    EXPECT_TRUE(LineMatches(lines[1], R"(ALERT \| raw 100)")) << lines[1];
    EXPECT_TRUE(LineMatches(lines[2], R"(CRIT  \| raw 200)")) << lines[2];
    EXPECT_TRUE(LineMatches(lines[3], R"(ERROR \| raw 300)")) << lines[3];
    EXPECT_TRUE(LineMatches(lines[4], R"(WARN  \| raw 400)")) << lines[4];
    EXPECT_TRUE(LineMatches(lines[5], R"(NOTICE\| raw 500)")) << lines[5];
    EXPECT_TRUE(LineMatches(lines[6], R"(INFO  \| raw 600)")) << lines[6];
    EXPECT_TRUE(LineMatches(lines[7], R"(DEBUG \| raw 700)")) << lines[7];
    EXPECT_TRUE(LineMatches(lines[8], R"(UNKNOWN\| raw 250)")) << lines[8];
    EXPECT_TRUE(LineMatches(lines[9], R"(DEBUG \| value=x \[Source\.cpp:547\])")) << lines[9];
    EXPECT_TRUE(LineMatches(lines[10], R"(NOTICE\| plain \[NoSlash\.cpp:9\])")) << lines[10];
    EXPECT_TRUE(LineMatches(lines[11], R"(INFO  \| 7% \[50%\.cpp:1\])")) << lines[11];

    // The time stamp is the local time of the write.
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char hour[4];
    strftime(hour, sizeof(hour), "%H", &local);
    EXPECT_EQ(0, lines[0].compare(0, 2, hour));
}

TEST(DebugLog, LevelFilterAppendAndClosedStates) {
    TempFile file;
    {
        std::ofstream out(file.path());
        out << "earlier line\n";
    }
    DebugLog log;
    // Never opened: nothing is written and nothing fails.
    EXPECT_FALSE(log.IsEnabled());
    log.WriteRaw(DL_FATAL, "dropped");
    log.Write(__FILE__, __LINE__, DL_FATAL, "dropped");

    ASSERT_EQ(0, log.Open(file.path(), 300, 1));
    for (int level = 0; level <= 700; level += 100) {
        log.WriteRaw(level, "level %d", level);
    }
    log.WriteRaw(-5, "negative level passes a max of 300");
    log.Close();
    log.WriteRaw(DL_FATAL, "after close");

    auto lines = file.Lines();
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("earlier line", lines[0]);
    EXPECT_TRUE(LineMatches(lines[1], R"(FATAL \| level 0)"));
    EXPECT_TRUE(LineMatches(lines[4], R"(ERROR \| level 300)"));
    EXPECT_TRUE(LineMatches(lines[5], R"(UNKNOWN\| negative level passes a max of 300)"));

    // Truncating open drops the old contents.
    ASSERT_EQ(0, log.Open(file.path(), 700, 0));
    log.WriteRaw(DL_INFO, "fresh");
    log.Close();
    ASSERT_EQ(1u, file.Lines().size());

    // A path in a missing directory fails and leaves the log closed.
    EXPECT_EQ(-10, log.Open("/nonexistent-dir/x/log.txt", 700, 1));
    EXPECT_FALSE(log.IsEnabled());
}

TEST(DebugLog, NullPathWritesToStandardError) {
    DebugLog log;
    ASSERT_EQ(0, log.Open(nullptr, 700, 0));
    testing::internal::CaptureStderr();
    log.Write("a/b/c.cpp", 3, DL_WARN, "to stderr %d", 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(LineMatches(err, "WARN  \\| to stderr 1 \\[c\\.cpp:3\\]\n")) << err;
}

TEST(DebugLog, ConcurrentWritersNeverInterleave) {
    TempFile file;
    DebugLog log;
    ASSERT_EQ(0, log.Open(file.path(), 700, 0));
    const int kLines = 2000;
    auto writer = [&log](char tag) {
        std::string payload(200, tag);
        for (int i = 0; i < kLines; ++i) {
            log.Write(__FILE__, __LINE__, DL_INFO, "%s %d", payload.c_str(), i);
        }
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    log.Close();
    auto lines = file.Lines();
    ASSERT_EQ(2u * kLines, lines.size());
    std::regex whole(kStamp + R"(INFO  \| (a{200}|b{200}) \d+ \[DebugLogTest\.cpp:\d+\])");
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
}

TEST(DebugLog, TickClockFollowsWallClockModulo32Bits) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint32_t expected =
        static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000);
    uint32_t tick = GetTickMs();
    // Unsigned difference: correct even if the 32-bit value wrapped in between.
    EXPECT_LT(static_cast<uint32_t>(tick - expected), 1000u);
}

TEST(TextConv, CopiesAndCutsToItsBuffer) {
    TextConv shortText("hello");
    EXPECT_STREQ("hello", shortText.ToNarrow());
    TextConv empty(static_cast<const char*>(nullptr));
    EXPECT_STREQ("", empty.ToNarrow());

    std::string longText(5000, 'x');
    TextConv cut(longText.c_str());
    EXPECT_EQ(std::string(TextConv::kNarrowSize - 1, 'x'), cut.ToNarrow());

    TextConv wide(L"wide text");
    EXPECT_STREQ("wide text", wide.ToNarrow());
    // In the "C" locale a character outside ASCII cannot be converted.
    TextConv bad(L"caf\u00e9");
    EXPECT_STREQ("conversion ERROR!", bad.ToNarrow());
}
