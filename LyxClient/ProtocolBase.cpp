// ProtocolBase: the command protocol engine.
//
// Stopping is immediate: CloseConnect (and the destructor through it) clears m_bRunning,
// broadcasts both conditions under their wait locks and shuts the socket down before it
// joins the receive thread, so neither engine thread waits out a 30 ms slice. A read that
// fails because of that shutdown is seen with m_bRunning already false and therefore
// records nothing and starts no close thread, exactly like an ordinary stop.
// Every wait re-tests its state under its wait lock before waiting, and every notifier
// broadcasts under that lock, so no wake-up falls between a test and its wait.
#include "ProtocolBase.h"

#include "DebugLog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <boost/bind/bind.hpp>
#include <boost/function.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/thread_time.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

typedef boost::lock_guard<boost::recursive_mutex> Guard;
typedef boost::unique_lock<boost::recursive_mutex> UniqueGuard;

// The engine object whose close thread the calling thread is (null on other threads), and
// the connection generation that close thread was started for.
thread_local const ProtocolBase* t_pCloseThreadOwner = nullptr;
thread_local uint32_t t_nCloseThreadGen = 0;

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

int GetTid() {
    return static_cast<int>(::syscall(SYS_gettid));
}

const int kEnginePriority = 9;

// SCHED_RR at priority 9 for the calling thread; false when refused.
bool SetRealtimePriority(int tid) {
    sched_param param;
    memset(&param, 0, sizeof(param));
    param.sched_priority = kEnginePriority;
    return ::sched_setscheduler(tid, SCHED_RR, &param) == 0;
}

// Set once the system refused to create a thread with SCHED_RR attributes.
std::atomic<bool> g_bRealtimeStartRefused(false);

// Starts an engine thread already at SCHED_RR priority 9 where the system allows it, so
// that on a busy machine it does not first wait for a time-sharing slice before it can
// raise its own priority; otherwise (no permission) it starts like any thread. The thread
// body still asks for SCHED_RR itself and logs when that is refused.
boost::thread* NewEngineThread(const boost::function<void()>& body) {
    if (!g_bRealtimeStartRefused.load(std::memory_order_relaxed)) {
        boost::thread::attributes attrs;
        pthread_attr_t* attr = attrs.native_handle();
        sched_param param;
        memset(&param, 0, sizeof(param));
        param.sched_priority = kEnginePriority;
        if (pthread_attr_setinheritsched(attr, PTHREAD_EXPLICIT_SCHED) == 0 &&
            pthread_attr_setschedpolicy(attr, SCHED_RR) == 0 &&
            pthread_attr_setschedparam(attr, &param) == 0) {
            try {
                return new boost::thread(attrs, body);
            } catch (const boost::thread_resource_error&) {
                g_bRealtimeStartRefused.store(true, std::memory_order_relaxed);
            }
        }
    }
    return new boost::thread(body);
}

// Sleeps ms, ending early when fd becomes readable: the idle "sleep" of the receive loop,
// so that data arriving during it is read at once.
void IdleSleep(int fd, uint32_t ms) {
    if (SocketStream::WaitReadable(fd, ms) < 0) {
        usleep(ms * 1000);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------
// Construction and destruction

ProtocolBase::ProtocolBase()
    : m_bRunning(false), m_AnsCode(0), m_SendBuffer(1, '\0'), m_bPending(false),
      m_nSndRcvTimeout(kDefaultSndRcvTimeoutSec), m_bAbortConnect(false), m_bNoDispatcher(0),
      m_nConnectTimeout(0) {
    for (int i = 0; i < 256; ++i) {
        m_EventHandlers[i] = &ProtocolBase::OnUnknownCommand;
        m_ReadHandlers[i] = &ProtocolBase::ReadNothing;
    }
    ::signal(SIGPIPE, SIG_IGN);
}

ProtocolBase::~ProtocolBase() {
    ProtocolBase::CloseConnect();
    JoinThread(m_pDispatcherThread);
    RetireCloseThread();
}

// ---------------------------------------------------------------------------------------
// Settings

void ProtocolBase::SetCmdPrefix(const char* prefix, uint32_t length) {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "SetCmdPrefix %d", static_cast<int>(length));
    Guard lock(m_PrefixLock);
    if (length == 0 || prefix == nullptr) {
        m_CmdPrefix.clear();
    } else {
        m_CmdPrefix.assign(prefix, length);
    }
    m_SendBuffer.resize(m_CmdPrefix.size() + 1);
    if (!m_CmdPrefix.empty()) {
        memcpy(&m_SendBuffer[0], m_CmdPrefix.data(), m_CmdPrefix.size());
    }
}

void ProtocolBase::SetCustCmdPrefix(const char* prefix) {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "SetCustCmdPrefix");
    // m_PrefixLock is taken so that a prefix set while the receive thread parses a frame is
    // not a data race. Exactly len(m_CmdPrefix) bytes are kept; a shorter text is padded
    // with zero bytes instead of read past its end.
    Guard lock(m_PrefixLock);
    const size_t n = m_CmdPrefix.size();
    m_CustCmdPrefix.assign(n, '\0');
    if (prefix != nullptr && n > 0) {
        memcpy(&m_CustCmdPrefix[0], prefix, strnlen(prefix, n));
    }
}

