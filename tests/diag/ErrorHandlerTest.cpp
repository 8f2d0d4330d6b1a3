#include "ErrorHandler.h"
#include "TempFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <thread>

TEST(ErrorHandler, FreshHandlerAndClearedErrorReadOk) {
    OrrErrorHandler handler;
    EXPECT_EQ(0, handler.GetErrorCode());
    EXPECT_STREQ("OK [:0]", handler.GetErrorText());
    EXPECT_STREQ(":0", handler.GetErrorLocation());
    EXPECT_NE(nullptr, handler.GetLogger());
    EXPECT_FALSE(handler.GetLogger()->IsEnabled());

    // A failure in file A, then a success in file B: the text is "OK" and the suffix keeps
    // file A (only negative codes replace it) but takes the new line.
    handler.SetError(-6528002, "", "", "/src/A.cpp", 10);
    handler.SetError(0, "", "", "/src/B.cpp", 20);
    EXPECT_EQ(0, handler.GetErrorCode());
    EXPECT_STREQ("OK [A.cpp:20]", handler.GetErrorText());
    handler.SetError(5, "ignored", nullptr, "B.cpp", 21);
    EXPECT_STREQ("OK [A.cpp:21]", handler.GetErrorText());
}

TEST(ErrorHandler, TableMessagesWithArgumentsAndLogLine) {
    TempFile file;
    OrrErrorHandler handler;
    ASSERT_EQ(0, handler.GetLogger()->Open(file.path(), 700, 0));

    handler.SetError(-6528001, "127.0.0.1", "19996 ", "/a/b/F.cpp", 250);
    const std::string expected =
        "No TCP connection could be built to IP:127.0.0.1 Port:19996  [F.cpp:250]";
    EXPECT_EQ(-6528001, handler.GetErrorCode());
    EXPECT_EQ(expected, handler.GetErrorText());
    EXPECT_STREQ("F.cpp:250", handler.GetErrorLocation());
    EXPECT_STREQ("250", handler.GetErrorLineText());

    // Arguments a message has no place for are ignored.
    handler.SetError(-6528002, "x", "y", "NoDir.cpp", 7);
    EXPECT_STREQ("The connection has been gracefully closed. [NoDir.cpp:7]",
                 handler.GetErrorText());
    // The argument of the log-file message stands between double quotes.
    handler.SetError(-6528322, "/tmp/l", "", "G.cpp", -3);
    EXPECT_STREQ("Failed to create log file \"/tmp/l\" [G.cpp:-3]", handler.GetErrorText());
    // Success writes nothing to the log.
    handler.SetError(0, "", "", "H.cpp", 1);
    handler.GetLogger()->Close();

    auto lines = file.Lines();
    ASSERT_EQ(3u, lines.size());
    std::regex first(R"(\d\d:\d\d:\d\d\.\d\d\d ERROR \| ErrorCode=-6528001 -> )" +
                     std::regex_replace(expected, std::regex(R"([.\[\]])"), R"(\$&)"));
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    EXPECT_NE(std::string::npos,
              lines[1].find("ErrorCode=-6528002 -> The connection has been gracefully closed. "
                            "[NoDir.cpp:7]"));
}

TEST(ErrorHandler, ErrnoFallbackUsesStrerrorAndFirstArgument) {
    OrrErrorHandler handler;
    handler.SetError(-111, "", "", "net/Sock.cpp", 42);
    EXPECT_EQ(std::string(strerror(111)) + " [Sock.cpp:42]", handler.GetErrorText());
    handler.SetError(-2, "/etc/missing", "unused", "Sock.cpp", 43);
    EXPECT_EQ(std::string(strerror(2)) + "/etc/missing [Sock.cpp:43]", handler.GetErrorText());
    // Codes next to table rows that are not in the table fall back too.
    handler.SetError(-6528003, "", "", "Sock.cpp", 44);
    EXPECT_EQ(std::string(strerror(6528003)) + " [Sock.cpp:44]", handler.GetErrorText());
    handler.SetError(INT32_MIN, "", "", "Sock.cpp", 45); // must not overflow
    EXPECT_NE(nullptr, handler.GetErrorText());
}

TEST(ErrorHandler, LongArgumentsAreCutToTheFormattingBuffer) {
    OrrErrorHandler handler;
    std::string huge(5000, 'a');
    handler.SetError(-6528101, huge.c_str(), huge.c_str(), "T.cpp", 1);
    std::string text = handler.GetErrorText();
    ASSERT_EQ(1023u + std::strlen(" [T.cpp:1]"), text.size());
    EXPECT_EQ(std::string(1023, 'a'), text.substr(0, 1023));
    EXPECT_EQ(" [T.cpp:1]", text.substr(1023));
}

