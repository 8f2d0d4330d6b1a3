// Setting up the connection: refusals with their codes and texts, the multi-port race,
// the socket set-up, adopting a refused socket, and replacing a connection.
#include "Peer.h"
#include "TestEngine.h"
#include "Wire.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using namespace peer;

namespace {

int Option(int fd, int level, int name) {
    int value = 0;
    socklen_t size = sizeof(value);
    getsockopt(fd, level, name, &value, &size);
    return value;
}

int TimeoutSec(int fd, int name) {
    timeval tv{};
    socklen_t size = sizeof(tv);
    getsockopt(fd, SOL_SOCKET, name, &tv, &size);
    return int(tv.tv_sec);
}

} // namespace

TEST(Connect, RefusalsRecordTheirCodeAndText) {
    Listener service;
    const uint16_t port = service.Port(), refused = RefusedPort();
    const std::string ports = std::to_string(port) + " " + std::to_string(refused) + " ";
    Peer held; // keeps an adopted connection up while its row is checked
    struct Row {
        const char* name;
        std::function<int(TestEngine&)> call;
        int code;
        std::string text;
        int handshakes = 0; // at least; at most one per 30 ms slice of the 1 s budget
    } rows[] = {
        {"no ports", [](TestEngine& e) { return e.OpenConnect("127.0.0.1", {}, 0, 1); },
         ORR_ERR_EMPTY_PORTS,
         "It's invliad to specify empty port number vector (vecPort) to OpenConnect(). ["},
        {"no time to wait",
         [&](TestEngine& e) {
             return e.OpenConnect("127.0.0.1", {port, refused}, 0, 0);
         },
         ORR_ERR_NO_CONNECTION,
         "No TCP connection could be built to IP:127.0.0.1 Port:" + ports + " ["},
        // The rejected socket stays writable: it is offered again once per slice, not in a
        // busy loop.
        {"every handshake rejected",
         [&](TestEngine& e) {
             e.handshakeResult = -1;
             return e.OpenConnect("127.0.0.1", {port}, 0, 1);
         },
         ORR_ERR_HANDSHAKE, "It's OK to build connection, but server handshake was failed. This",
         2},
        {"nothing to reconnect", [](TestEngine& e) { return e.ReConnect(); }, ORR_ERR_INIT_OBJECT,
         "Failed to init object: Invalid m_Socket ["},
        {"a wait is pending (connect)",
         [&](TestEngine& e) {
             e.waitPending = true;
             return e.OpenConnect("127.0.0.1", {port}, 0, 1);
         },
         ORR_ERR_REENTRY, "Function reentry is not allowed: ProtocolBase::OpenConnect ["},
        {"a wait is pending (adopt)",
         [](TestEngine& e) {
             auto pair = SocketPair();
             e.waitPending = true;
             const int result = e.InitSocket(pair.first, 0);
             ::close(pair.first); // refused: still ours
             return result;
         },
         ORR_ERR_REENTRY, "Function reentry is not allowed: ProtocolBase::InitSocket ["},
        {"a descriptor is still held",
         [&](TestEngine& e) {
             auto pair = SocketPair();
             e.InitSocket(pair.first, 0);
             held = std::move(pair.second);
             return e.ConnectPorts("127.0.0.1", {port}, 0, 1);
         },
         ORR_ERR_STILL_CLOSING,
         "Previous network thread is still busy at closing itself, please wait a moment then "
         "retry. ["},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int fds = CountFds();
        {
            TestEngine e;
            EXPECT_EQ(row.call(e), row.code);
            EXPECT_EQ(e.GetErrorCode(), row.code);
            EXPECT_EQ(e.ErrorText().rfind(row.text, 0), 0u) << e.ErrorText();
            EXPECT_GE(e.handshakeCalls, row.handshakes);
            EXPECT_LE(e.handshakeCalls, 1000 / 30 + 2);
        }
        held.Close();
        EXPECT_EQ(CountFds(), fds); // every candidate was closed
    }
}

TEST(Connect, FirstUsablePortWinsWithTheSocketSetUp) {
    Listener full(0), service;
    Peer filler = ConnectTo(full.Port()); // the one-place accept queue is full: never writable
    ASSERT_GE(filler.Fd(), 0);
    const int fds = CountFds();
    TestEngine e;
    e.SetSndRcvTimeout(7); // for sockets set up from now on
    ASSERT_EQ(0, e.OpenConnect("127.0.0.1", {full.Port(), service.Port()}, 0, 3));
    Peer accepted = service.Accept();
    ASSERT_GE(accepted.Fd(), 0);
    EXPECT_EQ(CountFds(), fds + 2); // the engine's socket and the accepted one; no candidate left
    const int fd = e.GetSocket();
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(Option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_NE(Option(fd, SOL_SOCKET, SO_OOBINLINE), 0);
    EXPECT_EQ(TimeoutSec(fd, SO_RCVTIMEO), 7);
    EXPECT_EQ(TimeoutSec(fd, SO_SNDTIMEO), 7);

    // An adopted socket keeps the blocking mode its owner gave it.
    auto pair = SocketPair();
    fcntl(pair.first, F_SETFL, fcntl(pair.first, F_GETFL) | O_NONBLOCK);
    ASSERT_EQ(0, e.InitSocket(pair.first, 0));
    EXPECT_TRUE(accepted.WaitEof());
    EXPECT_NE(fcntl(pair.first, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(TimeoutSec(pair.first, SO_RCVTIMEO), 7);
}

TEST(Connect, ARefusedConnectionIsAdoptedAndFailsOnItsFirstRead) {
    TestEngine e;
    ASSERT_EQ(0, e.OpenConnect("127.0.0.1", {RefusedPort()}, 0, 1));
    ASSERT_TRUE(WaitUntil([&] { return !e.IsConnected(); }));
    EXPECT_EQ(e.GetErrorCode(), -ECONNREFUSED);
    EXPECT_EQ(e.closeCalls, 1);
}

TEST(Connect, ReconnectingReplacesTheConnection) {
    Listener service;
    TestEngine e;
    ASSERT_EQ(0, e.OpenConnect("127.0.0.1", {service.Port()}, 0, 1));
    Peer first = service.Accept();
    ASSERT_EQ(0, e.ReConnect());
    EXPECT_TRUE(first.WaitEof());
    Peer second = service.Accept();
    ASSERT_EQ(0, e.OpenConnect("127.0.0.1", {service.Port()}, 0, 1));
    EXPECT_TRUE(second.WaitEof());
    Peer third = service.Accept();
    EXPECT_GE(third.Fd(), 0);
    EXPECT_EQ(e.closeCalls, 0); // the replaced connections ended as by a stop
}
