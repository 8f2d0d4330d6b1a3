// Fuzz target for the receive side of the protocol engine: its frame search, answer and
// event classification, fed arbitrary bytes.
//
// An engine with the prefix "RecvIPC" and a few readers and event handlers adopts one end
// of a socketpair through InitSocket (receive and dispatch threads running). Byte 0 of
// the input chooses whether a request is outstanding while the stream arrives and whether
// a custom prefix is set; the rest is written to the other end, which is then shut for
// writing, so every read past the stream ends at once and the receive thread ends by
// itself.
//
// A model of the frame search predicts from the bytes alone which events are read (code
// and payload), whether the answer is read and what it holds, and how many custom frames
// there are; the engine must match it. Also checked: the answer reader runs only while a
// request waits for its code, events reach the handlers in the order they were read and
// never more than were read, a request that reports success had its answer read, the
// engine tears itself down in bounded time, and no descriptor or thread is left behind.
#include "FuzzCheck.h"
#include "ProtocolBase.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const std::string kPrefix = "RecvIPC";
const std::string kCustomPrefix = "RecvCUS";
constexpr uint8_t kRequestCode = 0x20;
constexpr uint8_t kAnswerCode = 0x21; // reader takes 4 bytes
constexpr uint8_t kEventLong = 0x30;  // event; reader takes 3 bytes
constexpr uint8_t kEventEmpty = 0x31; // event without payload
constexpr size_t kAnswerSize = 4;
constexpr size_t kEventLongSize = 3;
constexpr size_t kCustomSize = 2;    // bytes the custom-prefix hook consumes
constexpr size_t kMaxStream = 60000; // stays below the socketpair's buffer
constexpr auto kTeardownBound = std::chrono::seconds(10);

typedef std::pair<uint8_t, std::string> Event;

struct Prediction {
    std::vector<Event> events;
    bool answerStarted = false; // the answer's code byte was read
    bool answerRead = false;    // and its whole payload
    std::string answer;
    int customFrames = 0;
};

// The frame search over a stream that ends after its last byte.
Prediction Predict(const std::string& s, bool requestOutstanding, bool custom) {
    Prediction p;
    uint8_t ansCode = requestOutstanding ? kAnswerCode : 0;
    size_t pos = 0;
    for (;;) {
        if (s.size() - pos < kPrefix.size()) {
            return p;
        }
        const std::string head = s.substr(pos, kPrefix.size());
        if (head != kPrefix && !(custom && head == kCustomPrefix)) {
            ++pos; // one byte at a time until a prefix lines up
            continue;
        }
        pos += kPrefix.size();
        if (head != kPrefix) {
            if (s.size() - pos < kCustomSize) {
                return p;
            }
            pos += kCustomSize;
            ++p.customFrames;
            continue;
        }
        if (pos == s.size()) {
            return p;
        }
        const uint8_t code = uint8_t(s[pos++]);
        if (code == ansCode) {
            if (code == kAnswerCode) {
                p.answerStarted = true;
                if (s.size() - pos < kAnswerSize) {
                    return p;
                }
                p.answerRead = true;
                p.answer = s.substr(pos, kAnswerSize);
                pos += kAnswerSize;
            }
            ansCode = 0; // code 0 while nothing is awaited: read by the default reader
        } else if (code == kEventLong) {
            if (s.size() - pos < kEventLongSize) {
                return p;
            }
            p.events.emplace_back(code, s.substr(pos, kEventLongSize));
            pos += kEventLongSize;
        } else if (code == kEventEmpty) {
            p.events.emplace_back(code, std::string());
        }
        // Any other code is an exceptional event: its payload is searched for a prefix.
    }
}

// Reads exactly n bytes or fails (0) when the stream ends first.
int ReadExactly(SocketStream& socket, std::string& out, size_t n) {
    out.assign(n, '\0');
    const int got = socket.Recv(&out[0], uint32_t(n), 0, ProtocolBase::kRecvBudgetMs);
    if (got != int(n)) {
        errno = 0;
        return 0;
    }
    return got;
}

// What the engine did, kept outside it so that it can be looked at after the engine's
// destructor has joined every thread.
struct Observed {
    std::atomic<bool> requestWaiting{false};
    std::atomic<int> answerReads{0};
    std::string answer;
    std::atomic<int> customFrames{0};
    std::vector<Event> eventsRead; // receive thread only
    std::mutex handledLock;
    std::vector<Event> eventsHandled;
    std::vector<std::pair<uint8_t, int>> handledResults;
};

class FuzzEngine : public ProtocolBase {
public:
    FuzzEngine(bool custom, Observed& seen) : m_seen(seen) {
        SetCmdPrefix(kPrefix.data(), uint32_t(kPrefix.size()));
        if (custom) {
            SetCustCmdPrefix(kCustomPrefix.c_str());
        }
        m_ReadHandlers[kAnswerCode] = static_cast<ReadHandler>(&FuzzEngine::ReadAnswer);
        m_ReadHandlers[kEventLong] = static_cast<ReadHandler>(&FuzzEngine::ReadEventLong);
        m_ReadHandlers[kEventEmpty] = static_cast<ReadHandler>(&FuzzEngine::ReadEventEmpty);
        m_EventHandlers[kEventLong] = static_cast<EventHandler>(&FuzzEngine::OnEventLong);
        m_EventHandlers[kEventEmpty] = static_cast<EventHandler>(&FuzzEngine::OnEventEmpty);
    }

    ~FuzzEngine() override {
        // Readers and hooks of this class run on the engine's threads: stop them first.
        CloseConnect();
        JoinThread(m_pCloseThread);
        JoinThread(m_pDispatcherThread);
    }

