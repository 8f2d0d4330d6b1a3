#include "Server.h"

#include "AtomicFile.h"
#include "Session.h"
#include "SimLog.h"

#include <csignal>
#include <poll.h>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {
constexpr std::size_t kMaxFillers = 16;
// A self-connect that has not completed by then is taken to hang in a full accept queue.
constexpr auto kFillWait = std::chrono::milliseconds(200);
} // namespace

Server::Server(asio::io_context& io, const SimOptions& opts, ReceiverService& service)
    : m_io(io), m_opts(opts), m_service(service), m_acceptor(io), m_signals(io), m_retryTimer(io),
      m_fillTimer(io) {}

bool Server::Start(std::string& error) {
    boost::system::error_code ec;
    const tcp::endpoint want(asio::ip::address_v4::loopback(), m_opts.port);
    auto fail = [&](const char* what) {
        error =
            std::string(what) + " 127.0.0.1:" + std::to_string(m_opts.port) + ": " + ec.message();
        return false;
    };
    if (m_acceptor.open(want.protocol(), ec)) {
        return fail("cannot open a socket for");
    }
    // Lets a restarted sim take its port back while old connections sit in TIME_WAIT.
    m_acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (m_acceptor.bind(want, ec)) {
        return fail("cannot bind");
    }
    // Backlog 0 lets exactly one connection wait in the accept queue (filled by us).
    const int backlog = m_opts.noAccept ? 0 : asio::socket_base::max_listen_connections;
    if (m_acceptor.listen(backlog, ec)) {
        return fail("cannot listen on");
    }
    m_endpoint = m_acceptor.local_endpoint(ec);
    if (ec) {
        return fail("cannot read the bound port of");
    }

    m_signals.add(SIGINT, ec);
    m_signals.add(SIGTERM, ec);
    m_signals.async_wait([this](const boost::system::error_code& sec, int signo) {
        if (!sec) {
            SimLog::Info("signal " + std::to_string(signo) + ", stopping");
            Stop();
        }
    });

    if (m_opts.noAccept) {
        FillAcceptQueue();
    } else {
        Accept();
        AnnounceReady();
    }
    return true;
}

void Server::AnnounceReady() {
    SimLog::Info("listening on 127.0.0.1:" + std::to_string(m_endpoint.port()) +
                 (m_opts.noAccept ? " (not accepting)" : ""));
    if (m_opts.readyFile.empty()) {
        return;
    }
    std::string error;
    if (!AtomicFile::Write(m_opts.readyFile, std::to_string(m_endpoint.port()) + "\n", error)) {
        SimLog::Info("ready file not written: " + error);
    }
}

void Server::Accept() {
    m_acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
        if (m_stopping || ec == asio::error::operation_aborted) {
            return;
        }
        if (ec) {
            // Typically out of descriptors: back off instead of spinning.
            SimLog::Info("accept failed: " + ec.message());
            m_retryTimer.expires_after(std::chrono::milliseconds(50));
            m_retryTimer.async_wait([this](const boost::system::error_code& tec) {
                if (!tec && !m_stopping) {
                    Accept();
                }
            });
            return;
        }
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        const unsigned id = m_nextId++;
        auto session =
            std::make_shared<Session>(std::move(socket), id, m_service, m_opts,
                                      [this](unsigned closed) { m_sessions.erase(closed); });
        m_sessions[id] = session;
        session->Start();
        Accept();
    });
}

void Server::FillAcceptQueue() {
    if (m_fillers.size() >= kMaxFillers) {
        SimLog::Info("accept queue did not fill up; connects may still succeed");
        AnnounceReady();
        return;
    }
    const unsigned generation = ++m_fillGeneration;
    m_pendingFiller = std::make_unique<tcp::socket>(m_io);
    m_pendingFiller->async_connect(m_endpoint, [this](const boost::system::error_code& ec) {
        m_fillTimer.cancel();
        if (m_stopping) {
            return;
        }
        if (!ec) {
            m_fillers.push_back(std::move(m_pendingFiller));
            FillAcceptQueue();
        } else {
            // Closed by the timer (the queue is full) or refused: either way, done.
            m_pendingFiller.reset();
            AnnounceReady();
        }
    });
    m_fillTimer.expires_after(kFillWait);
    m_fillTimer.async_wait([this, generation](const boost::system::error_code& ec) {
        if (ec || generation != m_fillGeneration || !m_pendingFiller) {
            return;
        }
        // On a busy machine the timer may fire just after the connect went through but
        // before its handler ran; a writable socket means connected, not hanging.
        pollfd p{m_pendingFiller->native_handle(), POLLOUT, 0};
        if (::poll(&p, 1, 0) == 1) {
            return;
        }
        boost::system::error_code ignored;
        m_pendingFiller->close(ignored); // completes the connect with operation_aborted
    });
}

void Server::Stop() {
    if (m_stopping) {
        return;
    }
    m_stopping = true;
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    m_signals.cancel(ignored);
    m_retryTimer.cancel();
    m_fillTimer.cancel();
    if (m_pendingFiller) {
        m_pendingFiller->close(ignored);
    }
    for (auto& filler : m_fillers) {
        filler->close(ignored);
    }
    // Close() removes each session from the table, so walk a copy.
    const auto sessions = m_sessions;
    for (const auto& entry : sessions) {
        if (auto session = entry.second.lock()) {
            session->Close();
        }
    }
}