void ProtocolBase::SetSndRcvTimeout(int seconds) {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "SetSndRcvTimeout %d", seconds);
    m_nSndRcvTimeout = seconds;
}

// ---------------------------------------------------------------------------------------
// Connection set-up and tear-down

int ProtocolBase::OpenConnect(const char* ip, const std::vector<uint16_t>& vecPort,
                              int noDispatcher, int timeoutSec) {
    CloseConnect();
    // A close thread left by an earlier receive failure is finished here, before the new
    // connection exists, so that its CloseConnect cannot tear the new connection down.
    RetireCloseThread();
    std::string strIP = ip != nullptr ? ip : "";
    std::vector<uint16_t> ports = vecPort;
    m_strIP = strIP;
    m_vecPort = ports;
    m_bNoDispatcher = noDispatcher;
    m_nConnectTimeout = timeoutSec;
    return ConnectPorts(strIP.c_str(), ports, noDispatcher, timeoutSec);
}

int ProtocolBase::ReConnect() {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "ReConnect %s sock:%d", m_strIP.c_str(), m_Socket.GetFd());
    if (m_Socket.GetFd() == -1) {
        ORR_SET_ERROR(ORR_ERR_INIT_OBJECT, "Invalid m_Socket", "");
        return ORR_ERR_INIT_OBJECT;
    }
    // The old threads are retired before the new ones
    // start, so the old receive thread never reads the next connection's socket. It ends
    // as by a stop request: no error, no close thread.
    {
        Guard lock(m_ConnectLock);
        m_bRunning.store(false);
        WakeWaiters();
        StopReceiveThread();
    }
    m_Socket.Close();
    std::string strIP = m_strIP;
    std::vector<uint16_t> ports = m_vecPort;
    return ConnectPorts(strIP.c_str(), ports, m_bNoDispatcher, m_nConnectTimeout);
}