    uint8_t AwaitedCode() const { return m_AnsCode.load(); }

protected:
    int OnCustCmdPrefix() override {
        std::string skipped;
        const int got = ReadExactly(m_Socket, skipped, kCustomSize);
        if (got > 0) {
            ++m_seen.customFrames;
        }
        return got;
    }

    void OnEventHandled(uint8_t code, int result) override {
        std::lock_guard<std::mutex> lock(m_seen.handledLock);
        m_seen.handledResults.emplace_back(code, result);
    }

private:
    int ReadAnswer(std::string& /*payload*/) {
        // The answer reader must only ever run for a request that waits for it.
        FUZZ_CHECK(m_seen.requestWaiting.load());
        FUZZ_CHECK(m_AnsCode.load() == kAnswerCode);
        ++m_seen.answerReads;
        return ReadExactly(m_Socket, m_seen.answer, kAnswerSize);
    }
    int ReadEventLong(std::string& payload) {
        FUZZ_CHECK(m_AnsCode.load() != kEventLong);
        const int got = ReadExactly(m_Socket, payload, kEventLongSize);
        if (got > 0) {
            m_seen.eventsRead.emplace_back(kEventLong, payload);
        }
        return got;
    }
    int ReadEventEmpty(std::string& payload) {
        payload.clear();
        m_seen.eventsRead.emplace_back(kEventEmpty, payload);
        return 1;
    }
    int OnEventLong(const char* payload) {
        std::lock_guard<std::mutex> lock(m_seen.handledLock);
        m_seen.eventsHandled.emplace_back(kEventLong, std::string(payload, kEventLongSize));
        return 7;
    }
    int OnEventEmpty(const char* payload) {
        FUZZ_CHECK(payload[0] == '\0');
        std::lock_guard<std::mutex> lock(m_seen.handledLock);
        m_seen.eventsHandled.emplace_back(kEventEmpty, std::string());
        return 8;
    }

    Observed& m_seen;
};

size_t CountTasks() {
    size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(dir)) {
            n += e->d_name[0] != '.';
        }
        ::closedir(dir);
    }
    return n;
}

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size - 1 > kMaxStream) {
        return 0;
    }
    const bool requestOutstanding = (data[0] & 1) != 0;
    const bool custom = (data[0] & 2) != 0;
    const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Prediction want = Predict(stream, requestOutstanding, custom);
    // Some runtimes (ThreadSanitizer) add a helper thread of their own with the first
    // thread created; let that happen before the first count.
    static const bool warmedUp = (std::thread([] {}).join(), true);
    (void)warmedUp;
    const size_t tasksBefore = CountTasks();

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    int bufferSize = 256 * 1024;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof(bufferSize));
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize));
    const int engineFd = fds[0];

    Observed seen;
    std::atomic<int> requestResult{1};
    {
        FuzzEngine engine(custom, seen);
        FUZZ_CHECK(engine.InitSocket(engineFd, 0) == 0);

        std::thread requester;
        if (requestOutstanding) {
            seen.requestWaiting = true;
            requester = std::thread([&] {
                requestResult = engine.RequestCommand(kRequestCode, kAnswerCode, "FuzzRequest",
                                                      std::string(4, '\x01'), true, 5);
                seen.requestWaiting = false;
            });
            // The stream may only arrive once the request is on its way.
            const auto deadline = std::chrono::steady_clock::now() + kTeardownBound;
            while (engine.AwaitedCode() != kAnswerCode && requestResult == 1) {
                FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
                std::this_thread::yield();
            }
        }

        size_t written = 0;
        while (written < stream.size()) {
            const ssize_t n =
                ::send(fds[1], stream.data() + written, stream.size() - written, MSG_NOSIGNAL);
            FUZZ_CHECK(n > 0);
            written += size_t(n);
        }
        ::shutdown(fds[1], SHUT_WR);

        // The receive thread meets the end of the stream and has the connection closed.
        const auto deadline = std::chrono::steady_clock::now() + kTeardownBound;
        while (engine.IsConnected()) {
            FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (requester.joinable()) {
            requester.join();
        }
        if (!requestOutstanding) {
            FUZZ_CHECK(engine.GetErrorCode() < 0); // the end of the stream was recorded
        }
    } // destroying the engine joins the dispatch and close threads

    FUZZ_CHECK(seen.eventsRead == want.events);
    FUZZ_CHECK(seen.customFrames == want.customFrames);
    FUZZ_CHECK(seen.answerReads == (want.answerStarted ? 1 : 0));
    if (want.answerRead) {
        FUZZ_CHECK(seen.answer == want.answer);
    }
    if (requestOutstanding) {
        // Success only with the answer read; without it the request must fail.
        FUZZ_CHECK(requestResult <= 0);
        FUZZ_CHECK(requestResult < 0 || want.answerRead);
    }
    // Handled in the order read; events still queued at the stop may be dropped.
    FUZZ_CHECK(seen.eventsHandled.size() <= seen.eventsRead.size());
    FUZZ_CHECK(seen.handledResults.size() == seen.eventsHandled.size());
    for (size_t i = 0; i < seen.eventsHandled.size(); ++i) {
        FUZZ_CHECK(seen.eventsHandled[i] == seen.eventsRead[i]);
        FUZZ_CHECK(seen.handledResults[i].first == seen.eventsHandled[i].first);
        FUZZ_CHECK(seen.handledResults[i].second ==
                   (seen.eventsHandled[i].first == kEventLong ? 7 : 8));
    }

    FUZZ_CHECK(!IsOpen(engineFd));
    ::close(fds[1]);
    // A joined thread can stay listed for a moment after its join returned; a thread that
    // was never joined stays for good.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (CountTasks() > tasksBefore) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return 0;
}
