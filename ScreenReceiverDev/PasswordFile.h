// PasswordFile: the moderator password of the box, kept as an argon2id hash in
// "<etc>/password" beside the names file, and the hashing and checking of passwords.
//
// The file holds one line, "<generation> <hash>", or "<generation>" alone once the
// password is removed: every change counts the generation up, and a session belongs to
// the generation it was opened in, so any change ends all sessions, and a removal keeps
// the count so that it never goes back. No file means no password. It is mode 0640, owned
// by the writer, in the group the writer names (the serving account's, so that it reads it).
// Pure functions and the file's reading and writing; owns nothing, no locking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

struct PasswordRecord {
    uint64_t generation = 0;
    std::string hash; // crypto_pwhash_str's text; empty: no password set
    bool Set() const { return !hash.empty(); }
};

// What one hash costs: argon2id passes and memory.
struct HashCost {
    unsigned long long opslimit;
    size_t memlimit;
};

class PasswordFile {
public:
    // The box's cost: at most 32 MiB, about half a second on a small ARM board. Tests pass
    // cheaper costs to Hash; a hash carries its own cost, so checking needs none.
    static constexpr HashCost kCost = {3, 32u << 20};
    static constexpr size_t kMaxPasswordBytes = 1000;
    static constexpr size_t kMaxFileBytes = 512;

    // "<folder>/password", the folder being `etcOverride` when set and non-empty (the
    // process passes SCREENRECEIVER_ETC), else the one fixed at build time.
    static std::string Path(const char* etcOverride);

    // Reads the file at `path` into `record`: 0, also when the file is missing (no
    // password); a negative errno value when it exists but cannot be read, or -EINVAL when
    // its text is not a record: a run must then refuse rather than serve unguarded.
    static int Read(const std::string& path, PasswordRecord* record);
    // "<generation>[ <hash>]\n"; Parse is its inverse (false for anything else).
    static std::string Format(const PasswordRecord& record);
    static bool Parse(const std::string& text, PasswordRecord* record);

    // Replaces the file with `record` (temporary file and rename, mode 0640, in `group`),
    // creating the folder (0755) when missing. 0, or a negative errno value.
    static int Write(const std::string& path, const PasswordRecord& record, gid_t group);
    // Sets `password` (empty: removes it) in the next generation. 0, or a negative errno
    // value (-EINVAL for a password that is too long, or a hash that failed).
    static int Change(const std::string& path, const std::string& password, gid_t group,
                      const HashCost& cost = kCost);

    // The argon2id hash text of `password`, or "" when hashing failed (out of memory).
    static std::string Hash(const std::string& password, const HashCost& cost = kCost);
    // Whether `password` matches `hash` (constant time, libsodium's own check).
    static bool Verify(const std::string& hash, const std::string& password);
};
