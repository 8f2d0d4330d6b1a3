#include "Peer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace peer {

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool Readable(int fd, int64_t end) {
    pollfd p{fd, POLLIN, 0};
    const int64_t left = end - NowMs();
    return left > 0 && ::poll(&p, 1, int(left)) > 0;
}

int CountEntries(const char* dir, int own) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n - own;
}

} // namespace

Peer& Peer::operator=(Peer&& other) noexcept {
    if (this != &other) {
        Close();
        std::swap(m_fd, other.m_fd);
    }
    return *this;
}

void Peer::Write(const std::string& bytes) const {
    for (size_t off = 0; off < bytes.size();) {
        ssize_t n = ::send(m_fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        off += size_t(n);
    }
}

std::string Peer::Read(size_t n, int timeoutMs) const {
    std::string out;
    const int64_t end = NowMs() + timeoutMs;
    while (out.size() < n && Readable(m_fd, end)) {
        char buf[4096];
        ssize_t r = ::recv(m_fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (r <= 0) {
            break;
        }
        out.append(buf, size_t(r));
    }
    return out;
}

bool Peer::WaitEof(int timeoutMs) const {
    const int64_t end = NowMs() + timeoutMs;
    char buf[256];
    while (Readable(m_fd, end)) {
        if (::recv(m_fd, buf, sizeof(buf), 0) <= 0) {
            return true;
        }
    }
    return false;
}

void Peer::Reset() {
    linger l{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    Close();
}

void Peer::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::pair<int, Peer> SocketPair() {
    int sv[2] = {-1, -1};
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    return {sv[0], Peer(sv[1])};
}

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// Binds fd to an ephemeral loopback port and returns it.
uint16_t BoundPort(int fd) {
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof(a);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

} // namespace

Listener::Listener(int backlog) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    m_port = BoundPort(m_fd);
    ::listen(m_fd, backlog);
}

Listener::~Listener() {
    ::close(m_fd);
}

Peer Listener::Accept(int timeoutMs) const {
    if (!Readable(m_fd, NowMs() + timeoutMs)) {
        return Peer();
    }
    return Peer(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

Peer ConnectTo(uint16_t port) {
    Peer client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(port);
    if (::connect(client.Fd(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        client.Close();
    }
    return client;
}

uint16_t RefusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = BoundPort(fd);
    ::close(fd);
    return port;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const int64_t end = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() > end) {
            return false;
        }
        SleepMs(1);
    }
    return true;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int CountThreads() {
    // ThreadSanitizer starts its helper thread with the process's first thread
    [[maybe_unused]] static const bool started = (std::thread([] {}).join(), true);
    return CountEntries("/proc/self/task", 0);
}

int CountFds() {
    return CountEntries("/proc/self/fd", 1); // the listing's own descriptor
}

} // namespace peer
