// ProtocolBase: the engine's threads. StartThreads starts the receive thread (the single
// reader of the socket, which cuts the stream into frames and runs payload readers) and
// the dispatch thread (which runs event handlers one at a time); a receive thread that
// ends by itself hands the tear-down to a short-lived close thread.
//
// Stopping is immediate: CloseConnect clears m_bRunning, wakes the answer wait and the
// event queue, and shuts the socket down before it joins the receive thread. A read
// that fails because of that shutdown is seen with m_bRunning already false and records
// nothing, exactly like an ordinary stop.
#include "ProtocolBase.h"

#include "DebugLog.h"
#include "EngineThread.h"
#include "FrameScanner.h"

#include <boost/bind/bind.hpp>
#include <cerrno>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>

using lyx::CurrentTid;
using lyx::Deadline;
using lyx::EventQueue;
using lyx::EventRecord;
using lyx::FrameScanner;
using lyx::MutexGuard;
using lyx::NewEngineThread;
using lyx::RecursiveGuard;
using lyx::SetRealtimePriority;
using lyx::SocketStream;

namespace {

// Sleeps ms, ending early when fd becomes readable: the idle pause of the receive loop,
// so that data arriving during it is read at once.
void IdleSleep(int fd, uint32_t ms) {
    if (SocketStream::WaitReadable(fd, ms) < 0) {
        usleep(ms * 1000);
    }
}

} // namespace

int ProtocolBase::StartThreads(int noDispatcher) {
    // An event handler or a payload reader that connects anew runs on the very thread
    // this would replace, and a thread cannot join itself: that thread goes on serving
    // the new connection instead of running beside a second one. So does a dispatch thread
    // that has not yet ended; one that has is joined below. Nothing that may still wait for
    // m_ConnectLock is joined here: the old receive thread was joined before the connect.
    const bool onReceiver = m_pThreadGroup && m_pThreadGroup->is_this_thread_in();
    m_bDispatchWanted.store(noDispatcher == 0);
    m_nReceiveFailure.store(0);
    m_bRunning.store(true);
    const uint32_t gen = m_nConnGen.load() + 1;
    m_nConnGen.store(gen);
    if (s_pCloseThreadOwner == this) {
        s_nCloseThreadGen = gen; // a close thread that reconnects owns the new connection
    }
    try {
        if (!m_pThreadGroup) {
            m_pThreadGroup.reset(new boost::thread_group);
        }
    } catch (const std::exception&) {
        return FailStartLocked("m_pThreadGroup");
    }
    // Code 0 is recorded once, before the receive thread exists: recorded after, it could
    // overwrite the error of a receive thread that fails at once (a refused socket), and a
    // waiting request would then report a cancel instead of that error.
    LYX_SET_ERROR(0, "", "");
    // Empties the queue; says whether a dispatch thread left running (see above) has
    // already decided to end, so that one is started in its place.
    const bool dispatcherEnded = noDispatcher == 0 && m_EventQueue.AttachConsumer();
    // The receive thread is started first: the first request needs it, and nothing else
    // depends on the order (the queue is emptied before either thread exists).
    try {
        if (!onReceiver) {
            std::unique_ptr<boost::thread> thread(
                NewEngineThread(boost::bind(&ProtocolBase::NetworkThread, this)));
            m_pThreadGroup->add_thread(thread.get());
            thread.release(); // owned by the group now
        }
    } catch (const std::exception&) {
        return FailStartLocked("m_pThreadGroup");
    }
    // A handler whose dispatch thread is being joined (EndConnection) starts none: that
    // thread ends after it, and a second one would run beside it meanwhile.
    const bool retiredDispatcher =
        s_pDispatcherOwner == this &&
        !(m_pDispatcherThread && m_pDispatcherThread->get_id() == boost::this_thread::get_id());
    if (noDispatcher == 0 && !retiredDispatcher && (!m_pDispatcherThread || dispatcherEnded)) {
        JoinThread(m_pDispatcherThread); // one that has ended holds no lock
        try {
            m_pDispatcherThread.reset(
                NewEngineThread(boost::bind(&ProtocolBase::DispatcherThread, this)));
        } catch (const std::exception&) {
            return FailStartLocked("m_pDispatcherThread");
        }
    }
    return 0;
}

int ProtocolBase::FailStartLocked(const char* what) {
    // The connection is stopped but not joined here, under the lock: the next CloseConnect
    // (every connect and the destructor make one) joins its thread and closes the socket.
    RaiseStop();
    m_Socket.Shutdown();
    LYX_SET_ERROR(ORR_ERR_CREATE_OBJECT, what, "");
    return ORR_ERR_CREATE_OBJECT;
}

// ---------------------------------------------------------------------------------------
// Receive thread

