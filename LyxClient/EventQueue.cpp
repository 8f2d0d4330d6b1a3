#include "EventQueue.h"

#include <boost/thread/locks.hpp>
#include <utility>

namespace lyx {

bool EventQueue::Push(uint8_t code, std::string&& payload) {
    {
        RecursiveGuard lock(m_Lock);
        const size_t cost = Cost(payload);
        if (m_Records.size() >= kMaxEvents || m_nBytes + cost > kMaxBytes) {
            ++m_nDropped;
            return false;
        }
        m_nBytes += cost;
        m_Records.push_back(EventRecord{code, std::move(payload)});
        m_Arrived.notify_all();
    }
    return true;
}

EventQueue::Take EventQueue::TakeOrWait(EventRecord& out, uint32_t ms,
                                        const std::function<bool()>& keepRunning) {
    RecursiveGuard lock(m_Lock);
    if (!keepRunning()) {
        m_bConsumerEnded = true;
        ClearLocked();
        return Take::kStop;
    }
    if (m_Records.empty()) {
        WaitLocked(ms);
        return Take::kEmpty;
    }
    out.code = m_Records.front().code;
    out.payload.swap(m_Records.front().payload);
    m_nBytes -= Cost(out.payload);
    m_Records.pop_front();
    return Take::kEvent;
}

bool EventQueue::AttachConsumer() {
    RecursiveGuard lock(m_Lock);
    ClearLocked();
    const bool ended = m_bConsumerEnded;
    m_bConsumerEnded = false;
    return ended;
}

void EventQueue::Wake() {
    RecursiveGuard lock(m_Lock);
    m_Arrived.notify_all();
}

size_t EventQueue::Size() {
    RecursiveGuard lock(m_Lock);
    return m_Records.size();
}

size_t EventQueue::Bytes() {
    RecursiveGuard lock(m_Lock);
    return m_nBytes;
}

uint64_t EventQueue::Dropped() {
    RecursiveGuard lock(m_Lock);
    return m_nDropped;
}

void EventQueue::ClearLocked() {
    m_Records.clear();
    m_nBytes = 0;
}

void EventQueue::WaitLocked(uint32_t ms) {
    // m_Lock is held exactly once here (the public calls take it once), so the wait
    // releases it entirely while it sleeps.
    boost::unique_lock<boost::recursive_mutex> native(m_Lock.Native(), boost::adopt_lock);
    m_Arrived.timed_wait(native, boost::posix_time::milliseconds(ms));
    native.release();
}

} // namespace lyx
