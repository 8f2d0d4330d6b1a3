// ProtocolBase: the sending side. Every outgoing frame is assembled in m_SendBuffer
// behind the prefix and sent whole under m_RequestLock, so frames of different threads
// never interleave. RequestCommand then waits, in slices, for the receive thread to read
// the answer and clear m_AnsCode.
#include "ProtocolBase.h"

#include "DebugLog.h"

#include <algorithm>
#include <boost/thread/locks.hpp>
#include <cstdio>
#include <cstring>

using lyx::Deadline;
using lyx::RecursiveGuard;
using lyx::RecursiveMutex;

int ProtocolBase::SendFrame(int code, const char* body, size_t length, int flags,
                            const Deadline& until) {
    const size_t p = m_nSendPrefixSize;
    const size_t codeSize = code >= 0 ? 1 : 0;
    m_SendBuffer.resize(p + codeSize + length);
    if (codeSize != 0) {
        m_SendBuffer[p] = static_cast<char>(code);
    }
    if (length > 0 && body != nullptr) {
        memcpy(&m_SendBuffer[p + codeSize], body, length);
    }
    return m_Socket.Send(m_SendBuffer.data(), static_cast<uint32_t>(m_SendBuffer.size()), flags,
                         until);
}

int ProtocolBase::RequestCommand(uint8_t req, uint8_t ans, const char* name,
                                 const std::string& payload, bool peek, int timeoutSec) {
    if (name == nullptr) {
        name = "";
    }
    LYX_DLOG_WRITE(GetLogger(), DL_INFO,
                   "==> RequestCommand Req:0x%02X Ans:0x%02X %s size:%d peek:%d timeout:%d pend:%d "
                   "sock:%d",
                   req, ans, name, static_cast<int>(payload.size()), static_cast<int>(peek),
                   timeoutSec, static_cast<int>(m_bPending.load()), m_Socket.GetFd());
    // Departure from timing the wait from after the send: the deadline starts here and
    // bounds the send and the answer's reads too, so a command ends at its time-out
    // whatever the peer does.
    const Deadline deadline = Deadline::AfterSeconds(timeoutSec);
    // With no time to wait the frame is only sent: the send keeps its own budget, and an
    // answer that is read before the request gives up is read without a limit.
    const Deadline limit = timeoutSec > 0 ? deadline : Deadline::Never();
    {
        RecursiveGuard lock(m_RequestLock);
        if (m_bPending.load()) {
            LYX_SET_ERROR(ORR_ERR_REENTRY, "ProtocolBase::RequestCommand", "");
            return ORR_ERR_REENTRY;
        }
        // Set before the frame leaves, so an answer that comes back at once is recognised.
        m_AnsCode.store(ans);
        m_nAnsDeadlineNs = limit.Ns();
        SendFrame(req, payload.data(), payload.size(), 0, limit);
    }

    while (!deadline.Expired()) {
        if (!m_bRunning.load()) {
            // The receive thread clears m_AnsCode before it ends, so an answer read just
            // before the close is seen here: that request has succeeded. Otherwise the
            // request is over, and its answer code must not make a frame of a later
            // connection an answer that nobody waits for.
            bool answered;
            {
                RecursiveGuard lock(m_RequestLock);
                answered = m_AnsCode.load() == 0;
                if (m_AnsCode.load() == ans) {
                    m_AnsCode.store(0);
                }
            }
            if (answered) {
                break;
            }
            const int code = m_nReceiveFailure.load();
            if (code < 0) {
                return code; // recorded where the receive failed
            }
            LYX_SET_ERROR(ORR_ERR_NO_RESPONSE, "Cancel", "?");
            return ORR_ERR_NO_RESPONSE;
        }
        m_bPending.store(true);
        WaitIdle(peek);
        m_bPending.store(false);
        if (m_AnsCode.load() == 0) {
            break;
        }
        TimedWait(m_AnswerArrived, m_AnswerWaitLock, std::min(kPollSliceMs, deadline.RemainingMs()),
                  &ProtocolBase::AnswerWaitDone);
    }

    {
        // An answer's reader holds this lock while it reads; its reads end by the same
        // deadline, so this waits at most one retry pause past it.
        RecursiveGuard lock(m_RequestLock);
        if (m_AnsCode.load() == 0) {
            LYX_SET_ERROR(0, "", "");
            return 0;
        }
        m_AnsCode.store(0); // a later frame with that code is no longer an answer
    }
    if (timeoutSec != 0) {
        char text[16];
        snprintf(text, sizeof(text), "%d", timeoutSec);
        LYX_SET_ERROR(ORR_ERR_NO_RESPONSE, name, text);
        return ORR_ERR_NO_RESPONSE;
    }
    LYX_DLOG_WRITE(GetLogger(), DL_NOTICE,
                   "%s command will not wait for response due to timeout is set to 0 second.",
                   name);
    LYX_SET_ERROR(0, "", "");
    return 0;
}

int ProtocolBase::AckCommand(uint8_t ack, const char* name, const std::string& payload) {
    RecursiveGuard lock(m_RequestLock);
    LYX_DLOG_WRITE(GetLogger(), DL_INFO, "==> AckCommand Ack:0x%02X %s size:%d sock:%d", ack,
                   name != nullptr ? name : "", static_cast<int>(payload.size()), m_Socket.GetFd());
    return SendFrame(ack, payload.data(), payload.size(), 0, Deadline::Never());
}

int ProtocolBase::SendCommandData(const char* data, uint32_t length, int flags, bool log) {
    RecursiveGuard lock(m_RequestLock);
    if (log) {
        LYX_DLOG_WRITE(GetLogger(), DL_INFO, "==> SendCommandData len:%d sock:%d",
                       static_cast<int>(length), m_Socket.GetFd());
    }
    // The caller's first byte takes the code's place.
    return SendFrame(-1, data, length, flags, Deadline::Never());
}

void ProtocolBase::WaitIdle(bool /*peek*/) {}

bool ProtocolBase::TimedWait(boost::condition_variable_any& cond, RecursiveMutex& lock, uint32_t ms,
                             bool (ProtocolBase::*done)()) {
    boost::unique_lock<boost::recursive_mutex> guard(lock.Native());
    if (done != nullptr && (this->*done)()) {
        return true;
    }
    // A duration, which the thread library waits out on the monotonic clock, rather than
    // a wall-clock deadline: a clock step would stretch or cut the slice.
    return cond.timed_wait(guard, boost::posix_time::milliseconds(ms));
}

bool ProtocolBase::AnswerWaitDone() {
    return m_AnsCode.load() == 0 || !m_bRunning.load();
}