void ProtocolBase::NetworkThread() {
    s_pEngineThreadOwner = this;
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "NetworkThread begin sock:%d", m_Socket.GetFd());
    const int tid = CurrentTid();
    LYX_DLOG_WRITE(GetLogger(), DL_INFO, "NetworkThread id: %d", tid);
    if (!SetRealtimePriority(tid)) {
        LYX_DLOG_WRITE(GetLogger(), DL_WARN, "NetworkThread sched_setscheduler() fail!");
    }

    std::string window;
    {
        RecursiveGuard lock(m_PrefixLock);
        window.assign(m_CmdPrefix.size(), '\0');
    }

    while (m_bRunning.load()) {
        if (!IsPeerAlive()) {
            LYX_DLOG_WRITE(GetLogger(), DL_NOTICE, "Peer is treated as dead. Kick it out. sock:%d",
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
        if (ReceiveFrame(window) == kExitThread) {
            break;
        }
    }

    const int fd = m_Socket.GetFd();
    if (fd != -1) {
        if (m_bRunning.load()) {
            StartCloseThread(); // ended by itself: failure or dead peer
        }
        m_bRunning.store(false);
        WakeWaiters();
    }
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "NetworkThread end sock:%d", fd);
}

ProtocolBase::FrameResult ProtocolBase::ReceiveFrame(std::string& window) {
    RecursiveGuard prefixLock(m_PrefixLock);
    const FrameScanner scanner(m_CmdPrefix, m_CustCmdPrefix, window.size());
    const int fd = m_Socket.GetFd();
    const uint32_t windowSize = static_cast<uint32_t>(window.size());

    FrameScanner::Step step = FrameScanner::Step::kFrame;
    while (scanner.HasPrefix()) {
        if (!m_bRunning.load()) {
            return kExitThread;
        }
        const int got = ReadOrRecord(&window[0], windowSize, MSG_PEEK, __LINE__);
        if (got == 0) {
            return kExitThread;
        }
        step = scanner.Scan(window.data(), static_cast<size_t>(got));
        if (step == FrameScanner::Step::kNeedMore) {
            LYX_DLOG_WRITE(GetLogger(), DL_DEBUG,
                           "NetworkThread no enough data to match prefix %d sock:%d", got, fd);
            IdleSleep(fd, kPollSliceMs);
            return kNextPass;
        }
        if (step != FrameScanner::Step::kSkipByte) {
            if (ReadOrRecord(&window[0], windowSize, 0, __LINE__) == 0) {
                return kExitThread;
            }
            break;
        }
        LYX_DLOG_WRITE(GetLogger(), DL_NOTICE, "NetworkThread unknown prefix data 0x%02X sock:%d",
                       static_cast<unsigned char>(window[0]), fd);
        char skipped;
        if (ReadOrRecord(&skipped, 1, 0, __LINE__) == 0) {
            return kExitThread;
        }
    }

    OnFrameBegin();

    if (step == FrameScanner::Step::kCustomFrame) {
        errno = 0; // see HookFailure
        const int result = OnCustCmdPrefix();
        if (result == 0 || result == -1) {
            RecordReceiveFailure(HookFailure(), __LINE__);
            return kExitThread;
        }
        return kNextPass;
    }

    unsigned char code = 0;
    if (ReadOrRecord(reinterpret_cast<char*>(&code), 1, 0, __LINE__) == 0) {
        return kExitThread;
    }
    return HandleCode(code);
}

ProtocolBase::FrameResult ProtocolBase::HandleCode(uint8_t code) {
    const int fd = m_Socket.GetFd();
    std::string payload;
    RecursiveGuard requestLock(m_RequestLock);
    const bool handled = m_EventHandlers[code] != &ProtocolBase::OnUnknownCommand;
    const uint8_t awaited = m_AnsCode.load();
    switch (FrameScanner::Classify(code, awaited, handled)) {
    case FrameScanner::Kind::kAnswer: {
        LYX_DLOG_WRITE(GetLogger(), DL_INFO, "<== NetworkThread got response 0x%02X sock:%d", code,
                       fd);
        // The reader's reads end by the request's deadline, so a slow answer cannot keep
        // the request (which needs this lock to finish) waiting past its time-out. A frame
        // with code 0 while no request waits has no deadline.
        m_Socket.LimitReads(awaited != 0 ? Deadline::FromNs(m_nAnsDeadlineNs) : Deadline::Never());
        const bool read = RunReader(code, payload, __LINE__);
        m_Socket.ClearReadLimit();
        if (!read) {
            return kExitThread; // m_AnsCode keeps its value; the request ends by itself
        }
        m_AnsCode.store(0);
        requestLock.Unlock();
        RecursiveGuard waitLock(m_AnswerWaitLock);
        m_AnswerArrived.notify_all();
        break;
    }
    case FrameScanner::Kind::kExceptional:
        // Only prefix and code are consumed: a payload goes through the prefix search.
        requestLock.Unlock();
        LYX_DLOG_WRITE(GetLogger(), DL_NOTICE,
                       "<== NetworkThread got exceptional event 0x%02X sock:%d", code, fd);
        break;
    case FrameScanner::Kind::kEvent:
        // The request lock is not held while an event's payload is read, so a slow event
        // never holds up RequestCommand.
        requestLock.Unlock();
        if (!RunReader(code, payload, __LINE__)) {
            return kExitThread;
        }
        LYX_DLOG_WRITE(GetLogger(), DL_INFO, "<== NetworkThread got event 0x%02X, len=%d sock:%d",
                       code, static_cast<int>(payload.size()), fd);
        if (!m_EventQueue.Push(code, std::move(payload))) {
            LYX_DLOG_WRITE(GetLogger(), DL_WARN,
                           "NetworkThread event queue full, event 0x%02X dropped sock:%d", code,
                           fd);
        }
        break;
    }
    return kNextPass;
}

