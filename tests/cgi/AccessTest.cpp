// In-process: the session table, the sign-in hold-back and the access gate's replies, on
// a stepped clock. Hashes use libsodium's least cost (tests stay fast); the box's own cost
// is PasswordFile::kCost.
#include "AccessGate.h"
#include "SessionStore.h"
#include "SignInThrottle.h"
#include "TempDir.h"

#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int64_t kT0 = 1'800'000'000;
const HashCost kCheap = {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};

TEST(SessionStore, SessionsEndByAgeIdlenessGenerationAndSignOut) {
    ASSERT_GE(sodium_init(), 0);
    const int64_t idle = SessionStore::kMaxIdle, age = SessionStore::kMaxAge;
    std::vector<int64_t> polls; // every 29 min until the age runs out
    for (int64_t t = 29 * 60; t < age; t += 29 * 60) {
        polls.push_back(t);
    }
    const struct {
        std::vector<int64_t> alive; // requests (seconds after opening) that find it alive
        int64_t last;               // then one at this time
        uint64_t generation;
        bool lastAlive;
    } rows[] = {{{}, idle - 1, 1, true},    {{}, idle, 1, false},      {{59}, idle, 1, false},
                {{60}, idle + 59, 1, true}, {polls, age - 1, 1, true}, {polls, age, 1, false},
                {{}, 10, 2, false},         {{}, -1, 1, false}};
    for (const auto& row : rows) {
        std::string text = "junk line\n";
        SessionStore opened(text);
        const std::string token = opened.Open(1, kT0);
        text = opened.Text();
        for (int64_t t : row.alive) {
            SessionStore store(text); // read and written back as each run does
            EXPECT_TRUE(store.Touch(token, 1, kT0 + t)) << t;
            text = store.Text();
        }
        EXPECT_EQ(row.lastAlive, SessionStore(text).Touch(token, row.generation, kT0 + row.last))
            << row.last;
    }
    // Bounded: the least recently seen goes; tokens of another length or unknown never match.
    SessionStore store("");
    std::vector<std::string> tokens;
    for (size_t i = 0; i <= SessionStore::kMaxSessions; ++i) {
        tokens.push_back(store.Open(1, kT0 + static_cast<int64_t>(i)));
    }
    EXPECT_EQ(SessionStore::kMaxSessions, store.Size());
    EXPECT_FALSE(store.Touch(tokens[0], 1, kT0 + 100));
    EXPECT_TRUE(store.Touch(tokens[1], 1, kT0 + 100));
    for (const std::string& bad : {std::string(), tokens[1].substr(1), std::string(64, '0')}) {
        EXPECT_FALSE(store.Touch(bad, 1, kT0 + 100)) << bad;
    }
    EXPECT_TRUE(store.Close(tokens[1]));
    EXPECT_FALSE(SessionStore(store.Text()).Touch(tokens[1], 1, kT0 + 100));
    EXPECT_EQ(std::string::npos, store.Text().find(tokens[2])); // only hashes are kept
}

