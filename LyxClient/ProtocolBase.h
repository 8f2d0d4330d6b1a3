// ProtocolBase: client engine for a prefixed command/answer/event protocol over TCP.
//
// A frame is the command prefix, one code byte and a payload whose length the code
// decides (no length field). The engine connects to several ports at once, runs a receive
// thread (NetworkThread: the single reader of the socket, runs payload readers) and an
// optional dispatch thread (DispatcherThread: runs event handlers), and offers timed
// request/answer exchanges. Derived classes fill m_ReadHandlers/m_EventHandlers in their
// constructor and override the virtual hooks.
//
// Owns: the socket (m_Socket), the thread group with the receive thread, the dispatch
// thread, the close thread and all queued events. Every thread is joined before the
// object (or the thread object) goes away. The receive and dispatch threads run on 512 KiB
// stacks, so readers and handlers keep large buffers off the stack.
// Sources by concern: ProtocolBase.cpp (construction, settings, hooks),
// ProtocolConnect.cpp (the multi-port connect, socket set-up, CloseConnect),
// ProtocolThreads.cpp (thread start and stop, the receive and dispatch threads, the close
// thread), ProtocolRequest.cpp (requests, acknowledgements, data frames, the answer wait).
//
// Locks (all annotated: every shared member is declared beside the lock that guards it,
// and clang's -Wthread-safety checks the rules; see ThreadSafety.h):
// m_ConnectLock serialises connect, InitSocket and CloseConnect and guards the thread
// pointers and the arguments kept for ReConnect; m_RequestLock guards the send buffer and
// the awaited answer's deadline, and is held by the receive thread while an answer's
// reader runs; m_PrefixLock guards the prefixes and is held by the receive thread for one
// frame; m_AnswerWaitLock pairs with m_AnswerArrived; m_CloseThreadLock guards the close
// thread's pointer; the event queue has a lock of its own.
// Orders: m_PrefixLock -> m_RequestLock -> socket m_RecvLock (receive side, and the prefix
// setters); m_RequestLock -> socket m_SendLock (sending side); error lock -> log lock.
// No thread is joined under m_ConnectLock, so any thread (the main thread, a reader, a
// handler, the close thread) may close or connect at any time; a connect made while
// another thread still joins the old receive thread fails as still closing (-6528005).
// Flags read without a lock by other threads (m_bRunning, m_AnsCode, m_bPending,
// m_bAbortConnect, the receive failure) are atomics.
//
// Bounds: every budget is a Deadline on the monotonic clock. A request's deadline also
// bounds the send of its frame and every read its answer's reader makes, so a command
// ends at its time-out whatever the peer sends or how slowly; the event queue is capped
// (see EventQueue.h); a send on a connection that is gone ends at once.
#pragma once

#include "Deadline.h"
#include "ErrorHandler.h"
#include "EventQueue.h"
#include "SocketStream.h"
#include "ThreadSafety.h"

#include <atomic>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ProtocolBase : public OrrErrorHandler {
public:
    // Payload reader: reads exactly its code's payload from m_Socket; 0 or -1 is failure.
    typedef int (ProtocolBase::*ReadHandler)(std::string& payload);
    // Event handler: gets the payload's bytes; its result goes to OnEventHandled.
    typedef int (ProtocolBase::*EventHandler)(const char* payload);

    static constexpr uint32_t kPollSliceMs = 30;
    static constexpr int kDefaultSndRcvTimeoutSec = 30;

    ProtocolBase();

    virtual void SetCmdPrefix(const char* prefix, uint32_t length)
        LYX_EXCLUDES(m_PrefixLock, m_RequestLock);
    virtual void SetCustCmdPrefix(const char* prefix) LYX_EXCLUDES(m_PrefixLock);
    virtual void SetSndRcvTimeout(int seconds);

    virtual int OpenConnect(const char* ip, const std::vector<uint16_t>& vecPort, int noDispatcher,
                            int timeoutSec) LYX_EXCLUDES(m_ConnectLock);
    virtual int ReConnect() LYX_EXCLUDES(m_ConnectLock);
    virtual int InitSocket(int socket, int noDispatcher) LYX_EXCLUDES(m_ConnectLock);

    virtual int RequestCommand(uint8_t req, uint8_t ans, const char* name,
                               const std::string& payload, bool peek, int timeoutSec)
        LYX_EXCLUDES(m_RequestLock);
    virtual int AckCommand(uint8_t ack, const char* name, const std::string& payload)
        LYX_EXCLUDES(m_RequestLock);
    virtual int SendCommandData(const char* data, uint32_t length, int flags, bool log)
        LYX_EXCLUDES(m_RequestLock);

    virtual void CloseConnect() LYX_EXCLUDES(m_ConnectLock);
    virtual bool IsPending();
    virtual bool IsConnected();
    virtual int GetSocket();

    virtual ~ProtocolBase();

