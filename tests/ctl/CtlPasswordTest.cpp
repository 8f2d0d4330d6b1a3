// screenreceiverctl password as a process: the file it leaves and its exit statuses.
#include "PasswordFile.h"
#include "Process.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

TEST(CtlPassword, SetsAndRemovesThePassword) {
    TempDir dir;
    const std::vector<std::string> env = {"SCREENRECEIVER_ETC=" + dir.Path("etc")};
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string file; // "hash" for a generation and a hash of "s3cret"
    } rows[] = {{{"password"}, "", 2, ""},
                {{"password", "on"}, "", 2, ""},
                {{"password", "set"}, "", 1, ""},
                {{"password", "set"}, "\n", 1, ""},
                {{"password", "set"}, "s3cret\r\n", 0, "1 hash"},
                {{"password", "off"}, "", 0, "2\n"},
                {{"password", "set"}, "s3cret", 0, "3 hash"}};
    for (const auto& row : rows) {
        std::vector<std::string> argv = {CTL_PATH};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(testing::PrintToString(argv) + " " + row.input);
        EXPECT_EQ(row.status, ::Run(argv, env, row.input).status);
        PasswordRecord record;
        const std::string file = dir.Read("etc/password");
        if (row.file.size() > 2 && row.file.substr(2) == "hash") {
            ASSERT_TRUE(PasswordFile::Parse(file, &record)) << file;
            EXPECT_EQ(row.file[0] - '0', static_cast<int>(record.generation));
            EXPECT_TRUE(PasswordFile::Verify(record.hash, "s3cret"));
            EXPECT_EQ(0, file.find(row.file.substr(0, 2) + "$argon2id$v=19$m=32768,t=3,p=1$"));
        } else {
            EXPECT_EQ(row.file, file);
        }
    }
    // The web server's account reads it: written by root, the file is in its group.
    struct stat st = {};
    ASSERT_EQ(0, stat(dir.Path("etc/password").c_str(), &st));
    const struct group* serving = geteuid() == 0 ? getgrnam("www-data") : nullptr;
    EXPECT_EQ(serving != nullptr ? serving->gr_gid : getegid(), st.st_gid);
    EXPECT_EQ(0640u, st.st_mode & 0777u);
}
