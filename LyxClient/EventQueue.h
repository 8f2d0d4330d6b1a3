// EventQueue: events the receive thread has read and the dispatch thread has not yet
// handled, in arrival order, with the condition the dispatch thread waits on.
//
// Bounded (a departure from an unlimited queue): at most kMaxEvents records and kMaxBytes
// of payload (plus a record's own size each). A peer that sends events faster than the
// handlers take them cannot grow memory without limit. When the queue is full a new event
// is dropped (Push returns false and the receive thread logs it) rather than the socket
// left unread: the receive thread is the single reader of the socket, so stopping it
// would also hold back the answer that a request, perhaps one made by a handler, is
// waiting for.
//
// Owns the records, m_Lock (guards everything below it) and m_Arrived (paired with m_Lock,
// so a push cannot fall between a consumer's emptiness test and its wait).
#pragma once

#include "ThreadSafety.h"

#include <boost/thread/condition_variable.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace lyx {

struct EventRecord {
    uint8_t code;
    std::string payload;
};

class EventQueue {
public:
    static constexpr size_t kMaxEvents = 1024;
    static constexpr size_t kMaxBytes = size_t(1) << 20;

    EventQueue() = default;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // Appends at the back and wakes the consumer. False when the queue is full: the event
    // is dropped and counted.
    bool Push(uint8_t code, std::string&& payload) LYX_EXCLUDES(m_Lock);

    enum class Take { kEvent, kEmpty, kStop };
    // The consumer's step, all in one hold of the lock: when keepRunning() is false the
    // consumer ends (the queue is emptied and ConsumerEnded is set) and kStop comes back;
    // otherwise the front record is moved into `out` (kEvent), or, with none, the call
    // waits at most ms for a push and returns kEmpty.
    Take TakeOrWait(EventRecord& out, uint32_t ms, const std::function<bool()>& keepRunning)
        LYX_EXCLUDES(m_Lock);

    // For a new consumer: empties the queue and returns whether the previous consumer has
    // ended (true also when there never was one), then counts the new one as running.
    bool AttachConsumer() LYX_EXCLUDES(m_Lock);

    // Wakes a waiting consumer, so that it tests keepRunning() again now.
    void Wake() LYX_EXCLUDES(m_Lock);

    size_t Size() LYX_EXCLUDES(m_Lock);
    size_t Bytes() LYX_EXCLUDES(m_Lock);
    uint64_t Dropped() LYX_EXCLUDES(m_Lock);

private:
    static size_t Cost(const std::string& payload) { return sizeof(EventRecord) + payload.size(); }
    void ClearLocked() LYX_REQUIRES(m_Lock);
    // The one timed wait on m_Arrived; the analysis cannot follow the lock into Boost's
    // wait, which releases and retakes it.
    void WaitLocked(uint32_t ms) LYX_REQUIRES(m_Lock) LYX_NO_THREAD_SAFETY_ANALYSIS;

    RecursiveMutex m_Lock;
    boost::condition_variable_any m_Arrived;
    std::deque<EventRecord> m_Records LYX_GUARDED_BY(m_Lock);
    size_t m_nBytes LYX_GUARDED_BY(m_Lock) = 0;
    uint64_t m_nDropped LYX_GUARDED_BY(m_Lock) = 0;
    // Set in the same hold in which the consumer decides to end, so that a thread that
    // starts the engine anew knows for certain whether a consumer still runs.
    bool m_bConsumerEnded LYX_GUARDED_BY(m_Lock) = true;
};

} // namespace lyx
