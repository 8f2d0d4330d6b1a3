// The program as a process against receiver-sim on the service's fixed port: the exact
// reply and exit status of each kind of request and service fault, and what the service saw.
// CGI_UNDER_TEST names another build of the program to run (a cross-built one) and CGI_LAUNCHER
// what to run it with (words split on blanks, e.g. "qemu-arm"); QEMU_* settings are passed on.
#include "PasswordFile.h"
#include "Process.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

constexpr int kLimitSec = 30; // a guard against hangs: no passing run comes near it

// In list order: Alice (id 7), "B&b <x>" (id 8, in frame 2), Carol (id 300); Dave is local.
const char* kSenders = R"({"senders":[
 {"id":7,"ip":"10.0.0.5","name":"Alice","appType":1},
 {"id":8,"ip":"10.0.0.6","name":"B&b <x>","appType":2,"frame":2},
 {"id":9,"ip":"10.0.0.7","name":"Dave","appType":3,"local":true},
 {"id":300,"ip":"192.168.1.20","name":"Carol;100%+","appType":65535}]})";

const std::string kHeader = "Content-Type: text/xml\n\n<return>\n";
const std::string kNoSenders = kHeader + "<total>0</total>\n</return>\n";

// The reply listing the three senders in the frames given ('-' for -1), or 'x' for a record
// that no answer filled. Basic entries carry no application type.
std::string Reply(const std::string& frames, bool appType = true) {
    struct Shown {
        std::string name, ip, appType;
    };
    const Shown senders[] = {{"Alice", "10.0.0.5", "1"},
                             {"BPa_Ampb Pa_LtxPa_Gt", "10.0.0.6", "2"},
                             {"CarolPa_Note100Pa_PercentPa_Add", "192.168.1.20", "65535"}};
    std::string out = kHeader + "<total>3</total>\n";
    for (size_t i = 0; i < 3; ++i) {
        const Shown s = frames[i] == 'x' ? Shown{"", "0.0.0.0", "0"} : senders[i];
        const std::string frame = std::isdigit(frames[i]) ? frames.substr(i, 1) : "-1";
        out += "<conference>\n<username>" + s.name + "</username>\n<frame>" + frame +
               "</frame>\n<ip>" + s.ip + "</ip>\n<apptype>" + (appType ? s.appType : "0") +
               "</apptype>\n</conference>\n";
    }
    return out + "</return>\n";
}

std::vector<std::string> Get(const std::string& query) {
    return {"REQUEST_METHOD=GET", "QUERY_STRING=" + query};
}

std::vector<std::string> Post(const std::string& type, const std::string& length,
                              const std::string& query = "") {
    return {"REQUEST_METHOD=POST", "CONTENT_TYPE=" + type, "CONTENT_LENGTH=" + length,
            "QUERY_STRING=" + query};
}

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// One run of the program (behind `launcher`) with exactly these CGI variables plus the
// sanitizers' and the emulator's settings, and the test's own configuration folder unless
// the row names one: whatever this machine's /etc/screenreceiver holds (a password set by
// an installed package) does not reach the rows.
RunResult Cgi(std::vector<std::string> env, const std::string& body, std::string launcher = "",
              const char* program = CGI_PATH) {
    if (std::none_of(env.begin(), env.end(), [](const std::string& var) {
            return var.rfind("SCREENRECEIVER_ETC=", 0) == 0;
        })) {
        env.push_back("SCREENRECEIVER_ETC=" ETC_DIR);
    }
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (var.find("SAN_OPTIONS=") != std::string::npos || var.rfind("QEMU_", 0) == 0) {
            env.push_back(var);
        }
    }
    std::vector<std::string> argv =
        Words(launcher + " " + (std::getenv("CGI_LAUNCHER") ? std::getenv("CGI_LAUNCHER") : ""));
    argv.push_back(std::getenv("CGI_UNDER_TEST") ? std::getenv("CGI_UNDER_TEST") : program);
    return Run(argv, env, body, kLimitSec);
}

// The commands receiver-sim counted ("L" list, "P" start, "S" stop, "Q" quit) and who is
// shown in which frame.
std::string Seen(const SimProcess& sim) {
    std::string seen;
    auto add = [&](const std::string& word) { seen += (seen.empty() ? "" : " ") + word; };
    const char* names[] = {"GetNonLocalSenderList", "StartPlayImage", "StopPlayImage",
                           "QuitConfCtrl"};
    for (int i = 0; i < 4; ++i) {
        if (const int n = sim.Count(names[i])) {
            add("LPSQ"[i] + std::to_string(n));
        }
    }
    const nlohmann::json frames = sim.State()["frames"];
    for (const auto& frame : frames.items()) {
        if (!frame.value().is_null()) {
            add("f" + frame.key() + "=" + frame.value().dump());
        }
    }
    return seen;
}

