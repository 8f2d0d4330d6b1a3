// SocketStream: the connection's descriptor with timed send and receive loops.
//
// Owns: the descriptor m_fd (closed by Close, Attach and the destructor) and m_Stash,
// the bytes already taken off the socket by peeking reads but not yet consumed.
// Locking: m_SendLock serialises senders (Send, Close); m_RecvLock serialises readers and
// guards m_Stash (Recv, Attach, Close). Close takes m_SendLock before m_RecvLock; that is
// the only order in which both are held. m_fd is atomic so that GetFd may be read from
// any thread (for log lines and the readiness wait) without a lock.
#pragma once

#include <atomic>
#include <boost/thread/recursive_mutex.hpp>
#include <cstdint>
#include <string>

class SocketStream {
public:
    static constexpr uint32_t kDefaultRecvTimeoutMs = 5000;
    static constexpr uint32_t kSendBudgetMs = 5000;
    static constexpr unsigned kRetryPauseMs = 5;

    SocketStream();
    ~SocketStream();
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    int GetFd() const { return m_fd.load(); }
    // Replaces the descriptor by -1 and closes the old one; returns close's result
    // (or -1 when there was none). The stash is left as it is.
    int Close();
    // Closes any held descriptor, adopts fd and empties the stash.
    void Attach(int fd);
    // Wakes a reader blocked on the socket without closing it (shutdown for reading and
    // writing); used to stop the engine's threads at once.
    void Shutdown();

    // Sends all length bytes within the 5000 ms budget, pausing 5 ms after a call that
    // sent nothing. Returns the number of bytes sent (possibly short, never -1).
    int Send(const char* buffer, uint32_t length, int flags);
    // Receives length bytes within timeoutMs. MSG_PEEK keeps them in the stash. Returns
    // length, a short count when the budget ran out or *keepGoing fell to 0, 0 when the
    // peer closed, -1 on a socket error.
    int Recv(char* buffer, uint32_t length, int flags, const std::atomic<bool>* keepGoing,
             uint32_t timeoutMs);
    int Recv(char* buffer, uint32_t length, int flags,
             uint32_t timeoutMs = kDefaultRecvTimeoutMs);

    // Bytes waiting in the stash (for tests and diagnostics).
    size_t StashSize();

private:
    std::atomic<int> m_fd;
    boost::recursive_mutex m_SendLock;
    boost::recursive_mutex m_RecvLock;
    std::string m_Stash;
};
