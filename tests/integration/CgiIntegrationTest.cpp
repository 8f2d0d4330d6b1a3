// The program as a process against the service on its fixed port: the exact reply and
// exit status of each kind of request, and what the service saw. CGI_UNDER_TEST names
// another build of the program to run (a cross-built one) and CGI_LAUNCHER what to run it
// with (words split on blanks, e.g. "qemu-arm"); QEMU_* settings are passed on.
#include "Peer.h"
#include "Process.h"
#include "Wire.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
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
    const char* names[] = {"Alice", "BPa_Ampb Pa_LtxPa_Gt", "CarolPa_Note100Pa_PercentPa_Add"};
    const char* ips[] = {"10.0.0.5", "10.0.0.6", "192.168.1.20"};
    const int appTypes[] = {1, 2, 65535};
    std::string out = kHeader + "<total>3</total>\n";
    for (int i = 0; i < 3; ++i) {
        const bool x = frames[i] == 'x';
        out += "<conference>\n<username>" + std::string(x ? "" : names[i]) +
               "</username>\n<frame>" + (frames[i] == '-' || x ? "-1" : frames.substr(i, 1)) +
               "</frame>\n<ip>" + (x ? "0.0.0.0" : ips[i]) + "</ip>\n<apptype>" +
               std::to_string(x || !appType ? 0 : appTypes[i]) + "</apptype>\n</conference>\n";
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
// sanitizers' and the emulator's settings.
RunResult Cgi(std::vector<std::string> env, const std::string& body, std::string launcher = "") {
    for (char** e = environ; *e; ++e) {
        const std::string var = *e;
        if (var.find("SAN_OPTIONS=") != std::string::npos || var.rfind("QEMU_", 0) == 0) {
            env.push_back(var);
        }
    }
    std::vector<std::string> argv =
        Words(launcher + " " + (std::getenv("CGI_LAUNCHER") ? std::getenv("CGI_LAUNCHER") : ""));
    argv.push_back(std::getenv("CGI_UNDER_TEST") ? std::getenv("CGI_UNDER_TEST") : CGI_PATH);
    return Run(argv, env, body, kLimitSec);
}

// Plays the service for one run: every list answer holds Alice not shown (though her frame
// byte says 3), "B&b <x>" shown without a frame number and Carol in frame 3. Notes each
// request in order: "L" list, "P<id>/<frame byte>", "S<id>", "Q" quit.
class ScriptedService {
public:
    ScriptedService() : m_thread([this] { Serve(); }) {}
    std::string Seen() {
        m_thread.join();
        return m_seen;
    }

private:
    void Serve() {
        std::string list = wire::Frame(0x1B, wire::ListHeader(3, true));
        for (const wire::EntryFields& e :
             {wire::EntryFields{7, inet_addr("10.0.0.5"), "Alice", 0, 3, 0, 1},
              wire::EntryFields{8, inet_addr("10.0.0.6"), "B&b <x>", 1, 0x80, 0, 2},
              wire::EntryFields{300, inet_addr("192.168.1.20"), "Carol;100%+", 1, 3, 0, 65535}}) {
            list += wire::Entry(e, true);
        }
        peer::Peer conn = m_listener.Accept(kLimitSec * 1000);
        for (std::string r; (r = conn.Read(40, kLimitSec * 1000)).size() == 40;) {
            uint32_t id;
            std::memcpy(&id, &r[8], 4);
            const std::string code = r.substr(7, 1), ids = std::to_string(ntohl(id));
            m_seen += (m_seen.empty() ? "" : " ") +
                      (code == "\x1A"   ? "L"
                       : code == "\x12" ? "P" + ids + "/" + std::to_string(uint8_t(r[12]))
                       : code == "\x14" ? "S" + ids
                       : code == "\x18" ? "Q"
                                        : "?");
            conn.Write(code == "\x1A" ? list : wire::Frame(uint8_t(r[7] + 1), wire::Zeros(32)));
        }
    }
    peer::Listener m_listener{16, 19996};
    std::string m_seen;
    std::thread m_thread;
};

const std::string kList = Reply("-03");

struct Request {
    std::vector<std::string> env;
    std::string seen, out = kList, body = "";
    int status = 0;
    bool valgrind = false; // one of the few runs repeated under valgrind
};

// A request that cannot be read: the reason follows the reply's header, exit 1.
Request Rejection(const std::vector<std::string>& env, const std::string& reason,
                  bool valgrind = false) {
    const std::string out = kHeader + "Content-Type: text/plain\n\ngetcgivars(): " + reason + "\n";
    return {env, "L", out, "x=Stop", 1, valgrind};
}

const std::string kForm = "application/x-www-form-urlencoded";
const std::string kStop8 = "x=Stop&x=Stop&x=Stop&x=Stop&x=Stop&x=Stop&x=Stop&x=Stop";
const std::string kMethod = "Unsupported REQUEST_METHOD.";
const Request kRequests[] = {
    {{"REQUEST_METHOD=GET"}, "L L", kList, "", 0, true},
    {Get("userid2=Play3_1&userid2=Play256&userid2=Play-1&userid4294967298=Play4294967299"),
     "L P300/3 P300/0 P300/255 P300/3 L"},
    {Get("userid2=Play&userid2=Play_1&userid2=Play0"), "L P300/128 P300/128 P300/128 L"},
    // The selection starts at 0, carries over to later variables and is read like strtol.
    {Get("x=Stop&userid2=-&frame=Play1&y=Stop"), "L S7 P300/1 S300 L"},
    {Get("userid1=&useridX=Stop;userid%20%2b1=Stop&userid7x=&userid2x=Stop"), "L S7 S8 S300 L"},
    // Only leading characters count, case-sensitively.
    {Get("Logout=1&userid1=play2&x=stop&userid=Pla&useri=Sto&z=%4"), "L L"},
    {Get("USERID1=Play2&userid1=Stopped&userid0=PlayStop=1"), "L P7/2 S8 P7/128 L"},
    // "sender<i>" names who the page showed at i: an action on i reaches only that sender.
    {Get("sender0=10.0.0.5&userid0=Stop&sender1=10.0.0.6+B%26b+%3Cx%3E&userid1=Stop"), "L S7 S8 L"},
    {Get("userid2=Stop&sender2=192.168.1.20+CarolPa_Note100%25%2B"), "L S300 L"}, // as replied
    {Get("sender0=10.0.0.6&userid0=Stop&userid1=&sender5=Stop"), "L L"}, // "sender5" is no action
    {Get("sender2=192.168.1.20+Carol&userid2=Stop&sender0=10.0.0.5+alice&userid0=Stop"), "L L"},
    // An index naming no sender is skipped but counts among the first 8; the rest is ignored.
    {Get("userid3=Play1&userid-1=Stop&userid99999999999=Play2&userid0=&" + kStop8 + "&logout=1"),
     "L S7 S7 S7 S7 S7 L"},
    // Logout ends the reply after "<return>", after the actions before it.
    {Get("logout=1"), "L Q", kHeader, "", 0, true},
    {Get("userid1=Play2&logout2=&userid0=Stop"), "L P8/2 Q", kHeader},
    // POST reads CONTENT_LENGTH bytes of its body only; HEAD is read like GET.
    {Post("APPLICATION/X-WWW-FORM-URLENCODED; charset=UTF-8", "26", "userid0=Stop"),
     "L P300/1 S8 L", kList, "userid2=Play1&userid1=Stop&userid0=Stop", 0, true},
    {{"REQUEST_METHOD=HEAD", "QUERY_STRING=userid%31=Stop"}, "L S8 L"},
    // Each way a request fails has its text in the parser's own tests; these are the exits.
    Rejection({"REQUEST_METHOD=get", "QUERY_STRING=x=Stop"}, kMethod, true),
    Rejection(Post(kForm, "99999999999"), "Couldn't malloc for cgiinput."),
    Rejection(Post(kForm, "50"), "Couldn't read CGI input from STDIN."),
};

void Check(const Request& row, const std::string& launcher = "") {
    ScriptedService service;
    const RunResult r = Cgi(row.env, row.body, launcher);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(service.Seen(), row.seen);
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

} // namespace

TEST(CgiIntegrationTest, RequestsAgainstAScriptedService) {
    for (const Request& row : kRequests) {
        SCOPED_TRACE(testing::PrintToString(row.env));
        Check(row);
    }
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
            Check(row, VALGRIND " -q --error-exitcode=99 --leak-check=full "
                                "--show-leak-kinds=definite --errors-for-leak-kinds=definite");
        }
    }
