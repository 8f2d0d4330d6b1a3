// RawClient: a plain blocking TCP client for tests that must control every byte sent to
// the sim and see every byte it answers. Owns its socket (closed on destruction). Used
// from one thread at a time; no locks.
#pragma once

#include <cstdint>
#include <string>

class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Blocking connect to 127.0.0.1:port.
    bool Connect(uint16_t port);
    // Starts a non-blocking connect and reports whether it completed within waitMs.
    bool ConnectCompletes(uint16_t port, int waitMs);
    bool Send(const std::string& bytes);
    // Reads exactly n bytes; returns fewer when the peer closed or limitMs passed first.
    std::string Recv(std::size_t n, int limitMs = 5000);
    // True when bytes (or EOF) are ready to read right now.
    bool Readable(int waitMs = 0);
    // True when the peer closed the connection (no further bytes) within limitMs.
    bool SeesEof(int limitMs = 5000);
    void Close();

private:
    int m_fd = -1;
};