int ProtocolBase::ConnectPorts(const char* ip, const std::vector<uint16_t>& vecPort,
                               int noDispatcher, int timeoutSec) {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "OpenConnect %s %d %d %d", ip,
               static_cast<int>(vecPort.size()), noDispatcher, timeoutSec);
    Guard lock(m_ConnectLock);
    if (IsPending()) {
        ORR_SET_ERROR(ORR_ERR_REENTRY, "ProtocolBase::OpenConnect", "");
        return ORR_ERR_REENTRY;
    }
    if (m_Socket.GetFd() != -1) {
        ORR_SET_ERROR(ORR_ERR_STILL_CLOSING, "", "");
        return ORR_ERR_STILL_CLOSING;
    }
    if (vecPort.empty()) {
        ORR_SET_ERROR(ORR_ERR_EMPTY_PORTS, "", "");
        return ORR_ERR_EMPTY_PORTS;
    }
    // Cleared once here, not before the wait: a CloseConnect that comes while the connects
    // are still being started must end this procedure too.
    m_bAbortConnect.store(false);

    std::vector<int> vecSocket;
    std::vector<CandidateHolder> holders;
    vecSocket.reserve(vecPort.size());
    holders.reserve(vecPort.size());
    for (size_t i = 0; i < vecPort.size(); ++i) {
        int sock = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (sock < 0) {
            const int err = errno;
            ORR_SET_ERROR(-err, "", "");
            return -err; // the holders close the candidates created so far
        }
        vecSocket.push_back(sock);
        holders.emplace_back(sock);
        ApplySocketOptions(sock);

        int flags = ::fcntl(sock, F_GETFL, 0);
        if (flags < 0) {
            DLOG_WRITE(GetLogger(), DL_WARN, "OpenConnect fcntl(Socket, F_GETFL, 0) failed %d",
                       errno);
        }
        if (::fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0) {
            DLOG_WRITE(GetLogger(), DL_WARN,
                       "OpenConnect fcntl(Socket, F_SETFL, flags | O_NONBLOCK) failed %d", errno);
        }

        sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_port = htons(vecPort[i]);
        addr.sin_addr.s_addr = ::inet_addr(ip);
        (void)::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));

        if (i + 1 < vecPort.size()) {
            usleep(kPollSliceMs * 1000);
        }
        if (m_bAbortConnect.load()) {
            break;
        }
    }

    const uint32_t start = GetTickMs();
    const uint32_t budgetMs = static_cast<uint32_t>(timeoutSec) * 1000u;
    bool seenWritable = false;
    std::vector<pollfd> writeSet(vecSocket.size());
    for (size_t i = 0; i < vecSocket.size(); ++i) {
        writeSet[i].fd = vecSocket[i];
        writeSet[i].events = POLLOUT;
    }

    while (static_cast<uint32_t>(GetTickMs() - start) < budgetMs && !m_bAbortConnect.load()) {
        for (pollfd& p : writeSet) {
            p.revents = 0;
        }
        int ready = ::poll(writeSet.data(), writeSet.size(), static_cast<int>(kPollSliceMs));
        if (ready <= 0) {
            // Nothing writable: the 30 ms pause, ended early when a candidate becomes
            // writable (it is then handled in the next pass).
            if (ready < 0 ||
                ::poll(writeSet.data(), writeSet.size(), static_cast<int>(kPollSliceMs)) < 0) {
                usleep(kPollSliceMs * 1000);
            }
        } else {
            bool accepted = false;
            for (size_t i = 0; i < vecSocket.size() && !accepted; ++i) {
                // Writable as select's write set reports it: ready, failed or hung up.
                if (!(writeSet[i].revents & (POLLOUT | POLLERR | POLLHUP))) {
                    continue;
                }
                seenWritable = true;
                if (OnConnectHandshake(vecSocket[i]) < 0) {
                    continue;
                }
                int flags = ::fcntl(vecSocket[i], F_GETFL, 0);
                if (flags < 0) {
                    DLOG_WRITE(GetLogger(), DL_WARN,
                               "OpenConnect fcntl(vecSocket[i], F_GETFL, 0) failed %d", errno);
                }
                if (::fcntl(vecSocket[i], F_SETFL, flags & (~O_NONBLOCK)) < 0) {
                    DLOG_WRITE(GetLogger(), DL_CRIT,
                               "OpenConnect fcntl(vecSocket[i], F_SETFL, flags & (~O_NONBLOCK)) "
                               "failed %d",
                               errno);
                }
                holders[i].Release();
                m_Socket.Attach(vecSocket[i]);
                DLOG_WRITE(GetLogger(), DL_INFO, "OpenConnect use port# %hu sock:%d",
                           static_cast<unsigned short>(vecPort[i]), vecSocket[i]);
                accepted = true;
            }
            // A rejected candidate stays writable: without this pause the next pass would
            // offer it to the hook again at once, in a busy loop.
            if (!accepted) {
                usleep(kPollSliceMs * 1000);
            }
        }
        if (m_Socket.GetFd() != -1) {
            break;
        }
        m_bPending.store(true);
        WaitIdle(true);
        m_bPending.store(false);
    }

    int result;
    if (m_Socket.GetFd() != -1) {
        result = StartThreads(noDispatcher);
    } else if (seenWritable) {
        ORR_SET_ERROR(ORR_ERR_HANDSHAKE, "", "");
        result = ORR_ERR_HANDSHAKE;
    } else {
        std::string portText;
        char buf[16];
        for (uint16_t port : vecPort) {
            snprintf(buf, sizeof(buf), "%d ", static_cast<int>(port));
            portText += buf;
        }
        ORR_SET_ERROR(ORR_ERR_NO_CONNECTION, ip, portText.c_str());
        result = ORR_ERR_NO_CONNECTION;
    }
    return result; // candidates whose holders were not released are closed here
}

void ProtocolBase::ApplySocketOptions(int socket) {
    int one = 1;
    if (::setsockopt(socket, SOL_SOCKET, SO_OOBINLINE, &one, sizeof(one)) != 0) {
        DLOG_WRITE(GetLogger(), DL_WARN, "InitSocket setsockopt(SO_OOBINLINE) failed %d", errno);
    }
    if (::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
        DLOG_WRITE(GetLogger(), DL_WARN, "InitSocket setsockopt(TCP_NODELAY) failed %d", errno);
    }
    timeval tv;
    tv.tv_sec = m_nSndRcvTimeout;
    tv.tv_usec = 0;
    if (::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
        DLOG_WRITE(GetLogger(), DL_WARN, "InitSocket setsockopt(SO_SNDTIMEO) failed %d", errno);
    }
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
        DLOG_WRITE(GetLogger(), DL_WARN, "InitSocket setsockopt(SO_RCVTIMEO) failed %d", errno);
    }
}