// A script of "W" (wrong) and "R" (right) passwords from address keys; each step checks
// the wait that follows it.
TEST(SignInThrottle, WrongPasswordsHoldTheAddressBack) {
    const struct Step {
        int64_t t;
        const char* what; // "W a", "R a"
        int64_t wait;     // for the same address after the step
    } wrongs[] = {{0, "W a", 0},     {1, "W a", 0},     {2, "W a", 0},      {3, "W a", 0},
                  {4, "W a", 60},    {63, "W b", 0},    {64, "W a", 120},   {184, "W a", 240},
                  {424, "W a", 480}, {904, "W a", 900}, {1804, "W a", 900}, {2703, "W b", 0}},
      windowed[] = {{0, "W a", 0}, {1, "W a", 0}, {2, "W a", 0}, {3, "W a", 0}, {600, "W a", 0}},
      forgiven[] = {{0, "W a", 0}, {1, "W a", 0}, {2, "W a", 0},   {3, "W a", 0},
                    {4, "R a", 0}, {5, "W a", 0}, {3600, "W a", 0}};
    for (const auto& script : {std::vector<Step>(std::begin(wrongs), std::end(wrongs)),
                               std::vector<Step>(std::begin(windowed), std::end(windowed)),
                               std::vector<Step>(std::begin(forgiven), std::end(forgiven))}) {
        std::string text;
        for (const Step& step : script) {
            SignInThrottle throttle(text);
            const std::string key = step.what + 2;
            step.what[0] == 'W' ? throttle.Wrong(key, kT0 + step.t)
                                : throttle.Right(key, kT0 + step.t);
            text = throttle.Text();
            EXPECT_EQ(step.wait, SignInThrottle(text).Wait(key, kT0 + step.t)) << step.t;
        }
    }
    const std::pair<const char*, std::string> keys[] = {
        {"10.0.0.1", "10.0.0.1"},
        {"::ffff:10.0.0.1", "10.0.0.1"},
        {"2001:db8::1", "20010db800000000/64"},
        {"2001:DB8:0:0:ffff::2", "20010db800000000/64"},
        {"2001:db8:0:1::1", "20010db800000001/64"},
        {"junk", "-"},
        {nullptr, "-"}};
    for (const auto& [address, key] : keys) {
        EXPECT_EQ(key, SignInThrottle::AddressKey(address)) << (address ? address : "null");
    }
    // A full table: new addresses share one bucket, the counted ones keep theirs; every
    // wrong password counts toward slowing all, and a clock stepped back holds no longer.
    SignInThrottle full("");
    for (size_t i = 0; i < SignInThrottle::kMaxAddresses; ++i) {
        // Appended: GCC 12 at -O3 warns falsely (-Wrestrict) on "k" + std::to_string(i).
        full.Wrong(std::string("k").append(std::to_string(i)), kT0);
    }
    EXPECT_TRUE(full.Slowed(kT0));
    for (int i = 0; i < SignInThrottle::kMaxWrong; ++i) {
        full.Wrong("new1", kT0);
    }
    EXPECT_EQ(60, full.Wait("new2", kT0));
    EXPECT_EQ(0, full.Wait("k0", kT0));
    EXPECT_FALSE(full.Slowed(kT0 + SignInThrottle::kWindow));
    EXPECT_EQ(900, SignInThrottle("a 5 0 9999999999 900\n").Wait("a", kT0));
}

struct Gate {
    TempDir dir;
    int64_t now = kT0;
    std::vector<unsigned> pauses;
    PasswordRecord password{4, PasswordFile::Hash("right", kCheap)};
    AccessGate gate{dir.Path("state"), [this] { return now; },
                    [this](unsigned s) { pauses.push_back(s); }};

    // The reply (or "go:" and the header lines) and the status for a request
    // "METHOD query" with these extra variables ("NAME=value" each).
    std::string left; // the variables the last request kept, "NAME=value " each

    std::string Ask(const std::string& request, std::vector<std::string> env = {}) {
        env.push_back("REQUEST_METHOD=" + request.substr(0, request.find(' ')));
        std::vector<CgiVariable> vars = ParseFormText(request.substr(request.find(' ') + 1));
        const AccessDecision d = gate.Decide(
            [&](const char* name) -> const char* {
                for (const std::string& e : env) {
                    if (e.rfind(std::string(name) + "=", 0) == 0) {
                        return e.c_str() + std::strlen(name) + 1;
                    }
                }
                return nullptr;
            },
            password, &vars);
        left.clear();
        for (const CgiVariable& v : vars) {
            left += v.name + "=" + v.value + " ";
        }
        return (d.proceed ? "go:" + d.headers : d.reply) + std::to_string(d.exitCode);
    }
};

