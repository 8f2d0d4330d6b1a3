#include "StressPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const std::string kPrefix = "RecvIPC";
constexpr size_t kRequestPayload = 4;
constexpr int kReadBoundMs = 10000; // a client that sends nothing for this long is gone
constexpr auto kFloodBound = std::chrono::seconds(3);

std::string Be32(uint32_t v) {
    std::string s(4, '\0');
    s[0] = char(v >> 24);
    s[1] = char(v >> 16);
    s[2] = char(v >> 8);
    s[3] = char(v);
    return s;
}

std::string AnswerFrame(uint8_t requestCode, uint32_t seq) {
    return kPrefix + char(requestCode + 1) + Be32(seq);
}

} // namespace

StressPeer::StressPeer() : m_listenFd(-1), m_port(0) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listenFd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(m_listenFd, 4) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(m_listenFd);
        throw std::runtime_error("cannot listen on a loopback port");
    }
    m_port = ntohs(addr.sin_port);
}

StressPeer::~StressPeer() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    ::close(m_listenFd);
}

void StressPeer::Play(std::vector<Step> steps, bool clientMayLeave) {
    m_eventsSent = 0;
    m_thread = std::thread(&StressPeer::Run, this, std::move(steps), clientMayLeave);
}

std::vector<std::string> StressPeer::Finish() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> problems;
    problems.swap(m_problems);
    return problems;
}

void StressPeer::Problem(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_problems.push_back(text);
}

void StressPeer::Run(std::vector<Step> steps, bool clientMayLeave) {
    pollfd pfd{m_listenFd, POLLIN, 0};
    if (::poll(&pfd, 1, kReadBoundMs) != 1) {
        Problem("the client did not connect");
        return;
    }
    const int fd = ::accept(m_listenFd, nullptr, nullptr);
    if (fd < 0) {
        Problem("accept failed");
        return;
    }
    // Writes to a client that stopped reading give up quickly instead of blocking.
    timeval tv{0, 100 * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));

    bool lateDue = false;
    Step late;
    bool closed = false;
    for (const Step& step : steps) {
        uint8_t code = 0;
        uint32_t seq = 0;
        if (!ReadRequest(fd, code, seq)) {
            if (!clientMayLeave) {
                Problem("request " + std::to_string(step.seq) + " never arrived");
            }
            closed = true;
            break;
        }
        if (code != step.requestCode || seq != step.seq) {
            Problem("request " + std::to_string(step.seq) + " arrived as code " +
                    std::to_string(code) + " seq " + std::to_string(seq));
        }
        std::mt19937 rng(step.seed);
        if (lateDue) {
            // The client has given up on the earlier request and sent this one, which
            // waits for another code: the late answer must not be taken for it.
            const std::string before = Noise(rng);
            SendAll(fd, before + AnswerFrame(late.requestCode, late.seq), rng, false);
            lateDue = false;
        }
        const std::string answer = AnswerFrame(step.requestCode, step.seq);
        switch (step.action) {
        case Action::Answer: {
            // Built in order: events are numbered as they are made.
            std::string bytes = Noise(rng);
            bytes += answer;
            bytes += Noise(rng);
            SendAll(fd, bytes, rng, rng() % 2 == 0);
            break;
        }
        case Action::Silent:
            break;
        case Action::JunkOnly:
            SendAll(fd, Junk(rng, 1 + rng() % 200), rng, true);
            break;
        case Action::Late:
            late = step;
            lateDue = true;
            break;
        case Action::CloseMid: {
            const std::string before = Noise(rng);
            SendAll(fd, before + answer.substr(0, 1 + rng() % (answer.size() - 1)), rng, true);
            closed = true;
            break;
        }
        case Action::CloseNow:
            closed = true;
            break;
        }
        if (closed) {
            break;
        }
    }

    if (!closed) {
        // The client goes away while this is still arriving.
        std::mt19937 rng(steps.empty() ? 1 : steps.back().seed + 1);
        const auto end = std::chrono::steady_clock::now() + kFloodBound;
        while (std::chrono::steady_clock::now() < end) {
            std::string bytes = Noise(rng);
            bytes += EventFrame();
            if (!SendAll(fd, bytes, rng, false)) {
                break;
            }
        }
    }
    ::close(fd);
}

bool StressPeer::ReadRequest(int fd, uint8_t& code, uint32_t& seq) {
    std::string frame;
    const size_t want = kPrefix.size() + 1 + kRequestPayload;
    while (frame.size() < want) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, kReadBoundMs) != 1) {
            return false;
        }
        char buf[64];
        const ssize_t n = ::recv(fd, buf, want - frame.size(), 0);
        if (n <= 0) {
            return false;
        }
        frame.append(buf, size_t(n));
    }
    if (frame.compare(0, kPrefix.size(), kPrefix) != 0) {
        Problem("request without the prefix");
    }
    code = uint8_t(frame[kPrefix.size()]);
    const auto* p = reinterpret_cast<const uint8_t*>(frame.data()) + kPrefix.size() + 1;
    seq = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    return true;
}

bool StressPeer::SendAll(int fd, const std::string& bytes, std::mt19937& rng, bool chunked) {
    size_t done = 0;
    while (done < bytes.size()) {
        size_t n = bytes.size() - done;
        if (chunked) {
            n = std::min<size_t>(n, 1 + rng() % 16);
        }
        const ssize_t sent = ::send(fd, bytes.data() + done, n, MSG_NOSIGNAL);
        if (sent <= 0) {
            return false;
        }
        done += size_t(sent);
        if (chunked && rng() % 4 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        }
    }
    return true;
}

// Random bytes without 'R', so that they can never begin a prefix.
std::string StressPeer::Junk(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) {
        do {
            c = char(rng() & 0xFF);
        } while (c == 'R');
    }
    return s;
}

std::string StressPeer::EventFrame() {
    const uint32_t n = ++m_eventsSent;
    return kPrefix + char(kEventCode) + Be32(n).substr(1);
}

// What may come before or after an answer: junk, pieces of the prefix that break off,
// frames nobody asked for (their payload is junk to the client) and events.
std::string StressPeer::Noise(std::mt19937& rng) {
    std::string s;
    const int parts = int(rng() % 5);
    for (int i = 0; i < parts; ++i) {
        switch (rng() % 4) {
        case 0:
            s += Junk(rng, rng() % 40);
            break;
        case 1: {
            // A piece of the prefix, broken off by a byte that cannot continue it.
            const size_t k = 1 + rng() % (kPrefix.size() - 1);
            std::string next;
            do {
                next = Junk(rng, 1);
            } while (next[0] == kPrefix[k]);
            s += kPrefix.substr(0, k) + next;
            break;
        }
        case 2:
            s += kPrefix + char(0x40 + rng() % 16) + Junk(rng, rng() % 12);
            break;
        default:
            s += EventFrame();
            break;
        }
    }
    return s;
}