int ProtocolBase::StartThreads(int noDispatcher) {
    // An event handler or a payload reader that connects anew runs on the very thread
    // this would replace, and a thread cannot join itself: that thread goes on serving
    // the new connection instead of running beside a second one.
    const bool onDispatcher =
        m_pDispatcherThread && m_pDispatcherThread->get_id() == boost::this_thread::get_id();
    const bool onReceiver = m_pThreadGroup && m_pThreadGroup->is_this_thread_in();
    if (!onDispatcher) {
        JoinThread(m_pDispatcherThread);
    }
    // A receive thread of an earlier connection is joined now unless it is this thread.
    if (m_pThreadGroup && !onReceiver) {
        m_pThreadGroup->join_all();
        m_pThreadGroup.reset();
    }
    m_bDispatchWanted.store(noDispatcher == 0);
    m_bRunning.store(true);
    const uint32_t gen = m_nConnGen.load() + 1;
    m_nConnGen.store(gen);
    if (t_pCloseThreadOwner == this) {
        t_nCloseThreadGen = gen; // a close thread that reconnects owns the new connection
    }
    try {
        if (!m_pThreadGroup) {
            m_pThreadGroup.reset(new boost::thread_group);
        }
    } catch (const std::exception&) {
        CloseConnect();
        ORR_SET_ERROR(ORR_ERR_CREATE_OBJECT, "m_pThreadGroup", "");
        return ORR_ERR_CREATE_OBJECT;
    }
    // Code 0 is recorded once, before the receive thread exists: recorded after the thread started,
    // it could overwrite the error of a receive thread that fails at once (a refused socket), and a
    // waiting request would then report a cancel instead of that error.
    ORR_SET_ERROR(0, "", "");
    if (noDispatcher == 0) {
        Guard lock(m_QueueLock);
        m_EventQueue.clear();
    }
    // The receive thread is started before the dispatch thread: the first request needs the receive
    // thread, and starting it first takes a thread start-up off that request's path. Nothing else
    // depends on the order; the queue is emptied before either exists.
    try {
        if (!onReceiver) {
            std::unique_ptr<boost::thread> thread(
                NewEngineThread(boost::bind(&ProtocolBase::NetworkThread, this)));
            m_pThreadGroup->add_thread(thread.get());
            thread.release(); // owned by the group now
        }
    } catch (const std::exception&) {
        CloseConnect();
        ORR_SET_ERROR(ORR_ERR_CREATE_OBJECT, "m_pThreadGroup", "");
        return ORR_ERR_CREATE_OBJECT;
    }
    if (noDispatcher == 0 && !m_pDispatcherThread) {
        try {
            m_pDispatcherThread.reset(
                NewEngineThread(boost::bind(&ProtocolBase::DispatcherThread, this)));
        } catch (const std::exception&) {
            CloseConnect();
            ORR_SET_ERROR(ORR_ERR_CREATE_OBJECT, "m_pDispatcherThread", "");
            return ORR_ERR_CREATE_OBJECT;
        }
    }
    return 0;
}

int ProtocolBase::InitSocket(int socket, int noDispatcher) {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "InitSocket %d %d", socket, noDispatcher);
    // See OpenConnect: an earlier close thread is finished before anything else.
    RetireCloseThread();
    Guard lock(m_ConnectLock);
    if (IsPending()) {
        ORR_SET_ERROR(ORR_ERR_REENTRY, "ProtocolBase::InitSocket", "");
        return ORR_ERR_REENTRY;
    }
    CloseConnect();
    if (m_Socket.GetFd() != -1) {
        ORR_SET_ERROR(ORR_ERR_STILL_CLOSING, "", "");
        return ORR_ERR_STILL_CLOSING;
    }
    m_Socket.Attach(socket);
    ApplySocketOptions(socket);
    return StartThreads(noDispatcher);
}

void ProtocolBase::CloseConnect() {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "CloseConnect %d %d sock:%d",
               static_cast<int>(m_bRunning.load()), static_cast<int>(m_bAbortConnect.load()),
               m_Socket.GetFd());
    // A close thread of this engine (it runs OnConnectClose after a receive failure) only
    // closes the connection it was started for: it leaves the flags alone until it holds
    // m_ConnectLock and then does nothing if a newer connection has been set up meanwhile.
    const bool onCloseThread = (t_pCloseThreadOwner == this);
    if (!onCloseThread) {
        m_bAbortConnect.store(true);
        m_bRunning.store(false);
        // The dispatch thread and any waiting request see the stop now, not after a slice.
        WakeWaiters();
    }
    Guard lock(m_ConnectLock);
    if (onCloseThread && t_nCloseThreadGen != m_nConnGen.load()) {
        return;
    }
    m_bAbortConnect.store(true);
    m_bRunning.store(false);
    if (onCloseThread) {
        WakeWaiters();
    }
    StopReceiveThread();
    if (m_Socket.GetFd() != -1) {
        m_Socket.Close();
    }
}