TEST(AccessGate, EachRequestGetsItsReply) {
    Gate g;
    const std::string plain = "Cache-Control: no-store\nContent-Type: text/plain\n\n";
    const std::string needed = "Status: 401 Unauthorized\n" + plain + "Sign-in required.\n1";
    const std::string misplaced = "Status: 403 Forbidden\n" + plain +
                                  "Refused: a password is taken only alone, in a POST.\n1";
    EXPECT_EQ(needed, g.Ask("GET userid0=Stop", {}));
    EXPECT_EQ(misplaced, g.Ask("GET password=right", {}));
    EXPECT_EQ(misplaced, g.Ask("POST password=right&userid0=Stop", {}));
    EXPECT_EQ("Status: 403 Forbidden\n" + plain + "Refused: wrong password.\n1",
              g.Ask("POST password=wrong", {}));
    const std::string in = g.Ask("POST password=right", {"HTTPS=on"});
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        in, m,
        std::regex("go:Set-Cookie: screenreceiver_session=([0-9a-f]{64}); HttpOnly; "
                   "SameSite=Strict; Path=/cgi-bin/screenreceiver.cgi; Secure\n"
                   "Cache-Control: no-store\nX-Screenreceiver-Session: active\n0")))
        << in;
    const std::string cookie = "HTTP_COOKIE=a=1; screenreceiver_session=" + m[1].str();
    g.now += 60;
    EXPECT_EQ("go:Cache-Control: no-store\nX-Screenreceiver-Session: active\n0",
              g.Ask("GET userid0=Stop&signoutx=1", {cookie}));
    EXPECT_EQ("userid0=Stop signoutx=1 ", g.left);
    EXPECT_EQ("Status: 200 OK\nSet-Cookie: screenreceiver_session=; Max-Age=0; HttpOnly; "
              "SameSite=Strict; Path=/cgi-bin/screenreceiver.cgi\n" +
                  plain + "Signed out.\n0",
              g.Ask("POST signout=1", {cookie}));
    EXPECT_EQ(needed, g.Ask("GET", {cookie}));
    EXPECT_EQ(needed, g.Ask("POST signout=1", {cookie}));

    // Held back after five wrong ones: even the right password gets 429 without a hash;
    // another address signs in, slowed once thirty wrong ones came from anywhere.
    for (int i = 0; i < SignInThrottle::kMaxWrong; ++i) {
        g.Ask("POST password=wrong", {"REMOTE_ADDR=10.0.0.9"});
    }
    EXPECT_EQ("Status: 429 Too Many Requests\nRetry-After: 60\n" + plain +
                  "Too many wrong passwords: try again in 60 seconds.\n1",
              g.Ask("POST password=right", {"REMOTE_ADDR=10.0.0.9"}));
    for (int i = 0; i < SignInThrottle::kGlobalCeiling - 6; ++i) { // 6 wrong ones came before
        g.Ask("POST password=wrong", {"REMOTE_ADDR=10.1.0." + std::to_string(i)});
    }
    EXPECT_TRUE(g.pauses.empty());
    EXPECT_EQ("go:", g.Ask("POST password=right", {"REMOTE_ADDR=10.2.0.1"}).substr(0, 3));
    EXPECT_EQ(std::vector<unsigned>{SignInThrottle::kSlowPauseSec}, g.pauses);
    // A new password generation ends the sessions before it.
    const std::string again = g.Ask("POST password=right");
    g.password.generation = 5;
    EXPECT_EQ(needed, g.Ask("GET", {"HTTP_COOKIE=" + again.substr(15, 87)}));
    // A state folder that cannot be made refuses; it never lets a request through.
    g.gate = AccessGate(
        "/proc/none/state", [] { return kT0; }, [](unsigned) {});
    EXPECT_EQ(0u, g.Ask("GET", {cookie}).find("Status: 503 Service Unavailable\n"));
}

TEST(AccessGate, PasswordFileAndPlainHttp) {
    TempDir dir;
    const std::string path = dir.Path("etc/password");
    PasswordRecord record;
    EXPECT_EQ(0, PasswordFile::Read(path, &record)); // missing: no password
    EXPECT_FALSE(record.Set());
    ASSERT_EQ(0, PasswordFile::Change(path, "pw", getegid(), kCheap));
    ASSERT_EQ(0, PasswordFile::Read(path, &record));
    EXPECT_EQ(1u, record.generation);
    EXPECT_TRUE(PasswordFile::Verify(record.hash, "pw"));
    EXPECT_FALSE(PasswordFile::Verify(record.hash, "pW"));
    ASSERT_EQ(0, PasswordFile::Change(path, "", getegid()));
    EXPECT_EQ("2\n", dir.Read("etc/password"));
    struct stat st = {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777u);
    EXPECT_EQ(getegid(), st.st_gid);
    for (const char* bad : {"", "x 1", "1 a b", "1  ", "12345678901234567890 $a", "1 \x01"}) {
        dir.Write("etc/password", bad);
        EXPECT_EQ(-EINVAL, PasswordFile::Read(path, &record)) << bad;
        EXPECT_FALSE(record.Set());
    }
    const std::tuple<const char*, const char*, bool> https[] = {{"1", nullptr, true},
                                                                {"1", "off", true},
                                                                {"1", "ON", false},
                                                                {"0", nullptr, false},
                                                                {nullptr, nullptr, false}};
    for (const auto& row : https) {
        EXPECT_EQ(std::get<2>(row), AccessGate::RefusesPlainHttp([&](const char* name) {
                      return std::strcmp(name, "HTTPS") == 0 ? std::get<1>(row) : std::get<0>(row);
                  }));
    }
}

} // namespace
