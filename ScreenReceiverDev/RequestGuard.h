// RequestGuard: decides whether a request that came through a web server may reach the
// receiver service, so that the program protects itself whatever server runs it.
//
// A browser on the office LAN may be steered by any page it shows: cross-site form posts,
// image-tag GETs, DNS rebinding (a foreign name now pointing at this box). The guard acts
// only when HTTP_HOST is set, i.e. the request came from a browser through a server; a run
// without it (the service's own tools, tests, a shell) passes untouched and no
// configuration is read. The rules, first failing one decides:
//   Host     HTTP_HOST must be an IPv4 literal, a bracketed IPv6 literal, "localhost" or
//            one of the box's own names, each with an optional :port          -> 403
//   method   GET, POST or HEAD                                                  -> 405
//   Origin   when HTTP_ORIGIN is set it must be this request's own origin      -> 403
//   fetch    HTTP_SEC_FETCH_SITE "cross-site" or "same-site"                   -> 403
//   proof    X-Requested-With: screenreceiver (the page sends it on every call), or
//            an Origin that passed above; a foreign page can send neither       -> 403
//   size     CONTENT_LENGTH, read as the form parser reads it, above 4096      -> 413
// Host and Origin are compared as host and port: names and IPv6 literals ignore letter
// case, one trailing dot on a name is dropped, a missing port is the scheme's default
// (443 with HTTPS=on, else 80), so "http://10.0.0.5" matches the Host "10.0.0.5:80". The
// Origin's scheme must be the request's: https with HTTPS=on, else http; "null" never
// matches. Hosts longer than kMaxHostLength, ports that are not 1 to 5 digits up to
// 65535 and anything else malformed are refused.
//
// The box's names come from one file, NamesFile(): one name per line; "#" starts a
// comment, blank lines and the spaces, tabs and CR around a name are ignored. A name is a
// DNS name (labels of letters, digits and inner "-", joined by dots, one trailing dot
// allowed), compared ignoring case; other lines are skipped, and only the first
// kMaxNamesBytes (whole lines) and kMaxNames names count. Without the file only the
// literals and localhost are served.
//
// Everything here but the process helpers is a pure function. Owns nothing; no locking
// (used on the main thread only).
#pragma once

#include "getcgivars.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Which rule refused a request.
enum class GuardRule { None, Host, Method, Origin, FetchSite, Proof, Size };

struct GuardVerdict {
    GuardRule rule = GuardRule::None; // None: allowed
    int status = 0;                   // HTTP status of a refusal (403, 405, 413)
    const char* reason = "";          // its reason phrase
    const char* allow = nullptr;      // the Allow header's value, for 405 only
    const char* text = "";            // one line naming the rule, without line feed
    bool Allowed() const { return rule == GuardRule::None; }
};

class RequestGuard {
public:
    static constexpr size_t kMaxHostLength = 255;
    static constexpr long long kMaxContentLength = 4096;
    static constexpr size_t kMaxNamesBytes = 64 * 1024;
    static constexpr size_t kMaxNames = 256;

    // The verdict on the request that `getEnv` describes; `names` are the box's own names
    // as ParseNames gives them. Allowed whenever HTTP_HOST is not set. Never reads a body.
    static GuardVerdict Check(const CgiEnvLookup& getEnv, const std::vector<std::string>& names);

    // The names of a names file's text, in lower case without a trailing dot, in order.
    static std::vector<std::string> ParseNames(std::string_view text);
    // The names in the file at `path`; none when it is missing, unreadable or not a
    // regular file. Reads at most kMaxNamesBytes (a line cut there is dropped).
    static std::vector<std::string> ReadNames(const std::string& path);
    // "<folder>/hostnames", the folder being `etcOverride` when set and non-empty (the
    // process passes SCREENRECEIVER_ETC), else the one fixed at build time.
    static std::string NamesFile(const char* etcOverride);

    // The whole CGI reply of a refusal: "Status: ...", "Allow: ..." for 405,
    // "Content-Type: text/plain", an empty line and the rule's line, each ended by "\n".
    static std::string RefusalReply(const GuardVerdict& verdict);

    // Check on the process's own environment, reading the names file only when the
    // request came through a web server.
    static GuardVerdict CheckProcess();
};
