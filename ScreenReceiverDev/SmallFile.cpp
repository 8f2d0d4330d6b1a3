#include "SmallFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int SmallFile::Read(const std::string& path, size_t limit, std::string* text) {
    text->clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno != 0 ? -errno : -EIO;
    }
    struct stat info;
    int rc = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? 0 : -EINVAL;
    text->resize(rc == 0 ? limit + 1 : 0);
    size_t got = 0;
    for (ssize_t n = 1; rc == 0 && n != 0 && got < text->size();) {
        n = read(fd, &(*text)[got], text->size() - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            rc = -EINVAL;
        }
    }
    close(fd);
    text->resize(rc == 0 ? got : 0);
    return rc;
}
