// Tests of the process wrapper getcgivars(): runs the helper program with a chosen CGI
// environment and stdin and checks its whole stdout and exit code, including that an error
// block follows the unflushed output written before it.
#include "getcgivars.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const std::string kReplyStart = "Content-Type: text/xml\n\n<return>\n";

struct RunResult {
    int exitCode = -1;
    std::string out;
};

// A file removed again when the test is done with it.
class TempFile {
public:
    explicit TempFile(const std::string& content) {
        std::string pattern = testing::TempDir() + "cgivars_XXXXXX";
        int fd = mkstemp(pattern.data());
        EXPECT_GE(fd, 0);
        m_path = pattern;
        if (fd >= 0) {
            EXPECT_EQ(write(fd, content.data(), content.size()),
                      static_cast<ssize_t>(content.size()));
            close(fd);
        }
    }
    ~TempFile() { unlink(m_path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Runs the helper with the CGI variables in `cgiEnv` (and none inherited) and `stdinData`.
RunResult RunHelper(const std::map<std::string, std::string>& cgiEnv,
                    const std::string& stdinData = "") {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "REQUEST_METHOD" && name != "QUERY_STRING" && name != "CONTENT_TYPE" &&
            name != "CONTENT_LENGTH") {
            envStrings.push_back(entry);
        }
    }
    for (const auto& [name, value] : cgiEnv) {
        envStrings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);

    TempFile input(stdinData);
    TempFile output("");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.path().c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.path().c_str(),
                                     O_WRONLY | O_TRUNC, 0);
    std::string program = CGIVARS_HELPER;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = -1;
    RunResult result;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << std::strerror(spawned);
    if (spawned != 0) {
        return result;
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(output.path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    result.out = text.str();
    return result;
}

std::map<std::string, std::string> PostEnv(const std::string& length) {
    return {{"REQUEST_METHOD", "POST"},
            {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
            {"CONTENT_LENGTH", length}};
}

TEST(CgiExitPath, EachRejectionWritesItsBlockAfterEarlierOutputAndExitsWithOne) {
    struct Case {
        std::map<std::string, std::string> env;
        std::string body;
        const char* message;
    };
    const std::vector<Case> cases = {
        {{}, "", "getcgivars(): Unsupported REQUEST_METHOD."},
        {{{"REQUEST_METHOD", "get"}, {"QUERY_STRING", "a=1"}},
         "",
         "getcgivars(): Unsupported REQUEST_METHOD."},
        {{{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "3"}},
         "a=1",
         "getcgivars(): Unsupported Content-Type."},
        {PostEnv("abc"), "a=1", "getcgivars(): No Content-Length was sent with thePOST request."},
        {PostEnv("-3"), "a=1", "getcgivars(): No Content-Length was sent with thePOST request."},
        {PostEnv("99999999999999999999"), "a=1", "getcgivars(): Couldn't malloc for cgiinput."},
        {PostEnv("4"), "a=1", "getcgivars(): Couldn't read CGI input from STDIN."},
    };
    for (const Case& c : cases) {
        const RunResult r = RunHelper(c.env, c.body);
        EXPECT_EQ(r.exitCode, 1) << c.message;
        EXPECT_EQ(r.out, kReplyStart + "Content-Type: text/plain\n\n" + c.message + "\n");
    }
}

TEST(CgiExitPath, AcceptedRequestsReachTheCallerAsTheNullEndedArray) {
    RunResult get = RunHelper({{"REQUEST_METHOD", "HEAD"}, {"QUERY_STRING", "a+b=%41&c;=x"}});
    EXPECT_EQ(get.exitCode, 0);
    EXPECT_EQ(get.out, kReplyStart + "3\n[a b]=[A]\n[c]=[]\n[]=[x]\n");

    RunResult empty = RunHelper({{"REQUEST_METHOD", "GET"}});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, kReplyStart + "0\n");

    // 100,000 variables from stdin; what follows CONTENT_LENGTH is not used.
    std::string body;
    std::string expected;
    for (int i = 0; i < 100000; ++i) {
        body += "k" + std::to_string(i) + "=" + std::to_string(i) + "&";
        expected += "[k" + std::to_string(i) + "]=[" + std::to_string(i) + "]\n";
    }
    const std::string length = std::to_string(body.size());
    RunResult post = RunHelper(PostEnv(length), body + "extra=1");
    EXPECT_EQ(post.exitCode, 0);
    EXPECT_EQ(post.out, kReplyStart + "100000\n" + expected);
}

} // namespace
