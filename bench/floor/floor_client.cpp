// floor-client: the lower bound for one run of the CGI program on an empty GET request.
//
// Connects to the receiver service on 127.0.0.1:19996 with a blocking socket, sends the
// 40-byte GetNonLocalSenderList frame twice, each time reading the answer (frame prefix,
// list header, entries) before going on, and writes the same reply as the program through
// the same writer. No threads, no engine, no form parsing (an empty request has no
// variables). Exit codes follow the program: -10 when the connection fails, 0 otherwise.
// A list answer that cannot be read leaves the list as it was, like the program.
#include "SenderRecord.h"
#include "XmlReplyWriter.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kServiceIp = "127.0.0.1";
constexpr uint16_t kServicePort = 19996;
constexpr int kNoConnection = -10;
constexpr uint8_t kGetNonLocalSenderList = 0x1A;
constexpr size_t kPrefixSize = 7;
constexpr size_t kPayloadSize = 32;
constexpr size_t kListHeaderSize = 32;
constexpr int kSocketTimeoutSec = 10;

bool WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= size_t(sent);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t length) {
    while (length > 0) {
        ssize_t got = ::recv(fd, data, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        length -= size_t(got);
    }
    return true;
}

// One GetNonLocalSenderList round trip; fills `out` only when the whole answer arrived.
bool FetchList(int fd, std::vector<SenderRecord>* out) {
    uint8_t request[kPrefixSize + 1 + kPayloadSize] = {};
    std::memcpy(request, "RecvIPC", kPrefixSize);
    request[kPrefixSize] = kGetNonLocalSenderList;
    request[kPrefixSize + 1] = 1;
    if (!WriteAll(fd, request, sizeof request)) {
        return false;
    }

    uint8_t frameStart[kPrefixSize + 1];
    if (!ReadAll(fd, frameStart, sizeof frameStart) ||
        std::memcmp(frameStart, "RecvIPC", kPrefixSize) != 0 ||
        frameStart[kPrefixSize] != kGetNonLocalSenderList + 1) {
        return false;
    }
    uint8_t header[kListHeaderSize];
    if (!ReadAll(fd, header, sizeof header)) {
        return false;
    }
    const size_t count = (size_t(header[0]) << 8) | header[1];
    const bool extended = header[2] != 0;
    const size_t entrySize =
        extended ? SenderRecord::kExtendedEntrySize : SenderRecord::kBasicEntrySize;
    std::vector<uint8_t> entries(count * entrySize);
    if (!ReadAll(fd, entries.data(), entries.size())) {
        return false;
    }
    // Records that stay are overwritten in place, as the program does.
    out->resize(count);
    for (size_t i = 0; i < count; ++i) {
        (*out)[i].DecodeEntry(entries.data() + i * entrySize, extended);
    }
    return true;
}

} // namespace

int main() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return kNoConnection;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kServicePort);
    address.sin_addr.s_addr = inet_addr(kServiceIp);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return kNoConnection;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval timeout{kSocketTimeoutSec, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

    XmlReplyWriter reply(stdout);
    reply.WriteHeader();

    std::vector<SenderRecord> senders;
    FetchList(fd, &senders);
    // An empty GET request has no variables, hence no actions between the two lists.
    FetchList(fd, &senders);
    reply.WriteSenderList(senders);

    ::close(fd);
    return 0;
}
