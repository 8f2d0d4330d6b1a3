#include "AccessGate.h"
#include "SessionStore.h"
#include "SignInThrottle.h"
#include "StateFolder.h"

#include <algorithm>
#include <cstring>
#include <sodium.h>
#include <strings.h>

namespace {

constexpr const char* kCookieAttributes =
    "; HttpOnly; SameSite=Strict; Path=/cgi-bin/screenreceiver.cgi";
constexpr const char* kActive = "X-Screenreceiver-Session: active\n";
constexpr size_t kMaxCookies = 4; // of our name, each tried

bool IsOn(const char* value) {
    return value != nullptr && strcasecmp(value, "on") == 0;
}

AccessDecision Refuse(const std::string& status, const std::string& text,
                      const std::string& headers = "") {
    return {false, "", AccessGate::PlainReply(status, headers + AccessGate::kNoStore, text), 1};
}

AccessDecision NoState() {
    return Refuse("503 Service Unavailable", "Refused: the sign-in state cannot be kept.");
}

// The values of our cookie in a Cookie header ("a=1; name=value; ...").
std::vector<std::string> SessionCookies(const char* header) {
    std::vector<std::string> tokens;
    const std::string text = header != nullptr ? header : "";
    const std::string prefix = std::string(AccessGate::kCookie) + "=";
    for (size_t pos = 0; pos < text.size() && tokens.size() < kMaxCookies;) {
        size_t end = text.find(';', pos);
        end = end == std::string::npos ? text.size() : end;
        const size_t start = text.find_first_not_of(' ', pos);
        if (start < end && text.compare(start, prefix.size(), prefix) == 0) {
            tokens.push_back(text.substr(start + prefix.size(), end - start - prefix.size()));
        }
        pos = end + 1;
    }
    return tokens;
}

} // namespace

AccessGate::AccessGate(std::string stateDir, Clock now, Pause pause)
    : m_stateDir(std::move(stateDir)), m_now(std::move(now)), m_pause(std::move(pause)) {}

std::string AccessGate::PlainReply(const std::string& status, const std::string& headers,
                                   const std::string& text) {
    return "Status: " + status + "\n" + headers + "Content-Type: text/plain\n\n" + text + "\n";
}

bool AccessGate::RefusesPlainHttp(const CgiEnvLookup& getEnv) {
    const char* required = getEnv("SCREENRECEIVER_REQUIRE_HTTPS");
    return required != nullptr && std::strcmp(required, "1") == 0 && !IsOn(getEnv("HTTPS"));
}

AccessDecision AccessGate::Decide(const CgiEnvLookup& getEnv, const PasswordRecord& password,
                                  std::vector<CgiVariable>* vars) const {
    if (sodium_init() < 0) {
        return NoState();
    }
    const size_t given = vars->size();
    const auto passwordVar = std::find_if(
        vars->begin(), vars->end(), [](const CgiVariable& v) { return v.name == "password"; });
    if (passwordVar != vars->end()) {
        const char* method = getEnv("REQUEST_METHOD");
        if (given != 1 || method == nullptr || std::strcmp(method, "POST") != 0) {
            return Refuse("403 Forbidden", "Refused: a password is taken only alone, in a POST.");
        }
        const std::string typed = passwordVar->value;
        vars->clear();
        return SignIn(getEnv, password, typed);
    }
    const bool signOut = std::any_of(vars->begin(), vars->end(),
                                     [](const CgiVariable& v) { return v.name == "signout"; });
    vars->erase(std::remove_if(vars->begin(), vars->end(),
                               [](const CgiVariable& v) { return v.name == "signout"; }),
                vars->end());

    StateFolder folder(m_stateDir);
    const StateFolder::Lock lock(folder, "lock");
    if (!lock.Held()) {
        return NoState();
    }
    SessionStore sessions(folder.Read("sessions"));
    const int64_t now = m_now();
    bool valid = false;
    std::string token;
    for (const std::string& cookie : SessionCookies(getEnv("HTTP_COOKIE"))) {
        if (!valid && sessions.Touch(cookie, password.generation, now)) {
            valid = true;
            token = cookie;
        }
    }
    if (valid && signOut) {
        sessions.Close(token);
    }
    // A last-seen note that cannot be written costs only idle time; an ending must stick.
    if (sessions.Changed() && !folder.Write("sessions", sessions.Text()) && valid && signOut) {
        return NoState();
    }
    if (!valid) {
        return Refuse("401 Unauthorized", "Sign-in required.");
    }
    if (signOut) {
        const std::string cleared = std::string("Set-Cookie: ") + kCookie + "=; Max-Age=0" +
                                    kCookieAttributes + (IsOn(getEnv("HTTPS")) ? "; Secure" : "");
        return {false, "", PlainReply("200 OK", cleared + "\n" + kNoStore, "Signed out."), 0};
    }
    return {true, std::string(kNoStore) + kActive, "", 0};
}

AccessDecision AccessGate::SignIn(const CgiEnvLookup& getEnv, const PasswordRecord& password,
                                  const std::string& typed) const {
    const std::string key = SignInThrottle::AddressKey(getEnv("REMOTE_ADDR"));
    StateFolder folder(m_stateDir);
    const StateFolder::Lock hashing(folder, "hash.lock"); // before "lock", never after it
    if (!hashing.Held()) {
        return NoState();
    }
    int64_t wait = 0;
    bool slowed = false;
    {
        const StateFolder::Lock lock(folder, "lock");
        if (!lock.Held()) {
            return NoState();
        }
        SignInThrottle throttle(folder.Read("signin"));
        wait = throttle.Wait(key, m_now());
        slowed = throttle.Slowed(m_now());
    }
    if (wait > 0) {
        const std::string seconds = std::to_string(wait);
        return Refuse("429 Too Many Requests",
                      "Too many wrong passwords: try again in " + seconds + " seconds.",
                      "Retry-After: " + seconds + "\n");
    }
    if (slowed) {
        m_pause(SignInThrottle::kSlowPauseSec);
    }
    const bool right = PasswordFile::Verify(password.hash, typed);

    const StateFolder::Lock lock(folder, "lock");
    if (!lock.Held()) {
        return NoState();
    }
    const int64_t now = m_now();
    SignInThrottle throttle(folder.Read("signin"));
    if (right) {
        throttle.Right(key, now);
    } else {
        throttle.Wrong(key, now);
    }
    // Uncounted guesses would not be held back: a table that cannot be written refuses.
    if (!folder.Write("signin", throttle.Text())) {
        return NoState();
    }
    if (!right) {
        return Refuse("403 Forbidden", "Refused: wrong password.");
    }
    SessionStore sessions(folder.Read("sessions"));
    const std::string token = sessions.Open(password.generation, now);
    if (!folder.Write("sessions", sessions.Text())) {
        return NoState();
    }
    return {true,
            std::string("Set-Cookie: ") + kCookie + "=" + token + kCookieAttributes +
                (IsOn(getEnv("HTTPS")) ? "; Secure" : "") + "\n" + kNoStore + kActive,
            "", 0};
}
