#include "StateFolder.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef SCREENRECEIVER_STATE_DIR
#define SCREENRECEIVER_STATE_DIR "/var/lib/screenreceiver"
#endif

StateFolder::StateFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return;
    }
    m_dirFd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

StateFolder::~StateFolder() {
    if (m_dirFd >= 0) {
        close(m_dirFd);
    }
}

std::string StateFolder::DefaultPath(const char* override) {
    return override != nullptr && *override != '\0' ? override : SCREENRECEIVER_STATE_DIR;
}

std::vector<std::string> StateFolder::Lines(std::string_view text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end;
        lines.emplace_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

std::string StateFolder::Read(const char* name) const {
    // Non-blocking, no links, regular files only: nothing planted there can hang a run.
    const int fd = openat(m_dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    struct stat info;
    std::string text;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        text.resize(kMaxFileBytes);
        size_t got = 0;
        for (ssize_t n; got < text.size() && (n = read(fd, &text[got], text.size() - got)) > 0;) {
            got += static_cast<size_t>(n);
        }
        text.resize(got);
    }
    close(fd);
    return text;
}

bool StateFolder::Write(const char* name, const std::string& text) const {
    // Under the table lock, so one fixed temporary name per table is enough. Not synced:
    // a table lost to a power cut costs sessions and hold-back, never a torn table.
    const std::string temp = std::string(name) + ".new";
    unlinkat(m_dirFd, temp.c_str(), 0);
    const int fd =
        openat(m_dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    for (ssize_t n;
         done < text.size() && (n = write(fd, text.data() + done, text.size() - done)) > 0;) {
        done += static_cast<size_t>(n);
    }
    const bool ok = close(fd) == 0 && done == text.size() &&
                    renameat(m_dirFd, temp.c_str(), m_dirFd, name) == 0;
    if (!ok) {
        unlinkat(m_dirFd, temp.c_str(), 0);
    }
    return ok;
}

StateFolder::Lock::Lock(const StateFolder& folder, const char* name) {
    m_fd = openat(folder.m_dirFd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    while (m_fd >= 0 && flock(m_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(m_fd);
            m_fd = -1;
        }
    }
}

StateFolder::Lock::~Lock() {
    if (m_fd >= 0) {
        close(m_fd); // releases the flock
    }
}
