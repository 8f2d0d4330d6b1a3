// Server: the listening side of the simulated receiver on 127.0.0.1. It owns the
// acceptor, the signal set that stops it (SIGINT/SIGTERM), the table of open sessions
// (weak references, so sessions own themselves) and, in --no-accept mode, the idle
// connections that keep the accept queue full. Runs on one io_context thread; no locks.
#pragma once

#include "ReceiverService.h"
#include "SimOptions.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <map>
#include <memory>
#include <string>
#include <vector>

class Session;

class Server {
public:
    Server(boost::asio::io_context& io, const SimOptions& opts, ReceiverService& service);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens; false with error filled when that fails. The ready file is
    // written once the server is really ready (after the accept queue is full with
    // --no-accept).
    bool Start(std::string& error);
    // Stops accepting, closes every connection; io_context::run then returns.
    void Stop();

private:
    void Accept();
    void FillAcceptQueue();
    void AnnounceReady();

    boost::asio::io_context& m_io;
    const SimOptions& m_opts;
    ReceiverService& m_service;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::signal_set m_signals;
    boost::asio::steady_timer m_retryTimer; // accept retry after e.g. EMFILE
    boost::asio::ip::tcp::endpoint m_endpoint;
    std::map<unsigned, std::weak_ptr<Session>> m_sessions;
    unsigned m_nextId = 1;
    bool m_stopping = false;

    // --no-accept: connections made to ourselves until a connect no longer completes.
    std::vector<std::unique_ptr<boost::asio::ip::tcp::socket>> m_fillers;
    std::unique_ptr<boost::asio::ip::tcp::socket> m_pendingFiller;
    boost::asio::steady_timer m_fillTimer;
    unsigned m_fillGeneration = 0;
};
