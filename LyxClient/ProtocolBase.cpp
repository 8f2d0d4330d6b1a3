// ProtocolBase: construction and destruction, the prefix and time-out settings, the
// state queries and the default hooks.
#include "ProtocolBase.h"

#include "DebugLog.h"

#include <csignal>
#include <cstring>

using lyx::RecursiveGuard;

thread_local const ProtocolBase* ProtocolBase::s_pCloseThreadOwner = nullptr;
thread_local uint32_t ProtocolBase::s_nCloseThreadGen = 0;
thread_local const ProtocolBase* ProtocolBase::s_pEngineThreadOwner = nullptr;
thread_local const ProtocolBase* ProtocolBase::s_pDispatcherOwner = nullptr;

ProtocolBase::ProtocolBase()
    : m_bRunning(false), m_AnsCode(0), m_SendBuffer(1, '\0'), m_bPending(false),
      m_nSndRcvTimeout(kDefaultSndRcvTimeoutSec), m_bAbortConnect(false), m_bNoDispatcher(0),
      m_nConnectTimeout(0) {
    for (int i = 0; i < 256; ++i) {
        m_EventHandlers[i] = &ProtocolBase::OnUnknownCommand;
        m_ReadHandlers[i] = &ProtocolBase::ReadNothing;
    }
    ::signal(SIGPIPE, SIG_IGN);
}

ProtocolBase::~ProtocolBase() {
    StopThreads();
}

void ProtocolBase::SetCmdPrefix(const char* prefix, uint32_t length) {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "SetCmdPrefix %d", static_cast<int>(length));
    RecursiveGuard lock(m_PrefixLock);
    if (length == 0 || prefix == nullptr) {
        m_CmdPrefix.clear();
    } else {
        m_CmdPrefix.assign(prefix, length);
    }
    // The request lock too (after the prefix lock, as the receive thread takes them): a
    // frame being assembled or sent never sees half a prefix.
    RecursiveGuard requestLock(m_RequestLock);
    m_nSendPrefixSize = m_CmdPrefix.size();
    m_SendBuffer.assign(m_CmdPrefix);
    m_SendBuffer.push_back('\0');
}

void ProtocolBase::SetCustCmdPrefix(const char* prefix) {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "SetCustCmdPrefix");
    // m_PrefixLock is taken so that a prefix set while the receive thread parses a frame is
    // not a data race. Exactly len(m_CmdPrefix) bytes are kept; a shorter text is padded
    // with zero bytes instead of read past its end.
    RecursiveGuard lock(m_PrefixLock);
    const size_t n = m_CmdPrefix.size();
    m_CustCmdPrefix.assign(n, '\0');
    if (prefix != nullptr && n > 0) {
        memcpy(&m_CustCmdPrefix[0], prefix, strnlen(prefix, n));
    }
}

void ProtocolBase::SetSndRcvTimeout(int seconds) {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "SetSndRcvTimeout %d", seconds);
    m_nSndRcvTimeout = seconds;
}

bool ProtocolBase::IsPending() {
    return m_bPending.load();
}

bool ProtocolBase::IsConnected() {
    return m_Socket.GetFd() != -1;
}

int ProtocolBase::GetSocket() {
    return m_Socket.GetFd();
}

void ProtocolBase::OnConnectClose() {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "OnConnectClose sock:%d", m_Socket.GetFd());
    CloseConnect();
}

void ProtocolBase::OnEventHandled(uint8_t /*code*/, int /*result*/) {}

int ProtocolBase::OnCustCmdPrefix() {
    return 1;
}

void ProtocolBase::OnFrameBegin() {}

int ProtocolBase::OnConnectHandshake(int /*socket*/) {
    return 0;
}

bool ProtocolBase::IsPeerAlive() {
    return true;
}

int ProtocolBase::ReadNothing(std::string& payload) {
    payload.clear();
    return 1;
}

int ProtocolBase::OnUnknownCommand(const char* /*payload*/) {
    LYX_DLOG_WRITE(GetLogger(), DL_DEBUG, "OnUnknownCommand sock:%d", m_Socket.GetFd());
    return -1;
}

void ProtocolBase::JoinThread(std::unique_ptr<boost::thread>& thread) {
    if (!thread) {
        return;
    }
    if (thread->get_id() == boost::this_thread::get_id()) {
        thread->detach(); // a thread cannot join itself
    } else {
        thread->join();
    }
    thread.reset();
}
