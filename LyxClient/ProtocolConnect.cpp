// ProtocolBase: setting up and tearing down the one connection. OpenConnect races
// non-blocking connects to every port and keeps the first socket that becomes writable
// and passes the handshake hook; InitSocket adopts a connected socket; CloseConnect stops
// the receive thread and closes the socket. All three serialise on m_ConnectLock, which
// none of them holds while it joins a thread.
#include "ProtocolBase.h"

#include "DebugLog.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using lyx::Deadline;
using lyx::RecursiveGuard;

namespace {

// A candidate socket of one connect procedure: closes its descriptor when destroyed
// unless released. Moving hands the descriptor over and leaves -1 behind, so every
// candidate is closed exactly once.
class CandidateHolder {
public:
    explicit CandidateHolder(int fd) : m_bReleased(false), m_fd(fd) {}
    CandidateHolder(CandidateHolder&& other) noexcept
        : m_bReleased(other.m_bReleased), m_fd(other.m_fd) {
        other.m_fd = -1;
    }
    CandidateHolder(const CandidateHolder&) = delete;
    CandidateHolder& operator=(const CandidateHolder&) = delete;
    CandidateHolder& operator=(CandidateHolder&&) = delete;
    ~CandidateHolder() {
        if (!m_bReleased && m_fd != -1) {
            ::close(m_fd);
        }
    }
    void Release() { m_bReleased = true; }

private:
    bool m_bReleased;
    int m_fd;
};

// Switches O_NONBLOCK on or off. A failure only goes to the log, as the connect goes on
// either way; a failed switch back to blocking is the graver one (CRIT).
void SetBlocking(DebugLog* log, int fd, bool blocking) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        LYX_DLOG_WRITE(log, DL_WARN,
                       blocking ? "OpenConnect fcntl(vecSocket[i], F_GETFL, 0) failed %d"
                                : "OpenConnect fcntl(Socket, F_GETFL, 0) failed %d",
                       errno);
    }
    if (blocking) {
        if (::fcntl(fd, F_SETFL, flags & (~O_NONBLOCK)) < 0) {
            LYX_DLOG_WRITE(
                log, DL_CRIT,
                "OpenConnect fcntl(vecSocket[i], F_SETFL, flags & (~O_NONBLOCK)) failed %d", errno);
        }
    } else if (::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        LYX_DLOG_WRITE(log, DL_WARN,
                       "OpenConnect fcntl(Socket, F_SETFL, flags | O_NONBLOCK) failed %d", errno);
    }
}

} // namespace

int ProtocolBase::OpenConnect(const char* ip, const std::vector<uint16_t>& vecPort,
                              int noDispatcher, int timeoutSec) {
    // A close thread left by an earlier receive failure is finished here too, before the
    // new connection exists, so that its CloseConnect cannot tear the new connection down.
    EndConnection();
    const std::string strIP = ip != nullptr ? ip : "";
    RecursiveGuard lock(m_ConnectLock);
    m_strIP = strIP;
    m_vecPort = vecPort;
    m_bNoDispatcher = noDispatcher;
    m_nConnectTimeout = timeoutSec;
    return ConnectPortsLocked(strIP.c_str(), vecPort, noDispatcher, timeoutSec);
}

int ProtocolBase::ReConnect() {
    std::string strIP;
    std::vector<uint16_t> ports;
    int noDispatcher, timeoutSec;
    {
        RecursiveGuard lock(m_ConnectLock);
        LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "ReConnect %s sock:%d", m_strIP.c_str(),
                       m_Socket.GetFd());
        if (m_Socket.GetFd() == -1) {
            LYX_SET_ERROR(ORR_ERR_INIT_OBJECT, "Invalid m_Socket", "");
            return ORR_ERR_INIT_OBJECT;
        }
        strIP = m_strIP;
        ports = m_vecPort;
        noDispatcher = m_bNoDispatcher;
        timeoutSec = m_nConnectTimeout;
    }
    // The old connection ends as by a stop request (no error, no close thread), and its
    // receive thread is joined before the new one starts, so it never reads the next
    // connection's socket.
    EndConnection();
    RecursiveGuard lock(m_ConnectLock);
    return ConnectPortsLocked(strIP.c_str(), ports, noDispatcher, timeoutSec);
}

int ProtocolBase::ConnectPorts(const char* ip, const std::vector<uint16_t>& vecPort,
                               int noDispatcher, int timeoutSec) {
    RecursiveGuard lock(m_ConnectLock);
    return ConnectPortsLocked(ip, vecPort, noDispatcher, timeoutSec);
}

