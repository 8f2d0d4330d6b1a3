#include "SessionStore.h"

#include "StateFolder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sodium.h>

namespace {

std::string Hex(const unsigned char* bytes, size_t size) {
    std::string hex(size * 2 + 1, '\0');
    sodium_bin2hex(&hex[0], hex.size(), bytes, size);
    hex.pop_back();
    return hex;
}

std::string HashOf(std::string_view token) {
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(token.data()),
                       token.size(), nullptr, 0);
    return Hex(hash, sizeof hash);
}

} // namespace

SessionStore::SessionStore(std::string_view text) {
    for (const std::string& line : StateFolder::Lines(text)) {
        if (m_sessions.size() >= kMaxSessions) {
            break;
        }
        char hash[2 * crypto_generichash_BYTES + 1];
        Session s;
        int used = 0;
        if (std::sscanf(line.c_str(), "%64[0-9a-f] %" SCNu64 " %" SCNd64 " %" SCNd64 "%n", hash,
                        &s.generation, &s.opened, &s.seen, &used) == 4 &&
            static_cast<size_t>(used) == line.size() &&
            std::string_view(hash).size() == 2 * crypto_generichash_BYTES) {
            s.hash = hash;
            m_sessions.push_back(s);
        }
    }
}

std::string SessionStore::Text() const {
    std::string text;
    for (const Session& s : m_sessions) {
        text += s.hash + " " + std::to_string(s.generation) + " " + std::to_string(s.opened) + " " +
                std::to_string(s.seen) + "\n";
    }
    return text;
}

bool SessionStore::Alive(const Session& s, uint64_t generation, int64_t now) const {
    return s.generation == generation && s.opened <= now && s.seen <= now &&
           now - s.opened < kMaxAge && now - s.seen < kMaxIdle;
}

void SessionStore::Prune(uint64_t generation, int64_t now) {
    const size_t before = m_sessions.size();
    m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                    [&](const Session& s) { return !Alive(s, generation, now); }),
                     m_sessions.end());
    m_changed |= m_sessions.size() != before;
}

SessionStore::Session* SessionStore::Find(std::string_view token) {
    if (token.size() != 2 * kTokenBytes) {
        return nullptr;
    }
    const std::string hash = HashOf(token);
    Session* found = nullptr;
    for (Session& s : m_sessions) {
        // Every entry is compared, in constant time each, whether or not one matched.
        if (sodium_memcmp(s.hash.data(), hash.data(), hash.size()) == 0) {
            found = &s;
        }
    }
    return found;
}

std::string SessionStore::Open(uint64_t generation, int64_t now) {
    Prune(generation, now);
    if (m_sessions.size() >= kMaxSessions) {
        m_sessions.erase(
            std::min_element(m_sessions.begin(), m_sessions.end(),
                             [](const Session& a, const Session& b) { return a.seen < b.seen; }));
    }
    unsigned char bytes[kTokenBytes];
    randombytes_buf(bytes, sizeof bytes);
    const std::string token = Hex(bytes, sizeof bytes);
    sodium_memzero(bytes, sizeof bytes);
    m_sessions.push_back({HashOf(token), generation, now, now});
    m_changed = true;
    return token;
}

bool SessionStore::Touch(std::string_view token, uint64_t generation, int64_t now) {
    Prune(generation, now);
    Session* s = Find(token);
    if (s != nullptr && now - s->seen >= kSeenStep) {
        s->seen = now;
        m_changed = true;
    }
    return s != nullptr;
}

bool SessionStore::Close(std::string_view token) {
    const Session* s = Find(token);
    if (s == nullptr) {
        return false;
    }
    m_sessions.erase(m_sessions.begin() + (s - m_sessions.data()));
    m_changed = true;
    return true;
}
