// StressPeer: a misbehaving service for the engine stress test. It listens on a free
// loopback port and, for each connection, plays a script that the test made from a seed:
// per request it answers (with junk, stray prefix pieces, unsolicited frames and events
// around the answer, possibly in small pieces), stays silent, sends only junk, answers
// too late, or closes the connection part-way. After the script it floods the connection
// with junk and events until the client goes away. The client may also leave early.
//
// Owns: the listening socket, the connection socket of the round being played and the
// thread that plays it (joined by Finish and by the destructor). Problems it sees in what
// the client sent are collected under m_lock and read by the test after Finish.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

class StressPeer {
public:
    static constexpr uint8_t kEventCode = 0x30; // event with 3 payload bytes
    static constexpr size_t kEventSize = 3;

    enum class Action {
        Answer,   // answer at once, with noise around it
        Silent,   // never answer
        JunkOnly, // send junk that holds no prefix, never answer
        Late,     // answer only once the next request has arrived
        CloseMid, // send part of the answer, then close
        CloseNow, // close as soon as the request is in
    };

    struct Step {
        Action action = Action::Answer;
        uint8_t requestCode = 0;
        uint32_t seq = 0;
        uint32_t seed = 0; // drives the noise of this step
    };

    StressPeer();
    ~StressPeer();
    StressPeer(const StressPeer&) = delete;
    StressPeer& operator=(const StressPeer&) = delete;

    uint16_t Port() const { return m_port; }

    // Accepts one connection on a thread of its own and plays steps on it. With
    // clientMayLeave the client may close before it has sent every request.
    void Play(std::vector<Step> steps, bool clientMayLeave);
    // Waits for the round's thread; returns the problems found in this round.
    std::vector<std::string> Finish();
    // Events (by sequence number) that were sent in the round played last.
    uint32_t EventsSent() const { return m_eventsSent.load(); }

private:
    void Run(std::vector<Step> steps, bool clientMayLeave);
    // Reads one request frame (prefix, code, 4-byte sequence number); false when the
    // client went away or sent nothing within the bound.
    bool ReadRequest(int fd, uint8_t& code, uint32_t& seq);
    bool SendAll(int fd, const std::string& bytes, std::mt19937& rng, bool chunked);
    std::string Noise(std::mt19937& rng);
    std::string Junk(std::mt19937& rng, size_t n);
    std::string EventFrame();
    void Problem(const std::string& text);

    int m_listenFd;
    uint16_t m_port;
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_problems;
    std::atomic<uint32_t> m_eventsSent{0};
};