int ProtocolBase::ConnectPortsLocked(const char* ip, const std::vector<uint16_t>& vecPort,
                                     int noDispatcher, int timeoutSec) {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "OpenConnect %s %d %d %d", ip,
                   static_cast<int>(vecPort.size()), noDispatcher, timeoutSec);
    if (IsPending()) {
        LYX_SET_ERROR(ORR_ERR_REENTRY, "ProtocolBase::OpenConnect", "");
        return ORR_ERR_REENTRY;
    }
    if (ClosingLocked()) {
        LYX_SET_ERROR(ORR_ERR_STILL_CLOSING, "", "");
        return ORR_ERR_STILL_CLOSING;
    }
    if (vecPort.empty()) {
        LYX_SET_ERROR(ORR_ERR_EMPTY_PORTS, "", "");
        return ORR_ERR_EMPTY_PORTS;
    }
    // Cleared once here, not before the wait: a CloseConnect that comes while the connects
    // are still being started must end this procedure too.
    m_bAbortConnect.store(false);

    // All connects are started back to back (a slice apart); the candidates are closed
    // by their holders on every way out, except the one adopted.
    std::vector<int> vecSocket;
    std::vector<CandidateHolder> holders;
    std::vector<pollfd> writeSet;
    holders.reserve(vecPort.size());
    for (size_t i = 0; i < vecPort.size() && !m_bAbortConnect.load(); ++i) {
        if (i > 0) {
            usleep(kPollSliceMs * 1000);
        }
        int sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (sock < 0) {
            const int err = errno;
            LYX_SET_ERROR(-err, "", "");
            return -err;
        }
        vecSocket.push_back(sock);
        holders.emplace_back(sock);
        writeSet.push_back(pollfd{sock, POLLOUT, 0});
        ApplySocketOptions(sock);
        SetBlocking(GetLogger(), sock, false);

        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(vecPort[i]);
        addr.sin_addr.s_addr = ::inet_addr(ip);
        (void)::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    }

    const Deadline deadline = Deadline::AfterSeconds(timeoutSec);
    bool seenWritable = false;
    while (!deadline.Expired() && !m_bAbortConnect.load()) {
        int ready = ::poll(writeSet.data(), writeSet.size(), static_cast<int>(kPollSliceMs));
        bool rejectedAll = ready > 0;
        for (size_t i = 0; ready > 0 && i < vecSocket.size(); ++i) {
            // Writable as select's write set reports it: ready, failed or hung up.
            if (!(writeSet[i].revents & (POLLOUT | POLLERR | POLLHUP))) {
                continue;
            }
            seenWritable = true;
            if (OnConnectHandshake(vecSocket[i]) < 0) {
                continue;
            }
            SetBlocking(GetLogger(), vecSocket[i], true);
            holders[i].Release();
            m_Socket.Attach(vecSocket[i]);
            LYX_DLOG_WRITE(GetLogger(), DL_INFO, "OpenConnect use port# %hu sock:%d",
                           static_cast<unsigned short>(vecPort[i]), vecSocket[i]);
            rejectedAll = false;
            break;
        }
        if (m_Socket.GetFd() != -1) {
            break;
        }
        if (ready <= 0) {
            // Nothing writable: the pause, ended early when a candidate becomes writable
            // (it is then handled in the next pass).
            if (ready < 0 ||
                ::poll(writeSet.data(), writeSet.size(), static_cast<int>(kPollSliceMs)) < 0) {
                usleep(kPollSliceMs * 1000);
            }
        } else if (rejectedAll) {
            // A rejected candidate stays writable: without this pause the next pass would
            // offer it to the hook again at once, in a busy loop.
            usleep(kPollSliceMs * 1000);
        }
        m_bPending.store(true);
        WaitIdle(true);
        m_bPending.store(false);
    }

    if (m_Socket.GetFd() != -1) {
        return StartThreads(noDispatcher);
    }
    if (seenWritable) {
        LYX_SET_ERROR(ORR_ERR_HANDSHAKE, "", "");
        return ORR_ERR_HANDSHAKE;
    }
    std::string portText;
    for (uint16_t port : vecPort) {
        char buf[16];
        snprintf(buf, sizeof(buf), "%d ", static_cast<int>(port));
        portText += buf;
    }
    LYX_SET_ERROR(ORR_ERR_NO_CONNECTION, ip, portText.c_str());
    return ORR_ERR_NO_CONNECTION;
}

void ProtocolBase::ApplySocketOptions(int socket) {
    const int one = 1;
    const timeval tv{m_nSndRcvTimeout.load(), 0};
    struct Option {
        int level, name;
        const void* value;
        socklen_t size;
        const char* failure;
    };
    const Option options[] = {
        {SOL_SOCKET, SO_OOBINLINE, &one, sizeof(one),
         "InitSocket setsockopt(SO_OOBINLINE) failed %d"},
        {IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one),
         "InitSocket setsockopt(TCP_NODELAY) failed %d"},
        {SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv), "InitSocket setsockopt(SO_SNDTIMEO) failed %d"},
        {SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv), "InitSocket setsockopt(SO_RCVTIMEO) failed %d"},
    };
    for (const Option& o : options) {
        if (::setsockopt(socket, o.level, o.name, o.value, o.size) != 0) {
            LYX_DLOG_WRITE(GetLogger(), DL_WARN, o.failure, errno);
        }
    }
}

