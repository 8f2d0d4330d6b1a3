#include "SignInThrottle.h"

#include "StateFolder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// Keys that no address maps to: all wrong passwords, and the addresses past the table's end.
const std::string kAll = "*all";
const std::string kShared = "*shared";

} // namespace

SignInThrottle::SignInThrottle(std::string_view text) {
    for (const std::string& line : StateFolder::Lines(text)) {
        if (m_entries.size() >= kMaxAddresses + 2) {
            break;
        }
        char key[64];
        Entry e;
        int used = 0;
        if (std::sscanf(line.c_str(), "%63[^ ] %" SCNd64 " %" SCNd64 " %" SCNd64 " %" SCNd64 "%n",
                        key, &e.wrong, &e.first, &e.until, &e.delay, &used) == 5 &&
            static_cast<size_t>(used) == line.size()) {
            e.key = key;
            m_entries.push_back(e);
        }
    }
}

std::string SignInThrottle::Text() const {
    std::string text;
    for (const Entry& e : m_entries) {
        text += e.key + " " + std::to_string(e.wrong) + " " + std::to_string(e.first) + " " +
                std::to_string(e.until) + " " + std::to_string(e.delay) + "\n";
    }
    return text;
}

std::string SignInThrottle::AddressKey(const char* remoteAddr) {
    unsigned char bytes[16];
    char text[INET6_ADDRSTRLEN];
    if (remoteAddr == nullptr) {
        return "-";
    }
    if (inet_pton(AF_INET, remoteAddr, bytes) == 1) {
        return inet_ntop(AF_INET, bytes, text, sizeof text);
    }
    if (inet_pton(AF_INET6, remoteAddr, bytes) != 1) {
        return "-";
    }
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes, kMapped, sizeof kMapped) == 0) {
        return inet_ntop(AF_INET, bytes + 12, text, sizeof text);
    }
    for (int i = 0; i < 8; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    }
    return std::string(text, 16) + "/64";
}

SignInThrottle::Entry* SignInThrottle::Find(const std::string& key, int64_t now, bool create) {
    // Forgotten: a window after the later of the first wrong password and the hold's end.
    // A time ahead of the clock (stepped back) is cut to the longest hold from now.
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [&](Entry& e) {
                                       e.until = std::min(e.until, now + kMaxDelay);
                                       e.first = std::min(e.first, now);
                                       return now >= std::max(e.first, e.until) + kWindow;
                                   }),
                    m_entries.end());
    auto lookup = [&](const std::string& k) -> Entry* {
        for (Entry& e : m_entries) {
            if (e.key == k) {
                return &e;
            }
        }
        return nullptr;
    };
    const size_t addresses = static_cast<size_t>(std::count_if(
        m_entries.begin(), m_entries.end(), [](const Entry& e) { return e.key[0] != '*'; }));
    Entry* e = lookup(key);
    const std::string& use =
        e == nullptr && key != kAll && addresses >= kMaxAddresses ? kShared : key;
    e = e != nullptr ? e : lookup(use);
    if (e == nullptr && create) {
        m_entries.push_back({use, 0, now, 0, 0});
        e = &m_entries.back();
    }
    return e;
}

int64_t SignInThrottle::Wait(const std::string& key, int64_t now) {
    const Entry* e = Find(key, now, false);
    return e != nullptr && e->until > now ? e->until - now : 0;
}

bool SignInThrottle::Slowed(int64_t now) {
    const Entry* e = Find(kAll, now, false);
    return e != nullptr && e->wrong >= kGlobalCeiling;
}

void SignInThrottle::Wrong(const std::string& key, int64_t now) {
    // One at a time: a second Find may move the entries.
    Entry* e = Find(key, now, true);
    if (++e->wrong >= kMaxWrong) {
        e->delay = e->delay == 0 ? kFirstDelay : std::min(2 * e->delay, kMaxDelay);
        e->until = now + e->delay;
    }
    ++Find(kAll, now, true)->wrong;
}

void SignInThrottle::Right(const std::string& key, int64_t now) {
    Find(key, now, false);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [&](const Entry& e) { return e.key == key; }),
                    m_entries.end());
}
