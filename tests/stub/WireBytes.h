// Builders for the bytes the receiver service exchanges with the stub, and a scripted
// peer for one end of a socket, shared by the stub tests.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace wire {

inline std::string Be16(uint32_t v) {
    return {char(v >> 8), char(v)};
}
inline std::string Be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline std::string Zeros(size_t n) {
    return std::string(n, '\0');
}

inline std::string Frame(uint8_t code, const std::string& payload) {
    return "RecvIPC" + std::string(1, char(code)) + payload;
}

inline std::string ListHeader(uint16_t count, bool extended) {
    return Be16(count) + std::string(1, extended ? '\1' : '\0') + Zeros(29);
}

struct EntryFields {
    uint32_t id = 0;
    uint32_t ip = 0; // as sent on the wire, big-endian
    std::string name;
    uint16_t playing = 0;
    uint8_t frame = 0x80;
    uint16_t ext1 = 0, appType = 0, ext3 = 0; // extended entries only
};

inline std::string Entry(const EntryFields& f, bool extended) {
    std::string name = f.name.substr(0, 48);
    std::string e = Be32(f.id) + Be32(f.ip) + name + Zeros(48 - name.size()) + Be16(f.playing) +
                    std::string(1, char(f.frame));
    if (!extended) {
        // Bytes 59..63 of a basic entry carry nothing; make them noisy so that a decoder
        // reading a tail from a basic entry would show.
        return e + std::string(5, '\x5A');
    }
    return e + Be16(f.ext1) + Be16(f.appType) + Be16(f.ext3) + std::string(63, '\x5A');
}

// One end of a stream socket, scripted by a test. Reads wait at most a few seconds, so a
// stub that never sends makes the test fail instead of hang.
class Peer {
public:
    explicit Peer(int fd) : m_fd(fd) {}
    ~Peer() { Close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::string Read(size_t n, int timeoutMs = 4000) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n && m_fd >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) {
                break;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0) {
                continue;
            }
            char buf[512];
            ssize_t r = ::read(m_fd, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0) {
                if (r < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
                break;
            }
            got.append(buf, size_t(r));
        }
        return got;
    }
    // A request frame is always 40 bytes.
    std::string ReadRequest() { return Read(40); }

    // True once the other side has closed (end of stream seen within the wait).
    bool WaitForClose(int timeoutMs = 4000) {
        pollfd p{m_fd, POLLIN, 0};
        char c;
        return m_fd >= 0 && poll(&p, 1, timeoutMs) == 1 && ::read(m_fd, &c, 1) == 0;
    }

    bool Write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t r = ::write(m_fd, bytes.data() + done, bytes.size() - done);
            if (r <= 0) {
                if (r < 0 && errno == EINTR) {
                    continue;
                }
                return false;
            }
            done += size_t(r);
        }
        return true;
    }

    void Close() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    int m_fd;
};

} // namespace wire