void ProtocolBase::StopReceiveThread() {
    if (!m_pThreadGroup) {
        return;
    }
    if (m_pThreadGroup->is_this_thread_in()) {
        // Called on the receive thread itself (never done by the engine): it cannot join
        // itself; the group is joined by the next CloseConnect or StartThreads.
        return;
    }
    // Wakes a receive thread blocked in its readiness wait or inside a read at once; the
    // read it sees fail is not recorded because m_bRunning is already false.
    m_Socket.Shutdown();
    m_pThreadGroup->join_all();
    m_pThreadGroup.reset();
}

bool ProtocolBase::IsPending() {
    return m_bPending.load();
}

bool ProtocolBase::IsConnected() {
    return m_Socket.GetFd() != -1;
}

int ProtocolBase::GetSocket() {
    return m_Socket.GetFd();
}

// ---------------------------------------------------------------------------------------
// Requests and acknowledgements

int ProtocolBase::RequestCommand(uint8_t req, uint8_t ans, const char* name,
                                 const std::string& payload, bool peek, int timeoutSec) {
    if (name == nullptr) {
        name = "";
    }
    DLOG_WRITE(GetLogger(), DL_INFO,
               "==> RequestCommand Req:0x%02X Ans:0x%02X %s size:%d peek:%d timeout:%d pend:%d "
               "sock:%d",
               req, ans, name, static_cast<int>(payload.size()), static_cast<int>(peek), timeoutSec,
               static_cast<int>(m_bPending.load()), m_Socket.GetFd());
    {
        Guard lock(m_RequestLock);
        if (m_bPending.load()) {
            ORR_SET_ERROR(ORR_ERR_REENTRY, "ProtocolBase::RequestCommand", "");
            return ORR_ERR_REENTRY;
        }
        const size_t p = m_CmdPrefix.size();
        m_SendBuffer.resize(p + 1 + payload.size());
        m_SendBuffer[p] = static_cast<char>(req);
        if (!payload.empty()) {
            memcpy(&m_SendBuffer[p + 1], payload.data(), payload.size());
        }
        m_AnsCode.store(ans);
        m_Socket.Send(m_SendBuffer.data(), static_cast<uint32_t>(m_SendBuffer.size()), 0);
    }

    const uint32_t start = GetTickMs();
    const uint32_t budgetMs = static_cast<uint32_t>(timeoutSec) * 1000u;
    while (static_cast<uint32_t>(GetTickMs() - start) < budgetMs) {
        if (!m_bRunning.load()) {
            // The receive thread clears m_AnsCode before it ends, so an answer read just
            // before the close is seen here: that request has succeeded. Otherwise the
            // request is over, and its answer code must not make a frame of a later
            // connection an answer that nobody waits for.
            bool answered;
            {
                Guard lock(m_RequestLock);
                answered = m_AnsCode.load() == 0;
                if (m_AnsCode.load() == ans) {
                    m_AnsCode.store(0);
                }
            }
            if (answered) {
                break;
            }
            const int code = GetErrorCode();
            if (code < 0) {
                return code;
            }
            ORR_SET_ERROR(ORR_ERR_NO_RESPONSE, "Cancel", "?");
            return ORR_ERR_NO_RESPONSE;
        }
        m_bPending.store(true);
        WaitIdle(peek);
        m_bPending.store(false);
        if (m_AnsCode.load() == 0) {
            break;
        }
        WaitSlice(m_AnswerArrived, m_AnswerWaitLock, kPollSliceMs, &ProtocolBase::AnswerWaitDone);
    }

    {
        Guard lock(m_RequestLock);
        if (m_AnsCode.load() == 0) {
            ORR_SET_ERROR(0, "", "");
            return 0;
        }
        m_AnsCode.store(0);
    }
    if (timeoutSec != 0) {
        char text[16];
        snprintf(text, sizeof(text), "%d", timeoutSec);
        ORR_SET_ERROR(ORR_ERR_NO_RESPONSE, name, text);
        return ORR_ERR_NO_RESPONSE;
    }
    DLOG_WRITE(GetLogger(), DL_NOTICE,
               "%s command will not wait for response due to timeout is set to 0 second.", name);
    ORR_SET_ERROR(0, "", "");
    return 0;
}