struct Request {
    const char* options = ""; // receiver-sim's
    std::vector<std::string> env;
    std::string body = "";
    std::string out = "", seen;
    int status = 0;
    bool valgrind = false; // one of the few runs repeated under valgrind
};

// A request that cannot be read: the reason follows the reply's header, exit 1.
Request Rejection(const std::vector<std::string>& env, const std::string& reason,
                  bool valgrind = false) {
    const std::string out = kHeader + "Content-Type: text/plain\n\ngetcgivars(): " + reason + "\n";
    return {.env = env,
            .body = "x=Stop",
            .out = out,
            .seen = "L1 f2=8",
            .status = 1,
            .valgrind = valgrind};
}

// Through a web server: HTTP_HOST and the page's header (or `mark`); the names are the test's.
std::vector<std::string> Served(std::vector<std::string> env, const std::string& host,
                                const std::string& mark = "screenreceiver") {
    env.insert(env.end(), {"HTTP_HOST=" + host, "HTTP_X_REQUESTED_WITH=" + mark});
    return env;
}

// Refused: the 403 naming the rule, exit 1, nothing sent to the service.
Request Refused(const std::vector<std::string>& env, const std::string& rule) {
    const std::string out = "Status: 403 Forbidden\nContent-Type: text/plain\n\nRefused: the ";
    return {.env = env, .out = out + rule + "\n", .seen = "f2=8", .status = 1};
}

// What needs a process: the exits, the commands reaching the service, the request's input,
// the service's faults. Which commands a request asks for is the planner's own test.
const std::string kForm = "application/x-www-form-urlencoded";
const Request kRequests[] = {
    {.env = {"REQUEST_METHOD=GET"}, .out = Reply("-2-"), .seen = "L2 f2=8", .valgrind = true},
    // Play without a number takes the first free frame; the stop frees frame 2.
    {.env = Get("userid2=Play&userid1=Stop&userid0=Play3_1"),
     .out = Reply("3-1"),
     .seen = "L2 P2 S1 f1=300 f3=7"},
    // Logout ends the reply after "<return>".
    {.env = Get("userid0=Play1&logout=1&userid1=Stop"),
     .out = kHeader,
     .seen = "L1 P1 Q1 f1=7 f2=8",
     .valgrind = true},
    // POST reads CONTENT_LENGTH bytes of its body only, never the query; HEAD is read like GET.
    {.env = Post("APPLICATION/X-WWW-FORM-URLENCODED; charset=UTF-8", "26", "userid0=Stop"),
     .body = "userid2=Play1&userid1=Stop&userid0=Stop",
     .out = Reply("--1"),
     .seen = "L2 P1 S1 f1=300",
     .valgrind = true},
    {.env = {"REQUEST_METHOD=HEAD", "QUERY_STRING=userid%31=Stop"},
     .out = Reply("---"),
     .seen = "L2 S1"},
    // Each way a request fails has its text in the parser's own tests; these are the exits.
    Rejection({"REQUEST_METHOD=get", "QUERY_STRING=x=Stop"}, "Unsupported REQUEST_METHOD.", true),
    Rejection(Post(kForm, "99999999999"), "Couldn't malloc for cgiinput."),
    Rejection(Post(kForm, "50"), "Couldn't read CGI input from STDIN."),
    // The page's own call under a listed name; a rebound name; an image tag on another page.
    {.env = Served(Post(kForm, "13"), "Screen.LAN:8080"),
     .body = "userid0=Play1",
     .out = Reply("12-"),
     .seen = "L2 P1 f1=7 f2=8",
     .valgrind = true},
    Refused(Served(Get("logout=1"), "evil.example"),
            "request names a host that is not this device."),
    Refused(Served(Get("x=Play1"), "10.0.0.5", "x"),
            "request does not come from the control page."),
    // Basic entries, answers in pieces behind junk and unrequested frames.
    {.options = "--basic --junk 37 --unsolicited --chunk 3",
     .env = Get("userid0=Play3"),
     .out = Reply("32-", false),
     .seen = "L2 P1 f2=8 f3=7"},
    // The list answer breaks off inside the second entry: the first one is kept.
    {.options = "--close-mid 0x1a", .env = Get(""), .out = Reply("-xx"), .seen = "L1 f2=8"},
    // An unanswered Play took effect; an answer that stalls after its code ends the run
    // within the read's budget.
    {.options = "--silent 0x12",
     .env = Get("userid0=Play1"),
     .out = Reply("12-"),
     .seen = "L2 P1 f1=7 f2=8"},
    {.options = "--stall 0x18",
     .env = Get("userid0=Play1&logout=1"),
     .out = kHeader,
     .seen = "L1 P1 Q1 f1=7 f2=8"},
    // Not accepted: no output at all, even for a request that could not be read.
    {.options = "--no-accept", .env = {"REQUEST_METHOD=PUT"}, .seen = "f2=8", .status = 246},
};

