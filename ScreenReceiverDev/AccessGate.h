// AccessGate: moderator access for a box with a password set. Runs after the request
// guard and before the service is contacted, on the request's parsed variables.
//
//   sign-in   a POST whose only variable is "password": right -> a new session, its
//             cookie on the normal list reply; wrong -> 403; held back -> 429 with
//             Retry-After, no hash computed (SignInThrottle). One hash at a time on the
//             box: sign-ins queue on the state folder's hash lock.
//   misplaced "password" anywhere else (a GET, beside other variables) -> 403
//   signout   "signout" with a valid session -> the session ends, "Signed out."
//   otherwise a valid session cookie lets the request go on; none -> 401
// "password" and "signout" never reach action planning. Every reply carries
// Cache-Control: no-store; a reply to a valid session carries
// X-Screenreceiver-Session: active. Plain-text replies put the Status line first.
// Sessions live in SessionStore, all state in a StateFolder, under its lock.
// Owns its clock and pause (injected, so tests step time instead of sleeping); no
// locking of its own (one per run, on the main thread).
#pragma once

#include "PasswordFile.h"
#include "getcgivars.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct AccessDecision {
    bool proceed = false; // the run goes on as a list request with the variables left
    std::string headers;  // proceed: lines to write before the XML reply's header
    std::string reply;    // otherwise: the whole reply
    int exitCode = 0;     // otherwise: the run's exit status
};

class AccessGate {
public:
    using Clock = std::function<int64_t()>;      // seconds since the epoch
    using Pause = std::function<void(unsigned)>; // waits that many seconds

    // The state folder's path, and the clock and pause to use (the process: wall clock,
    // sleep).
    AccessGate(std::string stateDir, Clock now, Pause pause);

    // The decision on a request to a box whose password is `password` (set); takes
    // "password" and "signout" out of `vars`.
    AccessDecision Decide(const CgiEnvLookup& getEnv, const PasswordRecord& password,
                          std::vector<CgiVariable>* vars) const;

    // "Status: <status>", `headers` (whole lines), "Content-Type: text/plain", an empty
    // line and `text`, each ended by "\n".
    static std::string PlainReply(const std::string& status, const std::string& headers,
                                  const std::string& text);
    // Whether the request must be refused for not coming over HTTPS: the server asked for
    // that with SCREENRECEIVER_REQUIRE_HTTPS=1 (its plain-HTTP side runs us so) and HTTPS
    // is not "on".
    static bool RefusesPlainHttp(const CgiEnvLookup& getEnv);

    static constexpr const char* kCookie = "screenreceiver_session";
    static constexpr const char* kNoStore = "Cache-Control: no-store\n";

private:
    AccessDecision SignIn(const CgiEnvLookup& getEnv, const PasswordRecord& password,
                          const std::string& given) const;

    std::string m_stateDir;
    Clock m_now;
    Pause m_pause;
};
