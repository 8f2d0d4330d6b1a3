// The test's side of a connection: a peer that writes scripted bytes and reads what the
// code under test sent, socket pairs and loopback listeners to connect it with, and
// waits that poll a condition instead of sleeping a fixed time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace peer {

// Owns one end of a stream socket.
class Peer {
public:
    explicit Peer(int fd = -1) : m_fd(fd) {}
    Peer(Peer&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Peer& operator=(Peer&& other) noexcept;
    ~Peer() { Close(); }

    int Fd() const { return m_fd; }
    void Write(const std::string& bytes) const;
    // Up to n bytes, waiting at most timeoutMs for all of them.
    std::string Read(size_t n, int timeoutMs = 3000) const;
    // True when the other side closed within timeoutMs (data before the end is dropped).
    bool WaitEof(int timeoutMs = 3000) const;
    void Reset(); // close with a reset instead of an orderly end
    void Close();

private:
    int m_fd;
};

// A connected pair: first the descriptor for the code under test (it owns it after
// InitSocket/Attach), then the test's end.
std::pair<int, Peer> SocketPair();

// A listening TCP socket on 127.0.0.1 and an ephemeral port.
class Listener {
public:
    explicit Listener(int backlog = 16);
    ~Listener();
    uint16_t Port() const { return m_port; }
    Peer Accept(int timeoutMs = 3000) const;

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A blocking client connection to a loopback port (invalid when refused).
Peer ConnectTo(uint16_t port);
// A loopback port on which nothing listens.
uint16_t RefusedPort();

bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000);
void SleepMs(int ms);
int CountThreads(); // threads of this process
int CountFds();     // open descriptors of this process

} // namespace peer
