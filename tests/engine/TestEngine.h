// TestEngine: the engine under test. A test gives each code a payload reader or an event
// handler, steers the hooks, and reads back what they saw. Readers and handlers are
// templates on the code because the engine's tables hold plain member pointers, which
// carry no code of their own. m_mu guards what the engine's threads record.
#pragma once

#include "ProtocolBase.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class TestEngine : public ProtocolBase {
public:
    using ProtocolBase::ConnectPorts;
    using ProtocolBase::m_AnsCode;
    using ProtocolBase::m_bRunning;
    using ProtocolBase::m_EventQueue;

    explicit TestEngine(const std::string& prefix = "RecvIPC") {
        if (!prefix.empty()) {
            SetCmdPrefix(prefix.data(), uint32_t(prefix.size()));
        }
    }
    // Stops the threads while this part of the object still exists: they call its hooks.
    ~TestEngine() override { StopThreads(); }
    using ProtocolBase::StopThreads;

    struct Read {
        int code; // -1 for the bytes of a custom-prefix frame
        std::string bytes;
    };

    // Frames with code Code carry `size` payload bytes; a negative size makes the reader
    // fail without reading. `before` runs on the receive thread first.
    template <uint8_t Code> void Reader(int size, std::function<void()> before = nullptr) {
        std::lock_guard<std::mutex> l(m_mu);
        m_readers[Code] = {size, std::move(before)};
        m_ReadHandlers[Code] = static_cast<ReadHandler>(&TestEngine::ReadCode<Code>);
    }
    // Frames with code Code are events; `during` runs inside the handler, which returns
    // Code + 100.
    template <uint8_t Code> void Event(std::function<void()> during = nullptr) {
        std::lock_guard<std::mutex> l(m_mu);
        m_handlers[Code] = std::move(during);
        m_EventHandlers[Code] = static_cast<EventHandler>(&TestEngine::HandleCode<Code>);
    }

    std::vector<Read> Reads() { return Copy(m_reads); }
    std::vector<std::string> Events() { return Copy(m_events); }           // payloads handlers got
    std::vector<std::pair<int, int>> Handled() { return Copy(m_handled); } // (code, result)
    std::string ErrorText() { return GetErrorTextCopy(); }

    std::atomic<int> closeCalls{0}, handshakeCalls{0}, handshakeResult{0}, frameBegins{0};
    std::atomic<int> custReadSize{0}, custResult{1};
    std::atomic<bool> peerAlive{true};
    std::atomic<bool> waitPending{false}; // a wait of another thread, as IsPending reports it
    std::function<void()> onClose; // instead of the default close hook; set before connecting
    int maxInside = 0;             // the most handlers that ran at once (under m_mu)

protected:
    void OnConnectClose() override {
        ++closeCalls;
        if (onClose) {
            onClose();
        } else {
            ProtocolBase::OnConnectClose();
        }
    }
    int OnConnectHandshake(int) override {
        ++handshakeCalls;
        return handshakeResult;
    }
    bool IsPeerAlive() override { return peerAlive; }
    void OnFrameBegin() override { ++frameBegins; }
    bool IsPending() override { return waitPending || ProtocolBase::IsPending(); }
    int OnCustCmdPrefix() override {
        std::string bytes;
        const int got = ReadInto(bytes, custReadSize, -1);
        return got > 0 ? int(custResult) : got;
    }
    void OnEventHandled(uint8_t code, int result) override {
        std::lock_guard<std::mutex> l(m_mu);
        m_handled.emplace_back(code, result);
    }

private:
    template <class T> T Copy(const T& recorded) {
        std::lock_guard<std::mutex> l(m_mu);
        return recorded;
    }
    // Reads exactly `size` bytes (none for 0) and records them under `code`; a short
    // read fails (0), as in a reader that needs its whole payload.
    int ReadInto(std::string& bytes, int size, int code) {
        bytes.assign(size_t(size), '\0');
        int got = size == 0 ? 1 : m_Socket.Recv(&bytes[0], uint32_t(size), 0);
        if (size > 0 && got >= 0 && got < size) {
            got = 0;
        }
        bytes.resize(got > 0 ? bytes.size() : 0);
        if (got > 0) {
            std::lock_guard<std::mutex> l(m_mu);
            m_reads.push_back({code, bytes});
        }
        return got;
    }

    template <uint8_t Code> int ReadCode(std::string& payload) {
        const std::pair<int, std::function<void()>> how = Copy(m_readers[Code]);
        if (how.second) {
            how.second();
        }
        payload.clear();
        return how.first < 0 ? 0 : ReadInto(payload, how.first, Code);
    }
    template <uint8_t Code> int HandleCode(const char* payload) {
        std::function<void()> during;
        {
            std::lock_guard<std::mutex> l(m_mu);
            maxInside = std::max(maxInside, ++m_inside);
            during = m_handlers[Code];
            m_events.emplace_back(payload);
        }
        if (during) {
            during();
        }
        std::lock_guard<std::mutex> l(m_mu);
        --m_inside;
        return Code + 100;
    }

    std::mutex m_mu;
    std::map<int, std::pair<int, std::function<void()>>> m_readers;
    std::map<int, std::function<void()>> m_handlers;
    std::vector<Read> m_reads;
    std::vector<std::string> m_events;
    std::vector<std::pair<int, int>> m_handled;
    int m_inside = 0;
};
