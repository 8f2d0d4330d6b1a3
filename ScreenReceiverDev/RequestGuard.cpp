#include "RequestGuard.h"
#include "SmallFile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#ifndef SCREENRECEIVER_ETC_DIR
#define SCREENRECEIVER_ETC_DIR "/etc/screenreceiver"
#endif

namespace {

// The header value the control page puts on every call.
constexpr const char* kPageMark = "screenreceiver";

// A Host header or an Origin's host[:port]: the host in the form compared (lower case,
// no trailing dot, IPv6 canonical and bracketed) and the port, 0 when none was given.
struct Authority {
    std::string host;
    unsigned port = 0;
    bool ipLiteral = false;
};

// ASCII only: host names and header tokens must not depend on the locale.
char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ToLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = Lower(c);
    }
    return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ToLower(a) == ToLower(b);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Labels of 1 to 63 letters, digits and "-" (not at either end), joined by dots; 253 at most.
bool IsDnsName(std::string_view name) {
    if (name.empty() || name.size() > 253) {
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('.', start);
        if (end == std::string_view::npos) {
            end = name.size();
        }
        const std::string_view label = name.substr(start, end - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
            return false;
        }
        for (char c : label) {
            if (!IsDigit(c) && !(Lower(c) >= 'a' && Lower(c) <= 'z') && c != '-') {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

// 1 to 5 digits naming a port from 1 to 65535.
bool ParsePort(std::string_view text, unsigned* port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    unsigned value = 0;
    for (char c : text) {
        if (!IsDigit(c)) {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    *port = value;
    return value >= 1 && value <= 65535;
}

// "host", "host:port", "[v6]" or "[v6]:port"; false for anything else.
bool ParseAuthority(std::string_view text, Authority* out) {
    if (text.empty() || text.size() > RequestGuard::kMaxHostLength) {
        return false;
    }
    std::string_view host = text;
    std::string_view rest;
    if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        in6_addr address;
        char canonical[INET6_ADDRSTRLEN];
        if (inet_pton(AF_INET6, std::string(text.substr(1, close - 1)).c_str(), &address) != 1 ||
            inet_ntop(AF_INET6, &address, canonical, sizeof canonical) == nullptr) {
            return false;
        }
        out->host = std::string("[").append(canonical).append("]");
        out->ipLiteral = true;
        rest = text.substr(close + 1);
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            rest = text.substr(colon);
        }
        if (!host.empty() && host.back() == '.') {
            host.remove_suffix(1);
        }
        out->host = ToLower(host);
        in_addr address;
        out->ipLiteral = inet_pton(AF_INET, out->host.c_str(), &address) == 1;
        if (!out->ipLiteral && !IsDnsName(out->host)) {
            return false;
        }
    }
    out->port = 0;
    return rest.empty() || (rest.front() == ':' && ParsePort(rest.substr(1), &out->port));
}

GuardVerdict Refusal(GuardRule rule) {
    switch (rule) {
    case GuardRule::None:
        break;
    case GuardRule::Host:
        return {rule, 403, "Forbidden", nullptr,
                "Refused: the request names a host that is not this device."};
    case GuardRule::Method:
        return {rule, 405, "Method Not Allowed", "GET, POST, HEAD",
                "Refused: only GET, POST and HEAD are served."};
    case GuardRule::Origin:
        return {rule, 403, "Forbidden", nullptr, "Refused: the request comes from another origin."};
    case GuardRule::FetchSite:
        return {rule, 403, "Forbidden", nullptr,
                "Refused: the browser says the request comes from another site."};
    case GuardRule::Proof:
        return {rule, 403, "Forbidden", nullptr,
                "Refused: the request does not come from the control page."};
    case GuardRule::Size:
        return {rule, 413, "Payload Too Large", nullptr,
                "Refused: the request body is larger than 4096 bytes."};
    }
    return {};
}

} // namespace

GuardVerdict RequestGuard::Check(const CgiEnvLookup& getEnv,
                                 const std::vector<std::string>& names) {
    const char* hostText = getEnv("HTTP_HOST");
    if (hostText == nullptr) {
        return {};
    }
    Authority host;
    if (!ParseAuthority(hostText, &host) ||
        !(host.ipLiteral || host.host == "localhost" ||
          std::find(names.begin(), names.end(), host.host) != names.end())) {
        return Refusal(GuardRule::Host);
    }

    const char* method = getEnv("REQUEST_METHOD");
    if (method == nullptr || (std::strcmp(method, "GET") != 0 && std::strcmp(method, "POST") != 0 &&
                              std::strcmp(method, "HEAD") != 0)) {
        return Refusal(GuardRule::Method);
    }

    // A browser names the page that made the call; it must be this very origin.
    const char* origin = getEnv("HTTP_ORIGIN");
    if (origin != nullptr) {
        const char* https = getEnv("HTTPS");
        const bool secure = https != nullptr && EqualsIgnoringCase(https, "on");
        const std::string_view scheme = secure ? "https://" : "http://";
        const unsigned defaultPort = secure ? 443 : 80;
        const std::string_view text(origin);
        Authority from;
        if (!(text.size() > scheme.size() &&
              EqualsIgnoringCase(text.substr(0, scheme.size()), scheme) &&
              ParseAuthority(text.substr(scheme.size()), &from) && from.host == host.host &&
              (from.port ? from.port : defaultPort) == (host.port ? host.port : defaultPort))) {
            return Refusal(GuardRule::Origin);
        }
    }

    const char* site = getEnv("HTTP_SEC_FETCH_SITE");
    if (site != nullptr &&
        (EqualsIgnoringCase(site, "cross-site") || EqualsIgnoringCase(site, "same-site"))) {
        return Refusal(GuardRule::FetchSite);
    }

    // A page of another origin can set neither this header (not without a CORS preflight,
    // which nothing here grants) nor a matching Origin.
    const char* mark = getEnv("HTTP_X_REQUESTED_WITH");
    if (origin == nullptr && (mark == nullptr || std::strcmp(mark, kPageMark) != 0)) {
        return Refusal(GuardRule::Proof);
    }

    // Read as the form parser reads it: junk is 0 here and refused there for a POST.
    const char* length = getEnv("CONTENT_LENGTH");
    if (length != nullptr && ParseCgiDecimal(length) > kMaxContentLength) {
        return Refusal(GuardRule::Size);
    }
    return {};
}

std::vector<std::string> RequestGuard::ParseNames(std::string_view text) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < text.size() && names.size() < kMaxNames) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        line = line.substr(0, line.find('#'));
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos) {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
        if (line.back() == '.') {
            line.remove_suffix(1);
        }
        if (IsDnsName(line)) {
            names.push_back(ToLower(line));
        }
    }
    return names;
}