#endif
}

TEST(CgiIntegrationTest, ServiceFaults) {
    struct Row {
        const char* options;
        std::vector<std::string> env;
        std::string out, seen;
        int status = 0;
    };
    const Row rows[] = {
        // Play without a number takes the first free frame; the stop frees frame 2.
        {"", Get("userid2=Play&userid1=Stop&userid0=Play3"), Reply("3-1"), "L2 P2 S1 f1=300 f3=7"},
        // Basic entries, answers in pieces behind junk and unrequested frames.
        {"--basic --junk 37 --unsolicited --chunk 3", Get("userid0=Play3"), Reply("32-", false),
         "L2 P1 f2=8 f3=7"},
        // The list answer breaks off inside the second entry: the first one is kept.
        {"--close-mid 0x1a", Get(""), Reply("-xx"), "L1 f2=8"},
        // An unanswered Play took effect; an answer that stalls after its code ends the run
        // within the read's budget.
        {"--silent 0x12", Get("userid0=Play1"), Reply("12-"), "L2 P1 f1=7 f2=8"},
        {"--stall 0x18", Get("userid0=Play1&logout=1"), kHeader, "L1 P1 Q1 f1=7 f2=8"},
        // Not accepted: no output at all, whatever the request.
        {"--no-accept", Get("userid0=Play1"), "", "f2=8", 246},
        {"--no-accept", {"REQUEST_METHOD=PUT"}, "", "f2=8", 246},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.options);
        SimProcess sim(SIM_PATH, kSenders, Words(row.options));
        ASSERT_TRUE(sim.Ok());
        const RunResult r = Cgi(row.env, "");
        EXPECT_EQ(r.out, row.out);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(Seen(sim), row.seen);
    }
    // Nothing listens: the refused connection is taken, and both list commands fail.
    const RunResult r = Cgi(Get("userid0=Play1"), "");
    EXPECT_EQ(r.out, kNoSenders);
    EXPECT_EQ(r.status, 0);
}

// With SCREENRECEIVER_LOG each fault leaves its own error code in the run log, and runs at
// once leave whole lines, each behind its process id.
TEST(CgiIntegrationTest, RunLogTellsFaultsApart) {
    const struct {
        const char* options;         // null: nothing listens, the connection is refused
        std::set<std::string> codes; // of the lines "ErrorCode=<code> -> <text>" ("": others)
        size_t runs;
    } rows[] = {{nullptr, {"", "-111"}, 1},
                {"--stall 0x12", {"", "-110"}, 1},
                {"--close-mid 0x12", {"", "-6528002"}, 1},
                {"", {""}, 8}};
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