void Check(const Request& row, const std::string& launcher = "", const char* program = CGI_PATH) {
    SimProcess sim(SIM_PATH, kSenders, Words(row.options));
    ASSERT_TRUE(sim.Ok());
    const RunResult r = Cgi(row.env, row.body, launcher, program);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(Seen(sim), row.seen);
}

} // namespace

TEST(CgiIntegrationTest, EachRequestAgainstTheService) {
    for (const Request& row : kRequests) {
        SCOPED_TRACE(testing::PrintToString(row.env) + " " + row.options);
        Check(row);
    }
    // Nothing listens: the refused connection is taken, and both list commands fail.
    const RunResult r = Cgi(Get("userid0=Play1"), "");
    EXPECT_EQ(r.out, kNoSenders);
    EXPECT_EQ(r.status, 0);
}

TEST(CgiIntegrationTest, RunsCleanUnderValgrind) {
#ifndef VALGRIND
    GTEST_SKIP() << "needs valgrind and a build without sanitizers";
#else
    if (std::getenv("CGI_UNDER_TEST") || std::getenv("CGI_LAUNCHER")) {
        GTEST_SKIP() << "the program runs under another launcher";
    }
    for (const Request& row : kRequests) {
        if (row.valgrind) {
            SCOPED_TRACE(testing::PrintToString(row.env));
            Check(row,
                  VALGRIND " -q --error-exitcode=99 --leak-check=full "
                           "--show-leak-kinds=definite --errors-for-leak-kinds=definite",
                  VALGRIND_CGI_PATH);
        }
    }
#endif
}

// With SCREENRECEIVER_LOG each fault leaves its own error code in the run log, and runs at
// once leave whole lines, each behind its process id.
TEST(CgiIntegrationTest, RunLogTellsFaultsApart) {
    const struct {
        const char* options;         // null: nothing listens, the connection is refused
        std::set<std::string> codes; // of the lines "ErrorCode=<code> -> <text>" ("": others)
        size_t runs;
    } rows[] = {{.options = nullptr, .codes = {"", "-111"}, .runs = 1},
                {.options = "--stall 0x12", .codes = {"", "-110"}, .runs = 1},
                {.options = "--close-mid 0x12", .codes = {"", "-6528002"}, .runs = 1},
                {.options = "", .codes = {""}, .runs = 8}};
    const std::regex line(R"(\[([0-9]+)\] [0-9:.]{12} [A-Z ]{6}\| (?:ErrorCode=(-[0-9]+) -> )?.*)");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options ? row.options : "refused");
        TempDir dir;
        std::unique_ptr<SimProcess> sim(
            row.options ? new SimProcess(SIM_PATH, kSenders, Words(row.options)) : nullptr);
        std::vector<std::string> env = Get("userid0=Play1");
        env.insert(env.end(),
                   {"SCREENRECEIVER_LOG=" + dir.Path("log"), "SCREENRECEIVER_LOG_LEVEL=700"});
        std::vector<std::thread> runs(row.runs);
        for (std::thread& run : runs)
            run = std::thread([&] { EXPECT_EQ(Cgi(env, "").status, 0); });
        for (std::thread& run : runs)
            run.join();
        std::istringstream log(dir.Read("log"));
        std::set<std::string> pids, codes;
        std::smatch m;
        for (std::string text; std::getline(log, text) && !log.eof();) {
            EXPECT_TRUE(std::regex_match(text, m, line)) << text;
            pids.insert(m[1]);
            codes.insert(m[2]);
        }
        EXPECT_TRUE(log.eof() && log.fail()) << "a last line without its newline";
        EXPECT_EQ(pids.size(), row.runs);
        EXPECT_EQ(codes, row.codes);
    }
}