std::vector<std::string> RequestGuard::ReadNames(const std::string& path) {
    std::string text;
    if (SmallFile::Read(path, kMaxNamesBytes, &text) != 0) {
        return {};
    }
    if (text.size() > kMaxNamesBytes) {
        // Keep whole lines only; rfind's npos + 1 is 0 when no line ends in the limit.
        text.resize(text.rfind('\n', kMaxNamesBytes - 1) + 1);
    }
    return ParseNames(text);
}

std::string RequestGuard::NamesFile(const char* etcOverride) {
    std::string path =
        etcOverride != nullptr && *etcOverride != '\0' ? etcOverride : SCREENRECEIVER_ETC_DIR;
    return path.append("/hostnames");
}

std::string RequestGuard::RefusalReply(const GuardVerdict& verdict) {
    // Same line ends as the XML reply's header; "Status:" first, which some servers need.
    std::string out = "Status: ";
    out.append(std::to_string(verdict.status)).append(" ").append(verdict.reason).append("\n");
    if (verdict.allow != nullptr) {
        out.append("Allow: ").append(verdict.allow).append("\n");
    }
    return out.append("Content-Type: text/plain\n\n").append(verdict.text).append("\n");
}

GuardVerdict RequestGuard::CheckProcess() {
    const CgiEnvLookup getEnv = [](const char* name) -> const char* { return std::getenv(name); };
    if (getEnv("HTTP_HOST") == nullptr) {
        return {};
    }
    return Check(getEnv, ReadNames(NamesFile(getEnv("SCREENRECEIVER_ETC"))));
}
