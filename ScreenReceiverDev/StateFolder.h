// StateFolder: the folder where the program keeps what must outlive one run (the session
// table, the sign-in hold-back table), and the file locks that order the runs using it.
//
// Every table is a small text file, read whole (at most kMaxFileBytes) and replaced whole
// by writing a temporary file and renaming it over the old one, so a reader never sees
// half a table. Changes are made under Lock("lock"), the one lock of all tables; the
// sign-in's hash runs under Lock("hash.lock"), so one hash at a time runs on the box.
// Owns the folder's descriptor; a Lock owns its lock file's descriptor (the lock goes with
// it). No threads: the locks order processes, and each object serves one thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class StateFolder {
public:
    static constexpr size_t kMaxFileBytes = 64 * 1024;

    // Opens the folder, creating it (mode 0700, owned by whoever runs the program) when
    // it is missing. Ok() tells whether it could be opened.
    explicit StateFolder(const std::string& path);
    ~StateFolder();
    StateFolder(const StateFolder&) = delete;
    StateFolder& operator=(const StateFolder&) = delete;

    bool Ok() const { return m_dirFd >= 0; }

    // `override` when set and non-empty (the process passes SCREENRECEIVER_STATE), else the
    // folder fixed at build time.
    static std::string DefaultPath(const char* override);

    // The lines of a table's text, without their newlines (the last may lack one).
    static std::vector<std::string> Lines(std::string_view text);

    // The text of the file `name`; "" when it is missing or not a regular file. Only the
    // first kMaxFileBytes are read.
    std::string Read(const char* name) const;
    // Replaces the file `name` with `text` (mode 0600); false when that failed, and the old
    // file is then left as it was.
    bool Write(const char* name, const std::string& text) const;

    // An exclusive flock on the file `name` of the folder, held until destruction; waits
    // for the holder before it. Held() is false when the file could not be locked.
    class Lock {
    public:
        Lock(const StateFolder& folder, const char* name);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        bool Held() const { return m_fd >= 0; }

    private:
        int m_fd = -1;
    };

private:
    int m_dirFd = -1;
};
