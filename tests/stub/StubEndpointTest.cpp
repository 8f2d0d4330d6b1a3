// The stub's fixed endpoint: it connects to 127.0.0.1:19996 and gives up after 3 s when
// the service does not take the connection. Binds the service port, so CTest runs it
// under the port lock.
#include "ScreenReceiverStub.h"
#include "WireBytes.h"

#include <arpa/inet.h>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

using namespace wire;

namespace {

// A listening socket on the service port; closes it when done.
class Listener {
public:
    explicit Listener(int backlog) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(19996);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
               listen(m_fd, backlog) == 0;
    }
    ~Listener() { close(m_fd); }
    bool ok() const { return m_ok; }
    // Waits at most a few seconds for one connection.
    int Accept() {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, 4000) == 1 ? accept(m_fd, nullptr, nullptr) : -1;
    }

private:
    int m_fd;
    bool m_ok;
};

int ConnectNonBlocking() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(19996);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return fd;
}

} // namespace

TEST(StubEndpointTest, ConnectsToTheServicePortAndReplacesAnOldConnection) {
    Listener listener(4);
    ASSERT_TRUE(listener.ok());
    ScreenReceiverStub stub;
    ASSERT_EQ(stub.ConnectToReceiver(), 0);
    Peer first(listener.Accept());

    std::vector<SenderRecord> list;
    auto done = std::async(std::launch::async, [&] { return stub.GetNonLocalSenderList(&list); });
    EXPECT_EQ(first.ReadRequest(), Frame(0x1A, "\x01" + Zeros(31)));
    first.Write(Frame(0x1B, ListHeader(1, false)) + Entry({5, 0, "five"}, false));
    EXPECT_EQ(done.get(), 0);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].userName(), "five");

    // Connecting again closes the first connection.
    ASSERT_EQ(stub.ConnectToReceiver(), 0);
    Peer second(listener.Accept());
    EXPECT_TRUE(first.WaitForClose());
    auto quit = std::async(std::launch::async, [&] { return stub.QuitConfCtrl(); });
    EXPECT_EQ(second.ReadRequest(), Frame(0x18, Zeros(32)));
    second.Write(Frame(0x19, Zeros(32)));
    EXPECT_EQ(quit.get(), 0);
}

TEST(StubEndpointTest, ServiceThatNeverTakesTheConnectionFailsTheConnect) {
    // With its accept queue full the listener ignores further connection attempts.
    Listener listener(0);
    ASSERT_TRUE(listener.ok());
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(ConnectNonBlocking());
    }

    ScreenReceiverStub stub;
    EXPECT_EQ(stub.ConnectToReceiver(), -6528001);
    EXPECT_EQ(stub.GetErrorCode(), -6528001);
    std::string text = stub.GetErrorText();
    EXPECT_EQ(text.rfind("No TCP connection could be built to IP:127.0.0.1 Port:19996  [", 0), 0u)
        << text;
    for (int fd : fillers) {
        close(fd);
    }
}
