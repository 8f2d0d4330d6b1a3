// In-process: the request guard's verdicts and the names file reader.
#include "RequestGuard.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <tuple>

namespace {

using R = GuardRule;

TEST(RequestGuard, EachRequestGetsItsVerdict) {
    // Changes to a page call (Host 10.0.0.5, GET, the page's header), joined by "&":
    // "V=value" sets, "V" unsets the variable V stands for.
    // clang-format off
    const std::map<std::string, std::string> vars = {
        {"H", "HTTP_HOST"}, {"M", "REQUEST_METHOD"}, {"O", "HTTP_ORIGIN"}, {"S", "HTTPS"},
        {"L", "CONTENT_LENGTH"}, {"F", "HTTP_SEC_FETCH_SITE"}, {"X", "HTTP_X_REQUESTED_WITH"}};
    const std::tuple<GuardRule, int, std::vector<std::string>> cases[] = {
        {R::None, 0, {"", "H&M=PUT&X&L=9999", "H=10.0.0.5:8080", "H=10.0.0.5:65535",
            "H=[FE80::1]:80", "H=LocalHost.:80", "H=Screen.LAN", "H=box.:8080", "M=HEAD", "M=POST",
            "O=http://10.0.0.5", "O=http://10.0.0.5:80", "H=10.0.0.5:80&O=http://10.0.0.5",
            "H=Screen.Lan&O=HTTP://screen.lan.", "H=[::1]:8080&O=http://[0:0::1]:8080",
            "S=on&O=https://10.0.0.5", "S=on&H=10.0.0.5:443&O=https://10.0.0.5",
            "X&O=http://10.0.0.5", "F=same-origin", "F=none", "L=4096", "L=", "L=abc", "L=-5000"}},
        {R::Host, 403, {"H=", "H=::1", "H=[::1", "H=[::1]x", "H=[fe80::1%eth0]", "H=evil.example",
            "H=screen.lan.evil.example", "H=localhost.evil.example", "H=box..", "H=10.0.0.256",
            "H=10.0.0.5:", "H=10.0.0.5:0", "H=10.0.0.5:65536", "H=10.0.0.5:80:80", "H=10.0.0.5 ",
            "H=evil.example&M=PUT",
            std::string("H=").append(5000, 'b')}},
        {R::Method, 405, {"M=PUT", "M=get", "M"}},
        {R::Origin, 403, {"O=http://10.0.0.5:8080", "O=http://10.0.0.6", "O=http://evil.example",
            "O=http://10.0.0.5/", "O=http://10.0.0.5 http://10.0.0.5", "O=null", "O=",
            "O=https://10.0.0.5", "S=on&O=http://10.0.0.5", "S=on&O=https://10.0.0.5:80",
            "O=null&F=cross-site"}},
        {R::FetchSite, 403, {"F=cross-site", "F=same-site"}},
        {R::Proof, 403, {"X", "X=XMLHttpRequest", "X=ScreenReceiver", "X&M=POST&F=same-origin",
            "X&L=5000"}},
        {R::Size, 413, {"L=4097", "L= 5000x", "L=9999999999999999999999"}},
    };
    // clang-format on
    for (const auto& [rule, status, changes] : cases) {
        for (const std::string& change : changes) {
            std::map<std::string, std::string> env;
            std::istringstream parts("H=10.0.0.5&M=GET&X=screenreceiver&" + change);
            for (std::string part; std::getline(parts, part, '&');) {
                const size_t equals = part.find('=');
                if (equals == std::string::npos) {
                    env.erase(vars.at(part));
                } else {
                    env[vars.at(part.substr(0, equals))] = part.substr(equals + 1);
                }
            }
            const GuardVerdict verdict = RequestGuard::Check(
                [&](const char* name) { return env.count(name) ? env[name].c_str() : nullptr; },
                {"screen.lan", "box"});
            EXPECT_EQ(rule, verdict.rule) << change;
            EXPECT_EQ(status, verdict.status) << change;
            EXPECT_EQ(rule == R::Method, verdict.allow != nullptr) << change;
        }
    }
    EXPECT_EQ("Status: 405 Method Not Allowed\nAllow: GET, POST, HEAD\nContent-Type: "
              "text/plain\n\nRefused: only GET, POST and HEAD are served.\n",
              RequestGuard::RefusalReply(RequestGuard::Check(
                  [](const char* name) { return std::strcmp(name, "HTTP_HOST") ? "PUT" : "box"; },
                  {"box"})));
}

TEST(RequestGuard, NamesFile) {
    std::string many; // 300 names, of which the first 256 count
    std::vector<std::string> first;
    const std::string a64(64, 'a'), b63(63, 'b'); // a label too long, the longest label
    for (int i = 0; i < 300; ++i) {
        many.append(std::to_string(i)).append("\n");
        first.push_back(std::to_string(i));
    }
    first.resize(RequestGuard::kMaxNames);
    const std::pair<std::string, std::vector<std::string>> texts[] = {
        {"# names\n  Screen.LAN  \r\nbox.\n\nkiosk # hall\n\tlast",
         {"screen.lan", "box", "kiosk", "last"}},
        {"bad_name\n-x\nx-\na b\n*.lan\na..b\n.\n" + a64 + "\n" + b63, {b63}},
        {"", {}},
        {many, first},
    };
    for (const auto& [text, names] : texts) {
        EXPECT_EQ(names, RequestGuard::ParseNames(text)) << text;
    }
    // Only whole lines within the first kMaxNamesBytes; nothing from what is no regular file.
    TempDir dir;
    const size_t limit = RequestGuard::kMaxNamesBytes;
    dir.Write("hostnames", std::string("first\n").append(limit - 9, '#').append("\ncut-name\nx\n"));
    EXPECT_EQ(std::vector<std::string>{"first"}, RequestGuard::ReadNames(dir.Path("hostnames")));
    ASSERT_EQ(0, mkfifo(dir.Path("fifo").c_str(), 0600));
    for (const char* path : {"fifo", "missing", ""}) {
        EXPECT_TRUE(RequestGuard::ReadNames(dir.Path(path)).empty()) << path;
    }
    EXPECT_EQ(dir.Path("etc/hostnames"), RequestGuard::NamesFile(dir.Path("etc").c_str()));
}

} // namespace
