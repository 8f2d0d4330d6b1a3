#include "PasswordFile.h"
#include "SmallFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef SCREENRECEIVER_ETC_DIR
#define SCREENRECEIVER_ETC_DIR "/etc/screenreceiver"
#endif

namespace {

int Fail() {
    return errno != 0 ? -errno : -EIO;
}

} // namespace

std::string PasswordFile::Path(const char* etcOverride) {
    std::string path =
        etcOverride != nullptr && *etcOverride != '\0' ? etcOverride : SCREENRECEIVER_ETC_DIR;
    return path.append("/password");
}

std::string PasswordFile::Format(const PasswordRecord& record) {
    std::string text = std::to_string(record.generation);
    if (record.Set()) {
        text.append(" ").append(record.hash);
    }
    return text.append("\n");
}

bool PasswordFile::Parse(const std::string& text, PasswordRecord* record) {
    // Digits, then an optional " <hash>" of printable characters, one line feed at most.
    size_t pos = 0;
    uint64_t generation = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos < 19) {
        generation = generation * 10 + static_cast<uint64_t>(text[pos++] - '0');
    }
    if (pos == 0) {
        return false;
    }
    std::string rest = text.substr(pos);
    if (!rest.empty() && rest.back() == '\n') {
        rest.pop_back();
    }
    if (!rest.empty() && (rest[0] != ' ' || rest.size() < 2)) {
        return false;
    }
    for (size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] <= ' ' || rest[i] > '~') {
            return false;
        }
    }
    record->generation = generation;
    record->hash = rest.empty() ? "" : rest.substr(1);
    return record->hash.size() < crypto_pwhash_STRBYTES;
}

int PasswordFile::Read(const std::string& path, PasswordRecord* record) {
    *record = PasswordRecord();
    std::string text;
    const int rc = SmallFile::Read(path, kMaxFileBytes, &text);
    if (rc != 0) {
        return rc == -ENOENT ? 0 : rc;
    }
    if (text.size() > kMaxFileBytes || !Parse(text, record)) {
        *record = PasswordRecord();
        return -EINVAL;
    }
    return 0;
}

int PasswordFile::Write(const std::string& path, const PasswordRecord& record, gid_t group) {
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    if (!folder.empty() && mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return Fail();
    }
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        return Fail();
    }
    const std::string text = Format(record);
    errno = 0;
    const bool ok = fchmod(fd, 0640) == 0 && fchown(fd, geteuid(), group) == 0 &&
                    write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    fsync(fd) == 0;
    const int rc = ok ? 0 : Fail();
    if (close(fd) != 0 || rc != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        const int error = rc != 0 ? rc : Fail();
        unlink(temp.c_str());
        return error;
    }
    return 0;
}

int PasswordFile::Change(const std::string& path, const std::string& password, gid_t group,
                         const HashCost& cost) {
    PasswordRecord record;
    if (const int rc = Read(path, &record); rc < 0) {
        return rc;
    }
    if (password.size() > kMaxPasswordBytes) {
        return -EINVAL;
    }
    record.hash = password.empty() ? "" : Hash(password, cost);
    if (!password.empty() && record.hash.empty()) {
        return -ENOMEM;
    }
    ++record.generation;
    return Write(path, record, group);
}

std::string PasswordFile::Hash(const std::string& password, const HashCost& cost) {
    char text[crypto_pwhash_STRBYTES];
    if (sodium_init() < 0 ||
        crypto_pwhash_str_alg(text, password.data(), password.size(), cost.opslimit, cost.memlimit,
                              crypto_pwhash_ALG_ARGON2ID13) != 0) {
        return "";
    }
    return text;
}

bool PasswordFile::Verify(const std::string& hash, const std::string& password) {
    return sodium_init() >= 0 &&
           crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}