int ProtocolBase::AckCommand(uint8_t ack, const char* name, const std::string& payload) {
    Guard lock(m_RequestLock);
    DLOG_WRITE(GetLogger(), DL_INFO, "==> AckCommand Ack:0x%02X %s size:%d sock:%d", ack,
               name != nullptr ? name : "", static_cast<int>(payload.size()), m_Socket.GetFd());
    const size_t p = m_CmdPrefix.size();
    m_SendBuffer.resize(p + 1 + payload.size());
    m_SendBuffer[p] = static_cast<char>(ack);
    if (!payload.empty()) {
        memcpy(&m_SendBuffer[p + 1], payload.data(), payload.size());
    }
    return m_Socket.Send(m_SendBuffer.data(), static_cast<uint32_t>(m_SendBuffer.size()), 0);
}

int ProtocolBase::SendCommandData(const char* data, uint32_t length, int flags, bool log) {
    Guard lock(m_RequestLock);
    if (log) {
        DLOG_WRITE(GetLogger(), DL_INFO, "==> SendCommandData len:%d sock:%d",
                   static_cast<int>(length), m_Socket.GetFd());
    }
    const size_t p = m_CmdPrefix.size();
    m_SendBuffer.resize(p + length);
    if (length > 0 && data != nullptr) {
        memcpy(&m_SendBuffer[p], data, length);
    }
    return m_Socket.Send(m_SendBuffer.data(), static_cast<uint32_t>(m_SendBuffer.size()), flags);
}

void ProtocolBase::WaitIdle(bool /*peek*/) {}

bool ProtocolBase::TimedWait(boost::condition_variable_any& cond, boost::recursive_mutex& lock,
                             uint32_t ms) {
    const boost::system_time deadline =
        boost::get_system_time() + boost::posix_time::milliseconds(ms);
    UniqueGuard guard(lock);
    return cond.timed_wait(guard, deadline);
}

bool ProtocolBase::WaitSlice(boost::condition_variable_any& cond, boost::recursive_mutex& lock,
                             uint32_t ms, bool (ProtocolBase::*done)()) {
    const boost::system_time deadline =
        boost::get_system_time() + boost::posix_time::milliseconds(ms);
    UniqueGuard guard(lock);
    if ((this->*done)()) {
        return true;
    }
    return cond.timed_wait(guard, deadline);
}

bool ProtocolBase::AnswerWaitDone() {
    return m_AnsCode.load() == 0 || !m_bRunning.load();
}

bool ProtocolBase::EventWaitDone() {
    if (!m_bRunning.load()) {
        return true;
    }
    Guard lock(m_QueueLock);
    return !m_EventQueue.empty();
}

void ProtocolBase::WakeWaiters() {
    {
        Guard lock(m_AnswerWaitLock);
        m_AnswerArrived.notify_all();
    }
    {
        Guard lock(m_EventWaitLock);
        m_EventArrived.notify_all();
    }
}

// ---------------------------------------------------------------------------------------
// Receive thread

void ProtocolBase::NetworkThread() {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "NetworkThread begin sock:%d", m_Socket.GetFd());
    const int tid = GetTid();
    DLOG_WRITE(GetLogger(), DL_INFO, "NetworkThread id: %d", tid);
    if (!SetRealtimePriority(tid)) {
        DLOG_WRITE(GetLogger(), DL_WARN, "NetworkThread sched_setscheduler() fail!");
    }

    std::string prefixBuf;
    {
        Guard lock(m_PrefixLock);
        prefixBuf.assign(m_CmdPrefix.size(), '\0');
    }
    std::string payload;

    for (;;) {
        if (!m_bRunning.load()) {
            break;
        }
        if (!IsPeerAlive()) {
            DLOG_WRITE(GetLogger(), DL_NOTICE, "Peer is treated as dead. Kick it out. sock:%d",
                       m_Socket.GetFd());
            break;
        }
        const int fd = m_Socket.GetFd();
        const int ready = SocketStream::WaitReadable(fd, kPollSliceMs);
        if (ready < 0) {
            RecordReceiveFailure(-errno, __LINE__);
            break;
        }
        if (ready == 0) {
            IdleSleep(fd, kPollSliceMs);
            continue;
        }
        if (ReceiveFrame(prefixBuf, payload) == kExitThread) {
            break;
        }
    }

    const int fd = m_Socket.GetFd();
    if (fd != -1) {
        if (m_bRunning.load()) {
            StartCloseThread();
        }
        m_bRunning.store(false);
        WakeWaiters();
    }
    DLOG_WRITE(GetLogger(), DL_DEBUG, "NetworkThread end sock:%d", fd);
}

