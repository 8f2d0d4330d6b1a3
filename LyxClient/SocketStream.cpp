// SocketStream: the connection's descriptor with its timed send and receive loops.
#include "SocketStream.h"

#include "ErrorHandler.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace lyx {

namespace {

// The pause after a send that sent nothing and between receive attempts.
void RetryPause() {
    usleep(SocketStream::kRetryPauseMs * 1000);
}

// A send error after which no later call can succeed.
bool ConnectionGone(int err) {
    return err == EPIPE || err == ECONNRESET || err == ECONNREFUSED || err == ENOTCONN ||
           err == EBADF;
}

} // namespace

SocketStream::SocketStream() : m_fd(-1) {}

SocketStream::~SocketStream() {
    Close();
}

int SocketStream::Close() {
    RecursiveGuard sendLock(m_SendLock);
    RecursiveGuard recvLock(m_RecvLock);
    int fd = m_fd.exchange(-1);
    if (fd < 0) {
        return -1;
    }
    return ::close(fd);
}

void SocketStream::Attach(int fd) {
    Close();
    RecursiveGuard recvLock(m_RecvLock);
    m_fd.store(fd);
    m_Stash.clear();
    m_nSendError.store(0);
}

void SocketStream::Shutdown() {
    // No lock: a sender or reader may be blocked inside the very call this wakes. The
    // descriptor is only closed under the engine's connect lock, which the caller holds.
    int fd = m_fd.load();
    if (fd >= 0) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

int SocketStream::Send(const char* buffer, uint32_t length, int flags) {
    return Send(buffer, length, flags, Deadline::After(kSendBudgetMs));
}

int SocketStream::Send(const char* buffer, uint32_t length, int flags, const Deadline& until) {
    RecursiveGuard lock(m_SendLock);
    const Deadline budget = until.Min(Deadline::After(kSendBudgetMs));
    int64_t remaining = length;
    for (;;) {
        const uint32_t offset = length - static_cast<uint32_t>(remaining);
        ssize_t sent = ::send(m_fd.load(), buffer + offset, static_cast<size_t>(remaining),
                              flags | MSG_DONTWAIT);
        if (sent < 1) {
            // Departure from retrying every error for the whole budget: on a connection
            // that is gone no retry can succeed, and the retries would hold m_SendLock
            // (and so a close) for up to 5 s.
            if (sent < 0 && ConnectionGone(errno)) {
                if (errno == ECONNREFUSED || errno == ECONNRESET) {
                    m_nSendError.store(-errno);
                }
                break;
            }
            RetryPause();
        } else {
            remaining -= sent;
        }
        if (remaining <= 0 || budget.Expired()) {
            break;
        }
    }
    return static_cast<int>(length - remaining);
}

int SocketStream::Recv(char* buffer, uint32_t length, int flags, const std::atomic<bool>* keepGoing,
                       uint32_t timeoutMs) {
    RecursiveGuard lock(m_RecvLock);
    const bool peek = (flags & MSG_PEEK) != 0;
    flags &= ~MSG_PEEK;

    int64_t remaining = length;
    if (!m_Stash.empty()) {
        if (m_Stash.size() >= length) {
            if (length > 0) {
                memcpy(buffer, m_Stash.data(), length);
            }
            if (!peek) {
                m_Stash.erase(0, length);
            }
            m_nReadFailure.store(0);
            return static_cast<int>(length);
        }
        memcpy(buffer, m_Stash.data(), m_Stash.size());
        remaining = static_cast<int64_t>(length) - static_cast<int64_t>(m_Stash.size());
        if (!peek) {
            m_Stash.clear();
        }
    }

    const Deadline budget = Deadline::After(timeoutMs).Min(Deadline::FromNs(m_nReadLimitNs.load()));
    for (;;) {
        const uint32_t offset = length - static_cast<uint32_t>(remaining);
        ssize_t got = ::recv(m_fd.load(), buffer + offset, static_cast<size_t>(remaining),
                             flags | MSG_DONTWAIT);
        if (got < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                m_nReadFailure.store(-errno);
                return -1;
            }
        } else if (got == 0) {
            const int sendError = m_nSendError.load();
            m_nReadFailure.store(sendError != 0 ? sendError : int(ORR_ERR_GRACEFUL_CLOSE));
            return 0;
        } else {
            if (peek) {
                m_Stash.append(buffer + offset, static_cast<size_t>(got));
            }
            remaining -= got;
            if (remaining <= 0) {
                m_nReadFailure.store(0);
                return static_cast<int>(length);
            }
        }
        const uint32_t left = budget.RemainingMs();
        if (left == 0 || (keepGoing != nullptr && !keepGoing->load())) {
            m_nReadFailure.store(-ETIMEDOUT);
            return static_cast<int>(length - remaining);
        }
        // The retry pause, ended early when bytes arrive; never past the budget.
        WaitReadable(m_fd.load(), std::min<uint32_t>(kRetryPauseMs, left));
    }
}

int SocketStream::Recv(char* buffer, uint32_t length, int flags, uint32_t timeoutMs) {
    return Recv(buffer, length, flags, nullptr, timeoutMs);
}

int SocketStream::WaitReadable(int fd, uint32_t ms) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    pollfd pfd{fd, POLLIN, 0};
    const int rc = ::poll(&pfd, 1, static_cast<int>(ms));
    if (rc > 0 && (pfd.revents & POLLNVAL)) {
        errno = EBADF;
        return -1;
    }
    return rc > 0 ? 1 : rc;
}

size_t SocketStream::StashSize() {
    RecursiveGuard lock(m_RecvLock);
    return m_Stash.size();
}

} // namespace lyx
