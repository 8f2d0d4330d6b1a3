// SocketStream: the connection's descriptor with timed send and receive loops.
//
// Owns: the descriptor m_fd (closed by Close, Attach and the destructor) and m_Stash,
// the bytes already taken off the socket by peeking reads but not yet consumed.
// Locking: m_SendLock serialises senders (Send, Close); m_RecvLock serialises readers and
// guards m_Stash (Recv, Attach, Close). Close takes m_SendLock before m_RecvLock; that is
// the only order in which both are held. m_fd is atomic so that GetFd may be read from
// any thread (for log lines and the readiness wait) without a lock; so are the read
// limit and the last read's failure, which belong to the one reading thread.
// Every single send and receive call is non-blocking, whatever mode the descriptor is in,
// so the loops keep their budgets (on the monotonic clock) even on a blocking socket with
// long time-outs.
#pragma once

#include "Deadline.h"
#include "ThreadSafety.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace lyx {

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
    int Close() LYX_EXCLUDES(m_SendLock, m_RecvLock);
    // Closes any held descriptor, adopts fd and empties the stash.
    void Attach(int fd) LYX_EXCLUDES(m_SendLock, m_RecvLock);
    // Wakes a reader blocked on the socket without closing it (shutdown for reading and
    // writing); used to stop the engine's threads at once.
    void Shutdown();

    // Sends all length bytes within the 5000 ms budget (or by `until`, when that comes
    // first), pausing 5 ms after a call that sent nothing. Stops at once when the
    // connection is gone. Returns the number of bytes sent (possibly short, never -1).
    int Send(const char* buffer, uint32_t length, int flags) LYX_EXCLUDES(m_RecvLock);
    int Send(const char* buffer, uint32_t length, int flags, const Deadline& until)
        LYX_EXCLUDES(m_RecvLock);
    // Receives length bytes within timeoutMs. MSG_PEEK keeps them in the stash. Returns
    // length, a short count when the budget ran out or *keepGoing fell to 0 (0 when
    // nothing came), 0 when the peer closed, -1 on a socket error.
    // Every read also ends at the read limit, when one is set.
    int Recv(char* buffer, uint32_t length, int flags, const std::atomic<bool>* keepGoing,
             uint32_t timeoutMs) LYX_EXCLUDES(m_SendLock);
    int Recv(char* buffer, uint32_t length, int flags, uint32_t timeoutMs = kDefaultRecvTimeoutMs)
        LYX_EXCLUDES(m_SendLock);

    // Until ClearReadLimit, no read lasts past `until`, whatever budget its caller gives
    // it: the engine bounds the reads of an answer's reader by its request's deadline.
    void LimitReads(const Deadline& until) { m_nReadLimitNs.store(until.Ns()); }
    void ClearReadLimit() { m_nReadLimitNs.store(Deadline::Never().Ns()); }

    // Why the last Recv returned less than asked, as the code a receive failure records:
    // ORR_ERR_GRACEFUL_CLOSE when the peer closed (or the refusal or reset a send saw
    // first, see m_nSendError), -ETIMEDOUT when the budget ran out (or
    // the keep-going flag fell), minus errno on a socket error; 0 after a complete read.
    // Set where the read ends, so no caller has to work it out of errno afterwards.
    int LastReadFailure() const { return m_nReadFailure.load(); }

    // Bytes waiting in the stash (for tests and diagnostics).
    size_t StashSize() LYX_EXCLUDES(m_RecvLock);

    // Waits at most ms for fd to be readable (or in error or hung up). 1 readable,
    // 0 time-out, -1 failure with errno set.
    static int WaitReadable(int fd, uint32_t ms);

private:
    std::atomic<int> m_fd;
    RecursiveMutex m_SendLock LYX_ACQUIRED_BEFORE(m_RecvLock);
    RecursiveMutex m_RecvLock;
    std::string m_Stash LYX_GUARDED_BY(m_RecvLock);
    std::atomic<int> m_nReadFailure{0};
    // The error that ended the connection (minus errno) when a send saw it first: the
    // socket reports a refused or reset connection once, to whichever call comes first,
    // and a read that then only finds the end reports this error instead.
    std::atomic<int> m_nSendError{0};
    std::atomic<int64_t> m_nReadLimitNs{Deadline::Never().Ns()};
};

} // namespace lyx
