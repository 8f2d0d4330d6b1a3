#include "Session.h"

#include "SimLog.h"
#include "WireFormat.h"

#include <boost/asio/write.hpp>
#include <cstdio>

namespace asio = boost::asio;

Session::Session(asio::ip::tcp::socket socket, unsigned id, ReceiverService& service,
                 const SimOptions& opts, ClosedCallback onClosed)
    : m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_id(id), m_service(service),
      m_opts(opts), m_onClosed(std::move(onClosed)) {}

void Session::Log(const std::string& text) const {
    SimLog::Command("conn " + std::to_string(m_id) + " " + text);
}

void Session::Start() {
    Log("opened");
    ReadMore();
}

void Session::Close() {
    if (m_closed) {
        return;
    }
    m_closed = true;
    boost::system::error_code ignored;
    m_timer.cancel();
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    m_socket.close(ignored);
    if (m_parser.Pending() > 0) {
        Log("closed with " + std::to_string(m_parser.Pending()) +
            " byte(s) of an unfinished request");
    } else {
        Log("closed");
    }
    if (m_onClosed) {
        m_onClosed(m_id);
    }
}

void Session::ReadMore() {
    if (m_closed || m_reading || m_peerDone || m_closing || m_jobs.size() >= kMaxQueuedAnswers) {
        return;
    }
    m_reading = true;
    m_socket.async_read_some(asio::buffer(m_readBuffer),
                             [self = shared_from_this()](const boost::system::error_code& ec,
                                                         std::size_t n) { self->OnRead(ec, n); });
}

void Session::OnRead(const boost::system::error_code& ec, std::size_t n) {
    m_reading = false;
    if (m_closed) {
        return;
    }
    if (n > 0 && !m_closing) {
        std::vector<RequestParser::Item> items;
        m_parser.Feed(m_readBuffer.data(), n, items);
        for (const auto& item : items) {
            if (m_closing) {
                break; // the connection ends after the half answer; ignore the rest
            }
            switch (item.kind) {
            case RequestParser::Item::Kind::Junk:
                Log("dropped " + std::to_string(item.junk) + " byte(s) before a prefix");
                break;
            case RequestParser::Item::Kind::UnknownCode: {
                char hex[8];
                std::snprintf(hex, sizeof(hex), "0x%02X", item.code);
                Log(std::string("unknown code ") + hex + " ignored");
                break;
            }
            case RequestParser::Item::Kind::Request:
                HandleRequest(item.code, item.payload);
                break;
            }
        }
    }
    if (ec) {
        if (ec == asio::error::eof) {
            m_peerDone = true;
            if (m_jobs.empty()) {
                Close();
            }
        } else {
            Close();
        }
        return;
    }
    ReadMore();
}

void Session::HandleRequest(uint8_t code, const std::string& payload) {
    ReceiverService::Outcome outcome = m_service.Handle(code, payload);
    if (outcome.answer.empty()) {
        Log(outcome.summary);
        return;
    }
    if (m_opts.silentCodes.count(code) != 0) {
        Log(outcome.summary + " (answer withheld)");
        return;
    }
    OutJob job;
    if (m_opts.FaultsApplyTo(code)) {
        job.bytes = WireFormat::Junk(m_opts.junkBytes);
        if (m_opts.unsolicited) {
            job.bytes += WireFormat::UnsolicitedFrame();
        }
        job.delayMs = m_opts.delayMs;
        job.chunk = m_opts.chunkBytes;
    }
    if (m_opts.stallCodes.count(code) != 0) {
        job.bytes.append(outcome.answer, 0, WireFormat::kPrefixSize + 1);
        job.stallAfter = true;
        Log(outcome.summary + " (prefix and code only, then silence)");
    } else if (m_opts.closeMidCodes.count(code) != 0) {
        job.bytes.append(outcome.answer, 0, outcome.answer.size() / 2);
        job.closeAfter = true;
        m_closing = true;
        Log(outcome.summary + " (half the answer, then close)");
    } else {
        job.bytes += outcome.answer;
        Log(outcome.summary);
    }
    m_jobs.push_back(std::move(job));
    StartNextJob();
}

void Session::StartNextJob() {
    if (m_closed || m_writing) {
        return;
    }
    if (m_jobs.empty()) {
        if (m_peerDone) {
            Close();
        }
        return;
    }
    m_writing = true;
    m_sent = 0;
    const OutJob& job = m_jobs.front();
    if (job.delayMs == 0) {
        WriteNextPiece();
        return;
    }
    m_timer.expires_after(std::chrono::milliseconds(job.delayMs));
    m_timer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (!self->m_closed && !ec) {
            self->WriteNextPiece();
        }
    });
}

void Session::WriteNextPiece() {
    const OutJob& job = m_jobs.front();
    const std::size_t left = job.bytes.size() - m_sent;
    const std::size_t n = job.chunk == 0 ? left : std::min(job.chunk, left);
    // The deque never moves its elements on push_back, so the bytes stay put while writing.
    asio::async_write(
        m_socket, asio::buffer(job.bytes.data() + m_sent, n),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t written) {
            if (self->m_closed) {
                return;
            }
            if (ec) {
                self->Log("write failed: " + ec.message());
                self->Close();
                return;
            }
            self->m_sent += written;
            if (self->m_sent < self->m_jobs.front().bytes.size()) {
                self->m_timer.expires_after(std::chrono::milliseconds(2));
                self->m_timer.async_wait([self](const boost::system::error_code& tec) {
                    if (!self->m_closed && !tec) {
                        self->WriteNextPiece();
                    }
                });
            } else {
                self->FinishJob();
            }
        });
}

void Session::FinishJob() {
    if (m_jobs.front().closeAfter) {
        Close();
        return;
    }
    if (m_jobs.front().stallAfter) {
        return; // stays "writing": every later answer waits behind this one
    }
    m_jobs.pop_front();
    m_writing = false;
    ReadMore(); // may have paused while the queue was full
    StartNextJob();
}