ProtocolBase::FrameResult ProtocolBase::ReceiveFrame(std::string& prefixBuf, std::string& payload) {
    UniqueGuard prefixLock(m_PrefixLock);
    const int fd = m_Socket.GetFd();
    const uint32_t prefixLen = static_cast<uint32_t>(prefixBuf.size());

    if (!m_CmdPrefix.empty()) {
        for (;;) {
            if (!m_bRunning.load()) {
                return kExitThread;
            }
            int got = m_Socket.Recv(&prefixBuf[0], prefixLen, MSG_PEEK);
            if (got == -1 || got == 0) {
                RecordReceiveFailure(m_Socket.LastReadFailure(), __LINE__);
                return kExitThread;
            }
            if (static_cast<uint32_t>(got) < prefixLen) {
                DLOG_WRITE(GetLogger(), DL_DEBUG,
                           "NetworkThread no enough data to match prefix %d sock:%d", got, fd);
                IdleSleep(fd, kPollSliceMs);
                return kNextPass;
            }
            if (prefixBuf == m_CmdPrefix || prefixBuf == m_CustCmdPrefix) {
                got = m_Socket.Recv(&prefixBuf[0], prefixLen, 0);
                if (got == -1 || got == 0) {
                    RecordReceiveFailure(m_Socket.LastReadFailure(), __LINE__);
                    return kExitThread;
                }
                break;
            }
            DLOG_WRITE(GetLogger(), DL_NOTICE, "NetworkThread unknown prefix data 0x%02X sock:%d",
                       static_cast<unsigned char>(prefixBuf[0]), fd);
            char skipped;
            got = m_Socket.Recv(&skipped, 1, 0);
            if (got == -1 || got == 0) {
                RecordReceiveFailure(m_Socket.LastReadFailure(), __LINE__);
                return kExitThread;
            }
        }
    }

    OnFrameBegin();

    if (!m_CmdPrefix.empty() && prefixBuf != m_CmdPrefix) {
        errno = 0;
        const int result = OnCustCmdPrefix();
        if (result == 0 || result == -1) {
            RecordReceiveFailure(HookFailure(), __LINE__);
            return kExitThread;
        }
        return kNextPass;
    }

    unsigned char code = 0;
    int got = m_Socket.Recv(reinterpret_cast<char*>(&code), 1, 0);
    if (got == -1 || got == 0) {
        RecordReceiveFailure(m_Socket.LastReadFailure(), __LINE__);
        return kExitThread;
    }

    UniqueGuard requestLock(m_RequestLock);
    if (code == m_AnsCode.load()) {
        DLOG_WRITE(GetLogger(), DL_INFO, "<== NetworkThread got response 0x%02X sock:%d", code, fd);
        if (!RunReader(code, payload, __LINE__)) {
            return kExitThread;
        }
        m_AnsCode.store(0);
        requestLock.unlock();
        Guard waitLock(m_AnswerWaitLock);
        m_AnswerArrived.notify_all();
    } else if (m_EventHandlers[code] == &ProtocolBase::OnUnknownCommand) {
        requestLock.unlock();
        DLOG_WRITE(GetLogger(), DL_NOTICE, "<== NetworkThread got exceptional event 0x%02X sock:%d",
                   code, fd);
    } else {
        requestLock.unlock();
        if (!RunReader(code, payload, __LINE__)) {
            return kExitThread;
        }
        DLOG_WRITE(GetLogger(), DL_INFO, "<== NetworkThread got event 0x%02X, len=%d sock:%d", code,
                   static_cast<int>(payload.size()), fd);
        {
            Guard queueLock(m_QueueLock);
            m_EventQueue.push_back(EventRecord{code, payload});
        }
        Guard waitLock(m_EventWaitLock);
        m_EventArrived.notify_all();
    }
    return kNextPass;
}

bool ProtocolBase::RunReader(uint8_t code, std::string& payload, int line) {
    errno = 0; // see HookFailure
    const ReadHandler reader = m_ReadHandlers[code];
    const int result = (this->*reader)(payload);
    if (result == 0 || result == -1) {
        RecordReceiveFailure(HookFailure(), line);
        return false;
    }
    return true;
}

void ProtocolBase::RecordReceiveFailure(int code, int line) {
    if (!m_bRunning.load()) {
        return; // a stop woke the read: the ordinary stop records nothing
    }
    SetError(code, "", "", __FILE__, line);
}

