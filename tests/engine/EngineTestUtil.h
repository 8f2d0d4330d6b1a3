// Helpers of the engine tests: a scripted peer on one end of a socketpair or of a loopback
// connection, a loopback listener on an ephemeral port, a log on a temporary file, counts
// of open descriptors and threads, and TestEngine, a ProtocolBase subclass that registers
// readers and event handlers and records what its hooks saw.
#pragma once

#include "ProtocolBase.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace enginetest {

inline const std::string& Prefix() {
    static const std::string prefix = "RecvIPC";
    return prefix;
}

// prefix, code, payload
inline std::string Frame(uint8_t code, const std::string& payload = std::string(),
                         const std::string& prefix = Prefix()) {
    return prefix + static_cast<char>(code) + payload;
}

inline std::string Payload32(char seed) {
    std::string p(32, '\0');
    for (size_t i = 0; i < p.size(); ++i) {
        p[i] = static_cast<char>(seed + i);
    }
    return p;
}

inline int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls pred every millisecond until it holds or timeoutMs passed.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 3000) {
    const int64_t end = NowMs() + timeoutMs;
    while (!pred()) {
        if (NowMs() > end) {
            return false;
        }
        SleepMs(1);
    }
    return true;
}

inline int CountDirEntries(const char* path) {
    int n = 0;
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            ++n;
        }
    }
    closedir(dir);
    return n - (std::string(path) == "/proc/self/fd" ? 1 : 0); // the DIR's own descriptor
}
inline int CountFds() {
    return CountDirEntries("/proc/self/fd");
}
inline int CountThreads() {
    return CountDirEntries("/proc/self/task");
}

// The test's end of a connection.
class Peer {
public:
    explicit Peer(int fd = -1) : m_fd(fd) {}
    Peer(Peer&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    Peer& operator=(Peer&& o) noexcept {
        if (this != &o) {
            Close();
            m_fd = o.m_fd;
            o.m_fd = -1;
        }
        return *this;
    }
    ~Peer() { Close(); }

    int Fd() const { return m_fd; }
    void Write(const std::string& bytes) const {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(m_fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            off += static_cast<size_t>(n);
        }
    }
    // Reads up to n bytes, waiting at most timeoutMs for all of them.
    std::string Read(size_t n, int timeoutMs = 3000) const {
        std::string out;
        const int64_t end = NowMs() + timeoutMs;
        while (out.size() < n) {
            int left = static_cast<int>(end - NowMs());
            if (left <= 0) {
                break;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) {
                break;
            }
            char buf[4096];
            ssize_t r = ::recv(m_fd, buf, std::min(sizeof(buf), n - out.size()), 0);
            if (r <= 0) {
                break;
            }
            out.append(buf, static_cast<size_t>(r));
        }
        return out;
    }
    // True when the other side closed (EOF or reset) within timeoutMs; data is discarded.
    bool WaitEof(int timeoutMs = 3000) const {
        const int64_t end = NowMs() + timeoutMs;
        for (;;) {
            int left = static_cast<int>(end - NowMs());
            if (left <= 0) {
                return false;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) {
                return false;
            }
            char buf[256];
            if (::recv(m_fd, buf, sizeof(buf), 0) <= 0) {
                return true;
            }
        }
    }
    // Closes with a reset (SO_LINGER 0) instead of an orderly close.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        Close();
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

// A connected AF_UNIX stream pair: engineEnd is handed to InitSocket (which owns it
// afterwards), peer is the test's end.
struct SocketPair {
    int engineEnd = -1;
    Peer peer;
};
inline SocketPair MakePair(bool nonBlocking = false) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        ADD_FAILURE() << "socketpair failed";
        return SocketPair();
    }
    if (nonBlocking) {
        ::fcntl(sv[0], F_SETFL, ::fcntl(sv[0], F_GETFL, 0) | O_NONBLOCK);
    }
    SocketPair sp;
    sp.engineEnd = sv[0];
    sp.peer = Peer(sv[1]);
    return sp;
}

