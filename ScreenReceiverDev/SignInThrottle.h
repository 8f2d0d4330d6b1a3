// SignInThrottle: the sign-in hold-back table, as kept in the state folder's "signin".
//
// Wrong passwords are counted per address (REMOTE_ADDR; an IPv6 address per /64, the
// least a host is given). The kMaxWrong-th wrong one within kWindow holds the address
// back for kFirstDelay, and each wrong one after it doubles the hold, up to kMaxDelay; an
// address is forgotten kWindow after its last hold ended (or after its first wrong
// password, when never held), and a right password forgets it at once. While held back it
// gets 429 and no hash is computed. When kMaxAddresses are counted, new addresses share
// one bucket instead of pushing others out. All wrong passwords together are counted
// too: from kGlobalCeiling on within the window, every sign-in is slowed (the caller
// pauses before hashing), none refused, so a guesser elsewhere cannot lock the moderator
// out. One line an entry: "<key> <wrong> <first> <held until> <delay>".
// A value over one table text; the caller reads and writes the text under the state
// folder's lock. No locking of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class SignInThrottle {
public:
    static constexpr int kMaxWrong = 5;
    static constexpr int64_t kWindow = 10 * 60;
    static constexpr int64_t kFirstDelay = 60;
    static constexpr int64_t kMaxDelay = 15 * 60;
    static constexpr size_t kMaxAddresses = 256;
    static constexpr int kGlobalCeiling = 30;
    static constexpr unsigned kSlowPauseSec = 2; // the caller's pause while slowed

    explicit SignInThrottle(std::string_view text);
    std::string Text() const;

    // The entry key of a REMOTE_ADDR value: the IPv4 address (also from an IPv4-mapped
    // IPv6 one), "<first 64 bits in hex>/64" for IPv6, "-" when missing or unreadable.
    static std::string AddressKey(const char* remoteAddr);

    // Seconds that `key` is still held back (0: it may try now).
    int64_t Wait(const std::string& key, int64_t now);
    // Whether all sign-ins are slowed now.
    bool Slowed(int64_t now);
    // A wrong or a right password from `key`.
    void Wrong(const std::string& key, int64_t now);
    void Right(const std::string& key, int64_t now);

private:
    struct Entry {
        std::string key;
        int64_t wrong, first, until, delay;
    };
    // The entry counting `key` (the shared bucket once the table is full), made when
    // `create`, else nullptr when there is none. Forgets what is over first.
    Entry* Find(const std::string& key, int64_t now, bool create);

    std::vector<Entry> m_entries;
};