protected:
    // Hooks with default bodies, in this order after the destructor.
    virtual void OnConnectClose();
    virtual void OnEventHandled(uint8_t code, int result);
    virtual int OnCustCmdPrefix();
    virtual void OnFrameBegin();
    virtual int OnConnectHandshake(int socket);
    virtual bool IsPeerAlive();
    virtual void NetworkThread();

    // Defaults of the two handler tables.
    int ReadNothing(std::string& payload);
    int OnUnknownCommand(const char* payload);

    // Idle step of every wait pass; does nothing here.
    void WaitIdle(bool peek);
    // The engine's one timed wait: on cond (paired with lock) at most ms; true when woken
    // by a broadcast. A `done` test, when given, is made under the lock first (true: no
    // wait), so a broadcast made under the lock cannot fall between test and wait. The
    // analysis cannot follow the lock into Boost's wait, which releases and retakes it.
    bool TimedWait(boost::condition_variable_any& cond, lyx::RecursiveMutex& lock, uint32_t ms,
                   bool (ProtocolBase::*done)() = nullptr)
        LYX_EXCLUDES(lock) LYX_NO_THREAD_SAFETY_ANALYSIS;
    // Joins the thread held by `thread` (if any), deletes it and nulls the pointer.
    static void JoinThread(std::unique_ptr<boost::thread>& thread);
    // Stops the engine and joins every thread it has: CloseConnect (the receive thread),
    // then the dispatch thread and the close thread. A derived class whose readers or
    // hooks the threads run calls it in its own destructor, so that no thread outlives
    // the derived part; the engine's destructor calls it too.
    void StopThreads() LYX_EXCLUDES(m_ConnectLock, m_CloseThreadLock);

    int ConnectPorts(const char* ip, const std::vector<uint16_t>& vecPort, int noDispatcher,
                     int timeoutSec) LYX_EXCLUDES(m_ConnectLock);
    void ApplySocketOptions(int socket);
    int StartThreads(int noDispatcher) LYX_REQUIRES(m_ConnectLock);
    void DispatcherThread();

    EventHandler m_EventHandlers[256]; // written by constructors only
    ReadHandler m_ReadHandlers[256];   // written by constructors only
    lyx::RecursiveMutex m_RequestLock LYX_ACQUIRED_AFTER(m_PrefixLock);
    lyx::RecursiveMutex m_ConnectLock;
    std::unique_ptr<boost::thread_group> m_pThreadGroup LYX_GUARDED_BY(m_ConnectLock);
    // Callers of CloseConnect joining a receive thread they took out of the group pointer;
    // the socket stays open (shut down) until the last of them is done.
    int m_nJoining LYX_GUARDED_BY(m_ConnectLock) = 0;
    lyx::RecursiveMutex m_AnswerWaitLock;
    boost::condition_variable_any m_AnswerArrived;
    std::unique_ptr<boost::thread> m_pDispatcherThread LYX_GUARDED_BY(m_ConnectLock);
    lyx::Mutex m_CloseThreadLock; // never held while joining
    std::unique_ptr<boost::thread> m_pCloseThread LYX_GUARDED_BY(m_CloseThreadLock);
    lyx::RecursiveMutex m_PrefixLock;
    lyx::SocketStream m_Socket;
    std::atomic<bool> m_bRunning;
    lyx::EventQueue m_EventQueue;
    std::atomic<uint8_t> m_AnsCode; // written under m_RequestLock
    std::string m_CmdPrefix LYX_GUARDED_BY(m_PrefixLock);
    std::string m_CustCmdPrefix LYX_GUARDED_BY(m_PrefixLock);
    // Begins with a copy of m_CmdPrefix of m_nSendPrefixSize bytes (the prefix setters
    // hold both locks), so a sender needs only m_RequestLock.
    std::string m_SendBuffer LYX_GUARDED_BY(m_RequestLock);
    size_t m_nSendPrefixSize LYX_GUARDED_BY(m_RequestLock) = 0;
    std::atomic<bool> m_bPending;
    std::atomic<int> m_nSndRcvTimeout;
    std::atomic<bool> m_bAbortConnect;
    std::string m_strIP LYX_GUARDED_BY(m_ConnectLock);
    std::vector<uint16_t> m_vecPort LYX_GUARDED_BY(m_ConnectLock);
    int m_bNoDispatcher LYX_GUARDED_BY(m_ConnectLock);
    int m_nConnectTimeout LYX_GUARDED_BY(m_ConnectLock);

