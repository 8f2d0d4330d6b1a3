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
// object (or the thread object) goes away.
// Sources by concern: ProtocolBase.cpp (construction, settings, hooks),
// ProtocolConnect.cpp (the multi-port connect, socket set-up, CloseConnect),
// ProtocolThreads.cpp (thread start, the receive and dispatch threads, the close thread),
// ProtocolRequest.cpp (requests, acknowledgements, data frames, the answer wait).
// Locks (all recursive): m_ConnectLock serialises connect, InitSocket and CloseConnect
// and guards the thread pointers, m_nConnGen and the arguments kept for ReConnect;
// m_RequestLock guards m_SendBuffer and m_AnsCode decisions; m_PrefixLock guards the
// prefixes and is held by the receive thread for one frame; m_QueueLock guards
// m_EventQueue; m_AnswerWaitLock/m_EventWaitLock pair with the two conditions.
// Orders: m_PrefixLock -> m_RequestLock or m_QueueLock -> socket m_RecvLock (receive side);
// m_RequestLock -> socket m_SendLock (sending side); m_EventWaitLock -> m_QueueLock;
// error lock -> log lock. CloseConnect joins the receive thread under m_ConnectLock: a
// reader or handler may close or connect only while no other thread closes the engine, or
// it waits for that lock while the other thread waits for it to end.
// Flags read without a lock by other threads (m_bRunning, m_AnsCode, m_bPending,
// m_bAbortConnect) are atomics.
#pragma once

#include "ErrorHandler.h"
#include "FrameScanner.h"
#include "SocketStream.h"

#include <atomic>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class ProtocolBase;

// Payload reader: reads exactly its code's payload from m_Socket; 0 or -1 is failure.
typedef int (ProtocolBase::*ReadHandler)(std::string& payload);
// Event handler: gets the payload's bytes; its result goes to OnEventHandled.
typedef int (ProtocolBase::*EventHandler)(const char* payload);

struct EventRecord {
    uint8_t code;
    std::string payload;
};

class ProtocolBase : public OrrErrorHandler {
public:
    static constexpr uint32_t kPollSliceMs = 30;
    static constexpr int kDefaultSndRcvTimeoutSec = 30;

    ProtocolBase();

    virtual void SetCmdPrefix(const char* prefix, uint32_t length);
    virtual void SetCustCmdPrefix(const char* prefix);
    virtual void SetSndRcvTimeout(int seconds);

    virtual int OpenConnect(const char* ip, const std::vector<uint16_t>& vecPort, int noDispatcher,
                            int timeoutSec);
    virtual int ReConnect();
    virtual int InitSocket(int socket, int noDispatcher);

    virtual int RequestCommand(uint8_t req, uint8_t ans, const char* name,
                               const std::string& payload, bool peek, int timeoutSec);
    virtual int AckCommand(uint8_t ack, const char* name, const std::string& payload);
    virtual int SendCommandData(const char* data, uint32_t length, int flags, bool log);

    virtual void CloseConnect();
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
    // wait), so a broadcast made under the lock cannot fall between test and wait.
    bool TimedWait(boost::condition_variable_any& cond, boost::recursive_mutex& lock, uint32_t ms,
                   bool (ProtocolBase::*done)() = nullptr);
    // Joins the thread held by `thread` (if any), deletes it and nulls the pointer.
    static void JoinThread(std::unique_ptr<boost::thread>& thread);

    int ConnectPorts(const char* ip, const std::vector<uint16_t>& vecPort, int noDispatcher,
                     int timeoutSec);
    void ApplySocketOptions(int socket);
    int StartThreads(int noDispatcher);
    void DispatcherThread();