// With a password: each way a run ends, and which runs reach the service. The hash is of
// the least cost (the runs stay fast under emulation too); a hash carries its cost.
TEST(CgiIntegrationTest, ModeratorAccess) {
    TempDir dir;
    SimProcess sim(SIM_PATH, kSenders);
    ASSERT_TRUE(sim.Ok());
    const auto box = [&](std::vector<std::string> env, const std::string& more = "") {
        if (!more.empty()) {
            env.push_back(more); // in place of a default of the same name
        }
        for (const std::string& fallback :
             {"SCREENRECEIVER_ETC=" + dir.Path("etc"), "SCREENRECEIVER_STATE=" + dir.Path("state"),
              std::string("REMOTE_ADDR=10.0.0.9")}) {
            const std::string name = fallback.substr(0, fallback.find('=') + 1);
            if (more.compare(0, name.size(), name) != 0) {
                env.push_back(fallback);
            }
        }
        return env;
    };
    std::filesystem::create_directories(dir.Path("etc"));
    std::filesystem::create_directories(dir.Path("bad/password"));
    dir.Write("etc/password", "3\n"); // removed: every byte as without one
    EXPECT_EQ(Reply("-2-"), Cgi(box(Get("")), "").out);
    dir.Write("etc/password", "4 " + PasswordFile::Hash("right", {1, 8192}) + "\n");

    const std::string text = "Cache-Control: no-store\nContent-Type: text/plain\n\n";
    const std::string session = "Cache-Control: no-store\nX-Screenreceiver-Session: active\n";
    const std::string in = "Set-Cookie: screenreceiver_session=T; HttpOnly; SameSite=Strict; "
                           "Path=/cgi-bin/screenreceiver.cgi\n" +
                           session;
    const std::string cookie = "HTTP_COOKIE=screenreceiver_session=";
    const std::string needed = "Status: 401 Unauthorized\n" + text + "Sign-in required.\n";
    const std::string wrong = "Status: 403 Forbidden\n" + text + "Refused: wrong password.\n";
    std::string token;
    const struct {
        std::vector<std::string> env;
        std::string body, out, seen;
        int status;
    } rows[] = {
        {box(Get("userid0=Stop")), "", needed, "L2 f2=8", 1},
        {box(Get("password=right")), "",
         "Status: 403 Forbidden\n" + text + "Refused: a password is taken only alone, in a POST.\n",
         "L2 f2=8", 1},
        {box(Post(kForm, "14")), "password=wrong", wrong, "L2 f2=8", 1},
        {box(Post(kForm, "50")), "password=right",
         "Status: 400 Bad Request\n" + text + "getcgivars(): Couldn't read CGI input from STDIN.\n",
         "L2 f2=8", 1},
        {box(Get(""), "SCREENRECEIVER_REQUIRE_HTTPS=1"), "",
         "Status: 403 Forbidden\n" + text + "Refused: use the https:// address of this device.\n",
         "L2 f2=8", 1},
        {box(Get(""), "SCREENRECEIVER_ETC=" + dir.Path("bad")), "",
         "Status: 503 Service Unavailable\n" + text +
             "Refused: the password file cannot be read.\n",
         "L2 f2=8", 1},
        {box(Post(kForm, "14")), "password=right", in + Reply("-2-"), "L4 f2=8", 0},
        {box(Get("userid0=Play1"), cookie), "", session + Reply("12-"), "L6 P1 f1=7 f2=8", 0},
        {box(Post(kForm, "9"), cookie), "signout=1",
         "Status: 200 OK\nSet-Cookie: screenreceiver_session=; Max-Age=0; HttpOnly; "
         "SameSite=Strict; Path=/cgi-bin/screenreceiver.cgi\n" +
             text + "Signed out.\n",
         "L6 P1 f1=7 f2=8", 0},
        {box(Get(""), cookie), "", needed, "L6 P1 f1=7 f2=8", 1},
    };
    const std::regex tokenText("screenreceiver_session=([0-9a-f]{64});");
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.env) + " " + row.body);
        std::vector<std::string> env = row.env;
        for (std::string& e : env) {
            e += e == cookie ? token : "";
        }
        const RunResult r = Cgi(env, row.body);
        std::smatch m;
        token = std::regex_search(r.out, m, tokenText) ? m[1].str() : token;
        EXPECT_EQ(row.out, std::regex_replace(r.out, tokenText, "screenreceiver_session=T;"));
        EXPECT_EQ(row.status, r.status);
        EXPECT_EQ(row.seen, Seen(sim));
    }
    // Held back: 429 with the wait left, the right password not even hashed.
    const long now = std::time(nullptr);
    dir.Write("state/signin",
              "10.0.0.9 5 " + std::to_string(now) + " " + std::to_string(now + 100) + " 60\n");
    const RunResult held = Cgi(box(Post(kForm, "14")), "password=right");
    EXPECT_TRUE(std::regex_match(held.out, std::regex("Status: 429 Too Many Requests\nRetry-After: "
                                                      "(100|99|98)\n" +
                                                      text +
                                                      "Too many wrong passwords: try again in "
                                                      "\\1 seconds.\n")))
        << held.out;
    EXPECT_EQ(1, held.status);
}