private:
    enum FrameResult { kNextPass, kExitThread };

    // Stops the connection: raises the stop flags and, when another thread's receive
    // thread is running, shuts the socket down and hands that thread's group to the caller
    // to join (the socket is then closed after the join); otherwise closes the socket.
    std::unique_ptr<boost::thread_group> DetachConnectionLocked() LYX_REQUIRES(m_ConnectLock);
    // True while an old connection is still held: its socket, or a receive thread that is
    // not yet joined (other than the caller itself). A connect is refused then.
    bool ClosingLocked() LYX_REQUIRES(m_ConnectLock);
    // What a connect does first: CloseConnect, then, on a thread that is none of the
    // engine's own, joins the dispatch and close threads (without m_ConnectLock).
    void EndConnection() LYX_EXCLUDES(m_ConnectLock, m_CloseThreadLock);
    // A thread could not be started: stops the connection, records the error, returns it.
    int FailStartLocked(const char* what) LYX_REQUIRES(m_ConnectLock);
    // Raises the stop flags and wakes every waiter (CloseConnect's first step).
    void RaiseStop();
    int ConnectPortsLocked(const char* ip, const std::vector<uint16_t>& vecPort, int noDispatcher,
                           int timeoutSec) LYX_REQUIRES(m_ConnectLock);

    // One frame of the receive loop, from the prefix search to the end of its payload;
    // takes m_PrefixLock for the whole frame.
    FrameResult ReceiveFrame(std::string& window) LYX_EXCLUDES(m_PrefixLock, m_RequestLock);
    // The answer or event behind a code byte that was just read.
    FrameResult HandleCode(uint8_t code) LYX_REQUIRES(m_PrefixLock) LYX_EXCLUDES(m_RequestLock);
    // One read of the receive thread: the count Recv gives, or 0 after recording the
    // failure when the read failed (peer closed, budget spent with nothing, socket error).
    int ReadOrRecord(char* buffer, uint32_t length, int flags, int line);
    // Runs the payload reader of code; on failure records it (at line) and returns false.
    bool RunReader(uint8_t code, std::string& payload, int line);
    // Records a receive failure with code unless the engine is being stopped (m_bRunning
    // already false): a stop that woke a read records nothing. The code also goes to
    // m_nReceiveFailure, where a waiting request finds it.
    void RecordReceiveFailure(int code, int line);
    // The code for a payload reader or custom-prefix hook that failed (errno cleared
    // before the call).
    int HookFailure();
    // Starts a close thread, handing it the previous one to join first, so the receive
    // thread itself never blocks on a close thread.
    void StartCloseThread() LYX_EXCLUDES(m_CloseThreadLock);
    // Body of a close thread for connection generation gen: join the previous close
    // thread, then OnConnectClose().
    void CloseThreadMain(boost::thread* previous, uint32_t gen);
    // Joins and frees the close thread unless the caller is a close thread itself.
    void RetireCloseThread() LYX_EXCLUDES(m_CloseThreadLock);
    // Broadcasts the answer condition under its wait lock (so a waiter that tested its
    // state under that lock cannot miss the wake-up) and wakes the event queue.
    void WakeWaiters() LYX_EXCLUDES(m_AnswerWaitLock);
    bool AnswerWaitDone();
    // Builds prefix, code (when code >= 0) and body in m_SendBuffer and sends it whole
    // with flags by `until` at the latest. Returns what Send returned.
    int SendFrame(int code, const char* body, size_t length, int flags, const lyx::Deadline& until)
        LYX_REQUIRES(m_RequestLock);

    // The close thread's own engine and the connection generation it was started for
    // (null and 0 on every other thread).
    static thread_local const ProtocolBase* s_pCloseThreadOwner;
    // The engine whose receive, dispatch or close thread this is (null elsewhere).
    static thread_local const ProtocolBase* s_pEngineThreadOwner;
    // The engine whose dispatch thread this is (null elsewhere).
    static thread_local const ProtocolBase* s_pDispatcherOwner;
    static thread_local uint32_t s_nCloseThreadGen;

    // Connection generation, advanced by every StartThreads (under m_ConnectLock). A close
    // thread started for an older generation finds its connection gone and does nothing,
    // so it can never tear down (or join the receive thread of) a newer connection.
    std::atomic<uint32_t> m_nConnGen{0};
    // False when the current connection was set up without a dispatch thread: a dispatch
    // thread that set it up from its own handler then ends once that handler returns.
    std::atomic<bool> m_bDispatchWanted{false};
    // Advanced when a dispatch thread is taken out to be joined (EndConnection): that thread
    // ends after its handler, even if a handler's reconnect has set the engine running again.
    std::atomic<uint32_t> m_nDispatcherGen{0};
    // The deadline of the awaited answer (monotonic ns), set with m_AnsCode.
    int64_t m_nAnsDeadlineNs LYX_GUARDED_BY(m_RequestLock) = 0;
    // Why the receive thread ended by itself (0 while it runs or after a stop): set where
    // the failure happens, read by a request that sees the connection end.
    std::atomic<int> m_nReceiveFailure{0};
};
