#include "PasswordCommand.h"
#include "ExitStatus.h"

#include <PasswordFile.h>

#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

namespace ctl {
namespace {

// The account the web server runs the program as: the password file's group when root
// writes it, so that the program can read it; anyone else writes it in their own group.
constexpr const char* kServingGroup = "www-data";

gid_t PasswordFileGroup() {
    if (geteuid() != 0) {
        return getegid();
    }
    const struct group* serving = getgrnam(kServingGroup);
    return serving != nullptr ? serving->gr_gid : 0;
}

// Terminal echo off while it lives.
class NoEcho {
public:
    explicit NoEcho(int fd) : m_fd(fd) {
        m_saved = tcgetattr(fd, &m_old) == 0;
        termios quiet = m_old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        m_saved = m_saved && tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (m_saved) {
            tcsetattr(m_fd, TCSAFLUSH, &m_old);
        }
    }

private:
    int m_fd;
    termios m_old{};
    bool m_saved = false;
};

// One line without its line end; false at end of input. Bounded: a longer line is cut
// one byte past the limit, so it is refused as too long.
bool ReadLine(FILE* in, std::string* line) {
    line->clear();
    for (int c; (c = std::fgetc(in)) != EOF;) {
        if (c == '\n') {
            break;
        }
        if (line->size() <= PasswordFile::kMaxPasswordBytes) {
            line->push_back(static_cast<char>(c));
        }
    }
    if (!line->empty() && line->back() == '\r') {
        line->pop_back();
    }
    return !(std::feof(in) && line->empty());
}

int Failure(const char* why) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why);
    return kFailure;
}

} // namespace

int ReadNewPassword(FILE* in, std::string* password) {
    if (!isatty(fileno(in))) {
        if (!ReadLine(in, password)) {
            return Failure("no password on standard input");
        }
    } else {
        std::string again;
        const NoEcho quiet(fileno(in));
        std::fputs("New password: ", stderr);
        const bool first = ReadLine(in, password);
        std::fputs("\nAgain: ", stderr);
        const bool second = first && ReadLine(in, &again);
        std::fputs("\n", stderr);
        const bool same = second && again == *password;
        sodium_memzero(&again[0], again.size());
        if (!same) {
            return Failure("the two passwords differ");
        }
    }
    if (password->empty()) {
        return Failure("an empty password is refused (use 'password off' to remove it)");
    }
    if (password->size() > PasswordFile::kMaxPasswordBytes) {
        return Failure("the password is longer than 1000 bytes");
    }
    return kSuccess;
}

int RunPassword(const std::string& action) {
    const std::string path = PasswordFile::Path(std::getenv("SCREENRECEIVER_ETC"));
    std::string password;
    if (action == "set") {
        if (const int status = ReadNewPassword(stdin, &password); status != kSuccess) {
            return status;
        }
    }
    const int rc = PasswordFile::Change(path, password, PasswordFileGroup());
    sodium_memzero(&password[0], password.size());
    if (rc < 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgram, path.c_str(),
                     std::strerror(-rc));
        return kFailure;
    }
    return kSuccess;
}

} // namespace ctl