int ProtocolBase::InitSocket(int socket, int noDispatcher) {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "InitSocket %d %d", socket, noDispatcher);
    if (IsPending()) {
        LYX_SET_ERROR(ORR_ERR_REENTRY, "ProtocolBase::InitSocket", "");
        return ORR_ERR_REENTRY;
    }
    // See OpenConnect. A connect that slips in between is refused below as still busy.
    EndConnection();
    RecursiveGuard lock(m_ConnectLock);
    if (ClosingLocked()) {
        LYX_SET_ERROR(ORR_ERR_STILL_CLOSING, "", "");
        return ORR_ERR_STILL_CLOSING;
    }
    m_Socket.Attach(socket);
    ApplySocketOptions(socket);
    return StartThreads(noDispatcher);
}

void ProtocolBase::CloseConnect() {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "CloseConnect %d %d sock:%d",
                   static_cast<int>(m_bRunning.load()), static_cast<int>(m_bAbortConnect.load()),
                   m_Socket.GetFd());
    // A close thread of this engine (it runs OnConnectClose after a receive failure) only
    // closes the connection it was started for: it leaves the flags alone until it holds
    // m_ConnectLock and then does nothing if a newer connection has been set up meanwhile.
    const bool onCloseThread = (s_pCloseThreadOwner == this);
    if (!onCloseThread) {
        RaiseStop();
    }
    std::unique_ptr<boost::thread_group> group;
    {
        RecursiveGuard lock(m_ConnectLock);
        if (onCloseThread && s_nCloseThreadGen != m_nConnGen.load()) {
            return;
        }
        group = DetachConnectionLocked();
    }
    // Joined without m_ConnectLock, so a reader or handler that closes or connects meanwhile
    // is not left waiting for the lock while this waits for it: a departure from joining
    // under the lock, made safe by holding the socket until the join (ClosingLocked).
    if (group) {
        group->join_all();
        group.reset();
        RecursiveGuard lock(m_ConnectLock);
        if (--m_nJoining == 0) {
            m_Socket.Close();
        }
        return;
    }
    // Another thread (a close thread, a handler) is joining the receive thread: a caller
    // that is none of the engine's threads waits for that, so that when it returns (the
    // destructor's stop above all) no receive thread is left. Engine threads do not wait:
    // the receive thread being joined may be the caller itself.
    while (s_pEngineThreadOwner != this) {
        {
            RecursiveGuard lock(m_ConnectLock);
            if (m_nJoining == 0) {
                break;
            }
        }
        usleep(kPollSliceMs * 1000);
    }
}

void ProtocolBase::RaiseStop() {
    m_bAbortConnect.store(true);
    m_bRunning.store(false);
    // The dispatch thread and any waiting request see the stop now, not after a slice.
    WakeWaiters();
}

std::unique_ptr<boost::thread_group> ProtocolBase::DetachConnectionLocked() {
    RaiseStop();
    std::unique_ptr<boost::thread_group> group;
    if (m_pThreadGroup && !m_pThreadGroup->is_this_thread_in()) {
        // Wakes a receive thread blocked in its readiness wait at once; the read it sees
        // fail is not recorded because m_bRunning is already false. The descriptor stays
        // open until the thread is joined, so no new connection can reuse its number.
        m_Socket.Shutdown();
        group = std::move(m_pThreadGroup);
        ++m_nJoining;
    } else if (m_nJoining == 0) {
        // No receive thread, or only the caller itself (a payload reader): nobody else
        // reads the socket. Its thread group is joined by the next close from elsewhere.
        m_Socket.Close();
    }
    // Otherwise another caller is joining the receive thread and closes the socket then.
    return group;
}

bool ProtocolBase::ClosingLocked() {
    return m_Socket.GetFd() != -1 || m_nJoining > 0 ||
           (m_pThreadGroup && !m_pThreadGroup->is_this_thread_in());
}

void ProtocolBase::EndConnection() {
    CloseConnect();
    // An engine thread leaves the dispatch and close threads alone: either may be waiting
    // for it. Any other caller joins them, so that no dispatch thread of the old connection
    // is still on its way out (emptying the queue) when the new one begins.
    if (s_pEngineThreadOwner == this) {
        return;
    }
    std::unique_ptr<boost::thread> dispatcher;
    {
        RecursiveGuard lock(m_ConnectLock);
        dispatcher = std::move(m_pDispatcherThread);
    }
    if (dispatcher) {
        m_nDispatcherGen.fetch_add(1);
        m_EventQueue.Wake();
    }
    JoinThread(dispatcher);
    RetireCloseThread();
}
