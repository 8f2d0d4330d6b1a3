// SessionStore: the table of signed-in sessions, as kept in the state folder's "sessions".
//
// A session is known by the hash of its token only (crypto_generichash, compared in
// constant time), so the table gives nobody a token. It lives 12 h at most, ends after
// 30 min without a request, on signing out, and when the password's generation moves on.
// Last seen is rewritten at most once a minute, so polls rarely write. At most
// kMaxSessions are kept; a new one pushes out the one seen least recently. One line a
// session: "<hash hex> <generation> <opened> <last seen>" (seconds since the epoch); lines
// that are not that are dropped. A time ahead of the clock (the clock stepped back) ends
// the session: safe either way.
// A value over one table text; the caller reads and writes the text under the state
// folder's lock. No locking of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class SessionStore {
public:
    static constexpr int64_t kMaxAge = 12 * 3600;
    static constexpr int64_t kMaxIdle = 30 * 60;
    static constexpr int64_t kSeenStep = 60;
    static constexpr size_t kMaxSessions = 64;
    static constexpr size_t kTokenBytes = 32; // random bytes; the token is their hex

    explicit SessionStore(std::string_view text);
    std::string Text() const;
    // Whether the table differs from the text it was made from.
    bool Changed() const { return m_changed; }
    size_t Size() const { return m_sessions.size(); }

    // Opens a session of `generation` and returns its token; ends dead ones first.
    std::string Open(uint64_t generation, int64_t now);
    // Whether `token` names a live session of `generation`; notes the request as its last
    // seen (once a minute) and ends the sessions that are dead.
    bool Touch(std::string_view token, uint64_t generation, int64_t now);
    // Ends the session of `token`; whether there was one.
    bool Close(std::string_view token);

private:
    struct Session {
        std::string hash; // hex of the token's hash
        uint64_t generation;
        int64_t opened;
        int64_t seen;
    };
    bool Alive(const Session& session, uint64_t generation, int64_t now) const;
    void Prune(uint64_t generation, int64_t now);
    Session* Find(std::string_view token);

    std::vector<Session> m_sessions;
    bool m_changed = false;
};