int ProtocolBase::HookFailure() {
    // The socket knows why its last read came up short; a hook that failed without
    // reading short reports its errno, or a graceful close when it left none.
    const int code = m_Socket.LastReadFailure();
    if (code != 0) {
        return code;
    }
    return errno != 0 ? -errno : ORR_ERR_GRACEFUL_CLOSE;
}

void ProtocolBase::StartCloseThread() {
    boost::thread* previous;
    {
        boost::lock_guard<boost::mutex> lock(m_CloseThreadLock);
        previous = m_pCloseThread.release();
    }
    try {
        std::unique_ptr<boost::thread> thread(new boost::thread(
            boost::bind(&ProtocolBase::CloseThreadMain, this, previous, m_nConnGen.load())));
        boost::lock_guard<boost::mutex> lock(m_CloseThreadLock);
        m_pCloseThread = std::move(thread);
    } catch (const std::exception&) {
        // No close thread could be started; keep the previous one for the destructor.
        boost::lock_guard<boost::mutex> lock(m_CloseThreadLock);
        m_pCloseThread.reset(previous);
    }
}

void ProtocolBase::CloseThreadMain(boost::thread* previous, uint32_t gen) {
    t_pCloseThreadOwner = this;
    t_nCloseThreadGen = gen;
    if (previous != nullptr) {
        previous->join();
        delete previous;
    }
    OnConnectClose();
}

void ProtocolBase::RetireCloseThread() {
    if (t_pCloseThreadOwner == this) {
        return; // a close thread never joins the close threads of its engine
    }
    std::unique_ptr<boost::thread> thread;
    {
        boost::lock_guard<boost::mutex> lock(m_CloseThreadLock);
        thread = std::move(m_pCloseThread);
    }
    JoinThread(thread);
}

// ---------------------------------------------------------------------------------------
// Event dispatch

void ProtocolBase::DispatcherThread() {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "DispatcherThread begin sock:%d", m_Socket.GetFd());
    UniqueGuard queueLock(m_QueueLock);
    std::string payload;
    const int tid = GetTid();
    DLOG_WRITE(GetLogger(), DL_INFO, "DispatcherThread id: %d", tid);
    if (!SetRealtimePriority(tid)) {
        DLOG_WRITE(GetLogger(), DL_WARN, "DispatcherThread sched_setscheduler() fail!");
    }

    while (m_bRunning.load() && m_bDispatchWanted.load()) {
        if (m_EventQueue.empty()) {
            queueLock.unlock();
            WaitSlice(m_EventArrived, m_EventWaitLock, kPollSliceMs, &ProtocolBase::EventWaitDone);
            queueLock.lock();
            continue;
        }
        const uint8_t code = m_EventQueue.front().code;
        payload.swap(m_EventQueue.front().payload);
        m_EventQueue.pop_front();
        queueLock.unlock();
        if (!m_bRunning.load()) {
            break;
        }
        const EventHandler handler = m_EventHandlers[code];
        const int result = (this->*handler)(payload.c_str());
        OnEventHandled(code, result);
        queueLock.lock();
    }

    if (!queueLock.owns_lock()) {
        queueLock.lock();
    }
    m_EventQueue.clear();
    DLOG_WRITE(GetLogger(), DL_DEBUG, "DispatcherThread end sock:%d", m_Socket.GetFd());
}

// ---------------------------------------------------------------------------------------
// Hooks and table defaults

void ProtocolBase::OnConnectClose() {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "OnConnectClose sock:%d", m_Socket.GetFd());
    CloseConnect();
}

void ProtocolBase::OnEventHandled(uint8_t /*code*/, int /*result*/) {}

int ProtocolBase::OnCustCmdPrefix() {
    return 1;
}

void ProtocolBase::OnFrameBegin() {}

int ProtocolBase::OnConnectHandshake(int /*socket*/) {
    return 0;
}

bool ProtocolBase::IsPeerAlive() {
    return true;
}

int ProtocolBase::ReadNothing(std::string& payload) {
    payload.clear();
    return 1;
}

int ProtocolBase::OnUnknownCommand(const char* /*payload*/) {
    DLOG_WRITE(GetLogger(), DL_DEBUG, "OnUnknownCommand sock:%d", m_Socket.GetFd());
    return -1;
}

void ProtocolBase::JoinThread(std::unique_ptr<boost::thread>& thread) {
    if (!thread) {
        return;
    }
    if (thread->get_id() == boost::this_thread::get_id()) {
        thread->detach(); // a thread cannot join itself
    } else {
        thread->join();
    }
    thread.reset();
}