int ProtocolBase::ReadOrRecord(char* buffer, uint32_t length, int flags, int line) {
    const int got = m_Socket.Recv(buffer, length, flags);
    if (got == -1 || got == 0) {
        RecordReceiveFailure(m_Socket.LastReadFailure(), line);
        return 0;
    }
    return got;
}

bool ProtocolBase::RunReader(uint8_t code, std::string& payload, int line) {
    errno = 0; // a reader that fails leaving no errno reports a graceful close
    const ReadHandler reader = m_ReadHandlers[code];
    const int read = (this->*reader)(payload);
    if (read == 0 || read == -1) {
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
    m_nReceiveFailure.store(code);
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

// ---------------------------------------------------------------------------------------
// Close thread

void ProtocolBase::StartCloseThread() {
    boost::thread* previous;
    {
        MutexGuard lock(m_CloseThreadLock);
        previous = m_pCloseThread.release();
    }
    try {
        std::unique_ptr<boost::thread> thread(new boost::thread(
            boost::bind(&ProtocolBase::CloseThreadMain, this, previous, m_nConnGen.load())));
        MutexGuard lock(m_CloseThreadLock);
        m_pCloseThread = std::move(thread);
    } catch (const std::exception&) {
        // No close thread could be started; keep the previous one for the destructor.
        MutexGuard lock(m_CloseThreadLock);
        m_pCloseThread.reset(previous);
    }
}

void ProtocolBase::CloseThreadMain(boost::thread* previous, uint32_t gen) {
    s_pEngineThreadOwner = this;
    s_pCloseThreadOwner = this;
    s_nCloseThreadGen = gen;
    if (previous != nullptr) {
        previous->join();
        delete previous;
    }
    OnConnectClose();
}

void ProtocolBase::RetireCloseThread() {
    if (s_pCloseThreadOwner == this) {
        return; // a close thread never joins the close threads of its engine
    }
    std::unique_ptr<boost::thread> thread;
    {
        MutexGuard lock(m_CloseThreadLock);
        thread = std::move(m_pCloseThread);
    }
    JoinThread(thread);
}

void ProtocolBase::StopThreads() {
    ProtocolBase::CloseConnect();
    // The dispatch thread is joined without m_ConnectLock: a handler may be waiting for it.
    std::unique_ptr<boost::thread> dispatcher;
    {
        RecursiveGuard lock(m_ConnectLock);
        dispatcher = std::move(m_pDispatcherThread);
    }
    JoinThread(dispatcher);
    RetireCloseThread();
}

// ---------------------------------------------------------------------------------------
// Dispatch thread

void ProtocolBase::DispatcherThread() {
    s_pEngineThreadOwner = this;
    s_pDispatcherOwner = this;
    const uint32_t gen = m_nDispatcherGen.load();
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "DispatcherThread begin sock:%d", m_Socket.GetFd());
    const int tid = CurrentTid();
    LYX_DLOG_WRITE(GetLogger(), DL_INFO, "DispatcherThread id: %d", tid);
    if (!SetRealtimePriority(tid)) {
        LYX_DLOG_WRITE(GetLogger(), DL_WARN, "DispatcherThread sched_setscheduler() fail!");
    }

    // The queue tests whether to go on in the same hold in which it hands out a record,
    // and marks the end there, so a restart from the receive thread cannot miss it.
    const std::function<bool()> keepRunning = [this, gen] {
        return m_bRunning.load() && m_bDispatchWanted.load() && m_nDispatcherGen.load() == gen;
    };
    EventRecord record;
    for (;;) {
        const EventQueue::Take take = m_EventQueue.TakeOrWait(record, kPollSliceMs, keepRunning);
        if (take == EventQueue::Take::kStop) {
            break;
        }
        if (take == EventQueue::Take::kEmpty || !m_bRunning.load()) {
            continue; // a record taken during a stop is dropped
        }
        const EventHandler handler = m_EventHandlers[record.code];
        const int result = (this->*handler)(record.payload.c_str());
        OnEventHandled(record.code, result);
    }
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "DispatcherThread end sock:%d", m_Socket.GetFd());
}

void ProtocolBase::WakeWaiters() {
    {
        RecursiveGuard lock(m_AnswerWaitLock);
        m_AnswerArrived.notify_all();
    }
    m_EventQueue.Wake();
}