    EventHandler m_EventHandlers[256];
    ReadHandler m_ReadHandlers[256];
    boost::recursive_mutex m_QueueLock;
    boost::recursive_mutex m_RequestLock;
    boost::recursive_mutex m_ConnectLock;
    std::unique_ptr<boost::thread_group> m_pThreadGroup;
    boost::recursive_mutex m_EventWaitLock;
    boost::recursive_mutex m_AnswerWaitLock;
    boost::condition_variable_any m_EventArrived;
    boost::condition_variable_any m_AnswerArrived;
    std::unique_ptr<boost::thread> m_pDispatcherThread;
    std::unique_ptr<boost::thread> m_pCloseThread;
    boost::recursive_mutex m_PrefixLock;
    SocketStream m_Socket;
    std::atomic<bool> m_bRunning;
    std::deque<EventRecord> m_EventQueue;
    std::atomic<uint8_t> m_AnsCode;
    std::string m_CmdPrefix;
    std::string m_CustCmdPrefix;
    std::string m_SendBuffer;
    std::atomic<bool> m_bPending;
    int m_nSndRcvTimeout;
    std::atomic<bool> m_bAbortConnect;
    std::string m_strIP;
    std::vector<uint16_t> m_vecPort;
    int m_bNoDispatcher;
    int m_nConnectTimeout;

private:
    enum FrameResult { kNextPass, kExitThread };

    // One frame of the receive loop, from the prefix search to the end of its payload;
    // takes m_PrefixLock for the whole frame.
    FrameResult ReceiveFrame(const FrameScanner& scanner, std::string& window,
                             std::string& payload);
    // One read of the receive thread: the count Recv gives, or 0 after recording the
    // failure when the read failed (peer closed, budget spent with nothing, socket error).
    int ReadOrRecord(char* buffer, uint32_t length, int flags, int line);
    // Runs the payload reader of code; on failure records it (at line) and returns false.
    bool RunReader(uint8_t code, std::string& payload, int line);
    // Records a receive failure with code unless the engine is being stopped (m_bRunning
    // already false): a stop that woke a read records nothing.
    void RecordReceiveFailure(int code, int line);
    // The code for a payload reader or custom-prefix hook that failed (errno cleared
    // before the call).
    int HookFailure();
    // Starts a close thread, handing it the previous one to join first, so the receive
    // thread itself never blocks on a close thread.
    void StartCloseThread();
    // Body of a close thread for connection generation gen: join the previous close
    // thread, then OnConnectClose().
    void CloseThreadMain(boost::thread* previous, uint32_t gen);
    // Joins and frees the close thread unless the caller is a close thread itself.
    void RetireCloseThread();
    // With m_ConnectLock held: wakes (shutdown) and joins the receive thread, frees the group.
    void StopReceiveThread();
    // Broadcasts both conditions under their wait locks, so a waiter that tested its state
    // under the wait lock cannot miss the wake-up.
    void WakeWaiters();
    bool AnswerWaitDone();
    bool EventWaitDone();
    // Builds prefix, code (when code >= 0) and body in m_SendBuffer and sends it whole
    // with flags; m_RequestLock must be held. Returns what Send returned.
    int SendFrame(int code, const char* body, size_t length, int flags);

    // The close thread's own engine and the connection generation it was started for
    // (null and 0 on every other thread).
    static thread_local const ProtocolBase* s_pCloseThreadOwner;
    static thread_local uint32_t s_nCloseThreadGen;

    // Guards the m_pCloseThread pointer (never held while joining).
    boost::mutex m_CloseThreadLock;
    // Connection generation, advanced by every StartThreads (under m_ConnectLock). A close
    // thread started for an older generation finds its connection gone and does nothing,
    // so it can never tear down (or join the receive thread of) a newer connection.
    std::atomic<uint32_t> m_nConnGen{0};
    // False when the current connection was set up without a dispatch thread: a dispatch
    // thread that set it up from its own handler then ends once that handler returns.
    std::atomic<bool> m_bDispatchWanted{false};
    // Set under m_QueueLock by a dispatch thread in the same hold in which it decides to
    // end, so that a restart from the receive thread knows whether it still runs.
    bool m_bDispatcherEnded = false;
};