TEST(ErrorHandler, SaveRestoreAndCopy) {
    OrrErrorHandler handler;
    handler.SetError(-6527002, "ProtocolBase::RequestCommand", "", "/x/First.cpp", 11);
    const std::string firstText = handler.GetErrorText();
    handler.SaveError();
    handler.SetError(-6528005, "", "", "/x/Second.cpp", 22);
    EXPECT_NE(firstText, handler.GetErrorText());
    handler.RestoreError();
    EXPECT_EQ(-6527002, handler.GetErrorCode());
    EXPECT_EQ(firstText, handler.GetErrorText());
    EXPECT_EQ("Function reentry is not allowed: ProtocolBase::RequestCommand [First.cpp:11]",
              firstText);

    // A second save overwrites the first: no stack.
    handler.SetError(-6528006, "", "", "Third.cpp", 33);
    handler.SaveError();
    handler.SetError(0, "", "", "Fourth.cpp", 44);
    handler.RestoreError();
    EXPECT_EQ(-6528006, handler.GetErrorCode());

    OrrErrorHandler other;
    other.CopyError(handler);
    EXPECT_EQ(-6528006, other.GetErrorCode());
    EXPECT_STREQ(handler.GetErrorText(), other.GetErrorText());
    // The copy leaves the saved record alone.
    other.RestoreError();
    EXPECT_EQ(0, other.GetErrorCode());
}

TEST(ErrorHandler, TableRowsAreUniqueAndWellFormed) {
    ASSERT_EQ(63u, ErrorTableSize);
    std::set<int> codes;
    for (size_t i = 0; i < ErrorTableSize; ++i) {
        const ErrorTableEntry& row = ErrorTable[i];
        EXPECT_TRUE(codes.insert(row.code).second) << row.code;
        EXPECT_TRUE(row.code <= -6527001 && row.code >= -6528801) << row.code;
        // Only %s directives, at most two: anything else would read missing arguments.
        int directives = 0;
        for (const char* p = row.format; *p; ++p) {
            if (*p == '%') {
                EXPECT_EQ('s', p[1]) << row.format;
                ++directives;
                ++p;
            }
        }
        EXPECT_LE(directives, 2) << row.format;
        EXPECT_EQ(row.format, OrrErrorHandler::FindErrorFormat(row.code));
    }
    // The table keeps the texts the service's peers know, odd spellings included.
    EXPECT_STREQ("It's invliad to specify empty port number vector (vecPort) to OpenConnect().",
                 OrrErrorHandler::FindErrorFormat(-6528004));
    EXPECT_STREQ("Unable to start play image due to device is occupied.",
                 OrrErrorHandler::FindErrorFormat(-6528302));
    EXPECT_STREQ("Device returned fail on stopping play image.",
                 OrrErrorHandler::FindErrorFormat(-6528303));
    // Rows stand in their own order, not sorted: -6528105 before -6528104.
    EXPECT_EQ(-6528105, ErrorTable[13].code);
    EXPECT_EQ(nullptr, OrrErrorHandler::FindErrorFormat(-6528003));
}

TEST(ErrorHandler, ConcurrentRaisesKeepTextsWhole) {
    TempFile file;
    OrrErrorHandler handler;
    DebugLog shared;
    ASSERT_EQ(0, shared.Open(file.path(), 700, 0));
    handler.SetLogger(&shared);
    EXPECT_EQ(&shared, handler.GetLogger());

    auto raiser = [&handler](int code, const char* arg) {
        for (int i = 0; i < 500; ++i) {
            // The text itself is checked through the log: the getter's pointer may be
            // rewritten by the other thread's next raise.
            handler.SetError(code, arg, "", "R.cpp", i);
            EXPECT_LT(handler.GetErrorCode(), 0);
        }
    };
    std::thread a(raiser, -6527001, "alpha"), b(raiser, -6527004, "beta");
    for (int i = 0; i < 500; ++i) {
        shared.WriteRaw(DL_INFO, "interleaved %d", i);
    }
    a.join();
    b.join();
    shared.Close();
    std::regex line(
        R"(\d\d:\d\d:\d\d\.\d\d\d (ERROR \| ErrorCode=-652700[14] -> Failed to )"
        R"((create object: alpha|init object: beta) \[R\.cpp:\d+\]|INFO  \| interleaved \d+))");
    auto lines = file.Lines();
    ASSERT_EQ(1500u, lines.size());
    for (const auto& l : lines) {
        ASSERT_TRUE(std::regex_match(l, line)) << l;
    }
}