// A listening TCP socket on 127.0.0.1 and an ephemeral port.
class Listener {
public:
    explicit Listener(int backlog = 16) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            ::listen(m_fd, backlog) != 0) {
            ADD_FAILURE() << "listen failed";
        }
        socklen_t len = sizeof(a);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(m_fd); }
    uint16_t Port() const { return m_port; }
    int Fd() const { return m_fd; }
    Peer Accept(int timeoutMs = 3000) const {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) {
            return Peer();
        }
        return Peer(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

// A loopback port on which nothing listens (connects to it are refused).
inline uint16_t RefusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A log file in the temporary directory, removed at the end.
class TempLog {
public:
    TempLog() {
        char path[] = "/tmp/engine-test-log-XXXXXX";
        int fd = ::mkstemp(path);
        if (fd >= 0) {
            ::close(fd);
        }
        m_path = path;
    }
    ~TempLog() { ::unlink(m_path.c_str()); }
    const char* Path() const { return m_path.c_str(); }
    std::string Text() const {
        std::ifstream in(m_path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::vector<std::string> Lines(const std::string& needle) const {
        std::vector<std::string> out;
        std::istringstream in(Text());
        std::string line;
        while (std::getline(in, line)) {
            if (line.find(needle) != std::string::npos) {
                out.push_back(line);
            }
        }
        return out;
    }
    int Count(const std::string& needle) const { return static_cast<int>(Lines(needle).size()); }
    bool WaitFor(const std::string& needle, int count = 1, int timeoutMs = 3000) const {
        return WaitUntil([&] { return Count(needle) >= count; }, timeoutMs);
    }
    // Position of the first line holding needle (-1 if none): for ordering checks.
    int LineIndex(const std::string& needle) const {
        std::istringstream in(Text());
        std::string line;
        for (int i = 0; std::getline(in, line); ++i) {
            if (line.find(needle) != std::string::npos) {
                return i;
            }
        }
        return -1;
    }

private:
    std::string m_path;
};

// The engine under test: readers and event handlers to register, and hooks that record.
class TestEngine : public ProtocolBase {
public:
    using ProtocolBase::ConnectPorts;
    using ProtocolBase::JoinThread;
    using ProtocolBase::m_AnsCode;
    using ProtocolBase::m_bPending;
    using ProtocolBase::m_bRunning;
    using ProtocolBase::m_CmdPrefix;
    using ProtocolBase::m_CustCmdPrefix;
    using ProtocolBase::m_EventHandlers;
    using ProtocolBase::m_EventQueue;
    using ProtocolBase::m_nSndRcvTimeout;
    using ProtocolBase::m_pCloseThread;
    using ProtocolBase::m_pDispatcherThread;
    using ProtocolBase::m_pThreadGroup;
    using ProtocolBase::m_QueueLock;
    using ProtocolBase::m_ReadHandlers;
    using ProtocolBase::m_SendBuffer;
    using ProtocolBase::m_Socket;
    using ProtocolBase::OnUnknownCommand;
    using ProtocolBase::ReadNothing;
    using ProtocolBase::TimedWait;

    enum Reader { kRead2, kRead4, kRead32, kReadFail, kReadDefault };

    explicit TestEngine(bool withPrefix = true) {
        if (withPrefix) {
            SetCmdPrefix(Prefix().data(), static_cast<uint32_t>(Prefix().size()));
        }
    }
    // A class derived from ProtocolBase stops the engine in its own destructor: the
    // dispatch thread is only joined by ~ProtocolBase, whose vptr change would otherwise
    // race with the virtual calls of the still running threads (and hooks of this class
    // could run on a half-destroyed object).
    ~TestEngine() override { StopAll(); }
    void StopAll() {
        CloseConnect();
        JoinThread(m_pDispatcherThread);
        JoinThread(m_pCloseThread); // safe: the receive thread that sets it has been joined
    }

    // GetErrorText's pointer may change under a raise on another thread: copy it under the
    // error lock.
    std::string ErrorText() {
        boost::lock_guard<boost::recursive_mutex> lock(m_ErrLock);
        return GetErrorText();
    }

    void OpenLog(const TempLog& log, int level = DL_DEBUG) {
        ASSERT_EQ(0, GetLogger()->Open(log.Path(), level, 0));
    }

    void UseReader(uint8_t code, Reader r) {
        switch (r) {
        case kRead2:
            m_ReadHandlers[code] = static_cast<ReadHandler>(&TestEngine::Read2);
            break;
        case kRead4:
            m_ReadHandlers[code] = static_cast<ReadHandler>(&TestEngine::Read4);
            break;
        case kRead32:
            m_ReadHandlers[code] = static_cast<ReadHandler>(&TestEngine::Read32);
            break;
        case kReadFail:
            m_ReadHandlers[code] = static_cast<ReadHandler>(&TestEngine::ReadFail);
            break;
        case kReadDefault:
            m_ReadHandlers[code] = &TestEngine::ReadNothing;
            break;
        }
    }
    // Event handlers: A returns 10, B returns 20, Blocking waits for ReleaseBlocked().
    void UseEventA(uint8_t code) {
        m_EventHandlers[code] = static_cast<EventHandler>(&TestEngine::EventA);
    }
    void UseEventB(uint8_t code) {
        m_EventHandlers[code] = static_cast<EventHandler>(&TestEngine::EventB);
    }
    void UseEventBlocking(uint8_t code) {
        m_EventHandlers[code] = static_cast<EventHandler>(&TestEngine::EventBlocking);
    }

    std::vector<std::string> Payloads() {
        std::lock_guard<std::mutex> l(m_mu);
        return m_payloads;
    }
    std::vector<std::pair<int, int>> Handled() {
        std::lock_guard<std::mutex> l(m_mu);
        return m_handled;
    }
    std::vector<std::string> EventPayloads() {
        std::lock_guard<std::mutex> l(m_mu);
        return m_eventPayloads;
    }
    size_t QueueSize() {
        boost::lock_guard<boost::recursive_mutex> l(m_QueueLock);
        return m_EventQueue.size();
    }
    void ReleaseBlocked() {
        std::lock_guard<std::mutex> l(m_mu);
        m_released = true;
        m_cv.notify_all();
    }

    // Hook controls and counters.
    std::atomic<int> closeCalls{0};
    std::atomic<int> handshakeCalls{0};
    std::atomic<int> handshakeResult{0};
    std::atomic<bool> peerAlive{true};
    std::atomic<bool> custOverride{false};
    std::atomic<int> custReadLen{0};
    std::atomic<int> custResult{1};
    std::atomic<int> custCalls{0};
    std::atomic<int> frameBegins{0};
    std::atomic<bool> blockedStarted{false};
    std::atomic<int> readerPolicy{-1}; // scheduling policy seen on the receive thread

protected:
    void OnConnectClose() override {
        ++closeCalls;
        ProtocolBase::OnConnectClose();
    }
    int OnConnectHandshake(int socket) override {
        ++handshakeCalls;
        (void)socket;
        return handshakeResult.load();
    }
    bool IsPeerAlive() override { return peerAlive.load(); }
    int OnCustCmdPrefix() override {
        if (!custOverride.load()) {
            return ProtocolBase::OnCustCmdPrefix();
        }
        ++custCalls;
        const int n = custReadLen.load();
        if (n > 0) {
            std::string p(static_cast<size_t>(n), '\0');
            int r = m_Socket.Recv(&p[0], static_cast<uint32_t>(n), 0);
            if (r <= 0) {
                return r;
            }
            Store(p);
        }
        return custResult.load();
    }
    void OnFrameBegin() override { ++frameBegins; }
    void OnEventHandled(uint8_t code, int result) override {
        std::lock_guard<std::mutex> l(m_mu);
        m_handled.emplace_back(code, result);
    }

    int ReadN(std::string& payload, uint32_t n) {
        readerPolicy = sched_getscheduler(0);
        payload.assign(n, '\0');
        int r = m_Socket.Recv(&payload[0], n, 0);
        if (r <= 0) {
            return r;
        }
        payload.resize(static_cast<size_t>(r));
        Store(payload);
        return r;
    }
    int Read2(std::string& p) { return ReadN(p, 2); }
    int Read4(std::string& p) { return ReadN(p, 4); }
    int Read32(std::string& p) { return ReadN(p, 32); }
    int ReadFail(std::string& p) {
        p.clear();
        return 0;
    }
    int EventA(const char* payload) {
        RecordEvent(payload);
        return 10;
    }
    int EventB(const char* payload) {
        RecordEvent(payload);
        return 20;
    }
    int EventBlocking(const char* payload) {
        RecordEvent(payload);
        blockedStarted = true;
        std::unique_lock<std::mutex> l(m_mu);
        m_cv.wait(l, [this] { return m_released; });
        return 30;
    }

private:
    void Store(const std::string& p) {
        std::lock_guard<std::mutex> l(m_mu);
        m_payloads.push_back(p);
    }
    void RecordEvent(const char* payload) {
        std::lock_guard<std::mutex> l(m_mu);
        m_eventPayloads.emplace_back(payload);
    }

    std::mutex m_mu;
    std::condition_variable m_cv;
    bool m_released = false;
    std::vector<std::string> m_payloads;
    std::vector<std::string> m_eventPayloads;
    std::vector<std::pair<int, int>> m_handled;
};

// Runs fn on a thread of its own; joined by the destructor.
class PeerThread {
public:
    explicit PeerThread(std::function<void()> fn) : m_thread(std::move(fn)) {}
    ~PeerThread() { Join(); }
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    std::thread m_thread;
};

// Connects e to a socketpair; the returned peer is the test's end.
inline Peer Adopt(TestEngine& e, int noDispatcher = 0) {
    SocketPair sp = MakePair();
    EXPECT_EQ(0, e.InitSocket(sp.engineEnd, noDispatcher));
    return std::move(sp.peer);
}

} // namespace enginetest
