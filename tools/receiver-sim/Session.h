// Session: one client connection of the simulated receiver. It owns the socket, the
// connection's request parser, the queue of answers still to write and the one timer
// used for answer delays and the gaps between chunks. Everything runs on the server's
// single io_context thread, so no locks; the session keeps itself alive through the
// shared_ptr captured by its pending operations.
//
// Answers go out strictly in request order. While too many answers are queued (a client
// that sends without reading), the session stops reading until the queue drains.
#pragma once

#include "ReceiverService.h"
#include "RequestParser.h"
#include "SimOptions.h"

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class Session : public std::enable_shared_from_this<Session> {
public:
    using ClosedCallback = std::function<void(unsigned id)>;

    Session(boost::asio::ip::tcp::socket socket, unsigned id, ReceiverService& service,
            const SimOptions& opts, ClosedCallback onClosed);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void Start();
    // Closes the connection and cancels pending work; safe to call more than once.
    void Close();

private:
    struct OutJob {
        std::string bytes;     // junk, unsolicited frame and (part of) the answer
        unsigned delayMs = 0;  // wait before the first byte
        std::size_t chunk = 0; // 0: one write
        bool closeAfter = false;
        bool stallAfter = false; // nothing more goes out on this connection
    };
    static constexpr std::size_t kMaxQueuedAnswers = 64;

    void ReadMore();
    void OnRead(const boost::system::error_code& ec, std::size_t n);
    void HandleRequest(uint8_t code, const std::string& payload);
    void StartNextJob();
    void WriteNextPiece();
    void FinishJob();
    void Log(const std::string& text) const;

    boost::asio::ip::tcp::socket m_socket;
    boost::asio::steady_timer m_timer;
    unsigned m_id;
    ReceiverService& m_service;
    const SimOptions& m_opts;
    ClosedCallback m_onClosed;

    RequestParser m_parser;
    std::array<uint8_t, 4096> m_readBuffer{};
    std::deque<OutJob> m_jobs; // front is being written while m_writing
    std::size_t m_sent = 0;    // bytes of the front job already written
    bool m_reading = false;
    bool m_writing = false;
    bool m_peerDone = false; // peer sent EOF: finish the queued answers, then close
    bool m_closing = false;  // a half answer is queued: read no further requests
    bool m_closed = false;
};
