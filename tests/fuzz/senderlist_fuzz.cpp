// Fuzz target for the decoding of the receiver's answers: sender lists and result codes.
//
// The input is one byte stream as the service might send it, preceded by a control byte.
// Up to three answers are read from that stream in a row, the way the receive thread
// hands them to the stub's payload readers: the control byte picks, two bits per answer,
// a list answer, a result answer or an empty answer. All list answers go into the same
// vector, which may start out holding a few records, so that the partial updates (a
// vector shrunk or grown, basic entries over extended ones, a stream that ends part-way)
// are exercised too.
//
// The stream is decoded twice: by a model here (SenderRecord::DecodeEntry driven like
// the list reader, the result code taken as a big-endian signed 32-bit value) and by the
// stub's own readers, run on the fuzzer's thread against one end of a socketpair whose
// other end holds the stream and is then shut. Both must agree on every record, every
// result and every reader result; each decoded record is also checked field by field
// against the wire bytes.
#include "FuzzCheck.h"
#include "ScreenReceiverStub.h"
#include "SenderRecord.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kHeaderSize = 32;
constexpr size_t kResultSize = 32;
constexpr size_t kMaxStream = 60000; // stays below the socketpair's buffer
constexpr int kMaxAnswers = 3;
// A huge count makes both vectors allocate tens of thousands of records, which costs
// milliseconds per run and tells nothing new once seen: the corpus replay keeps one such
// input, the fuzzer itself skips them to stay fast.
constexpr size_t kMaxFuzzedCount = 1024;

enum AnswerKind { kList = 0, kResult = 1, kDiscard = 2 };

AnswerKind KindOf(uint8_t control, int index) {
    const int bits = (control >> (2 * index)) & 3;
    return bits == 1 ? kResult : bits == 2 ? kDiscard : kList;
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint32_t Be16(const uint8_t* p) {
    return (uint32_t(p[0]) << 8) | p[1];
}

bool SameRecord(const SenderRecord& a, const SenderRecord& b) {
    return a.id() == b.id() && a.ipAddress() == b.ipAddress() && a.userName() == b.userName() &&
           a.playing() == b.playing() && a.frameNo() == b.frameNo() &&
           a.extField1() == b.extField1() && a.appType() == b.appType() &&
           a.extField3() == b.extField3() && a.reserved1() == b.reserved1() &&
           a.reserved2() == b.reserved2() && a.reserved3() == b.reserved3() &&
           a.reserved4() == b.reserved4();
}

// What DecodeEntry must have made of one entry, read straight off the wire layout.
void CheckDecoded(const SenderRecord& before, const SenderRecord& after, const uint8_t* entry,
                  bool extended) {
    FUZZ_CHECK(after.id() == Be32(entry));
    FUZZ_CHECK(after.ipAddress() == Be32(entry + 4));
    std::string name(reinterpret_cast<const char*>(entry + 8), 48);
    name = name.substr(0, name.find('\0'));
    FUZZ_CHECK(after.userName() == name);
    FUZZ_CHECK(after.playing() == Be16(entry + 56));
    FUZZ_CHECK(after.frameNo() == entry[58]);
    FUZZ_CHECK(after.extField1() == (extended ? Be16(entry + 59) : before.extField1()));
    FUZZ_CHECK(after.appType() == (extended ? Be16(entry + 61) : before.appType()));
    FUZZ_CHECK(after.extField3() == (extended ? Be16(entry + 63) : before.extField3()));
    FUZZ_CHECK(after.reserved1() == 0 && after.reserved2() == 0 && after.reserved3() == 0 &&
               after.reserved4() == 0);
}

// The model: a cursor over the stream and the reads the stub's readers make of it.
struct Model {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;

    size_t Left() const { return size - pos; }

    // A list answer into out; returns the reader's result (bytes of the last block, or 0
    // when the stream ended inside a block).
    int List(std::vector<SenderRecord>& out) {
        if (Left() < kHeaderSize) {
            pos = size;
            return 0;
        }
        const uint8_t* header = data + pos;
        pos += kHeaderSize;
        const size_t count = Be16(header);
        const bool extended = header[2] != 0;
        const size_t entrySize =
            extended ? SenderRecord::kExtendedEntrySize : SenderRecord::kBasicEntrySize;
        out.resize(count);
        int result = int(kHeaderSize);
        for (size_t i = 0; i < count; ++i) {
            if (Left() < entrySize) {
                pos = size;
                return 0;
            }
            const SenderRecord before = out[i];
            out[i].DecodeEntry(data + pos, extended);
            CheckDecoded(before, out[i], data + pos, extended);
            pos += entrySize;
            result = int(entrySize);
        }
        return result;
    }

    // A result answer: bytes that never came count as zero.
    int Result(int32_t& value) {
        uint8_t buffer[kResultSize] = {};
        const size_t n = Left() < kResultSize ? Left() : kResultSize;
        std::memcpy(buffer, data + pos, n);
        pos += n;
        value = int32_t(Be32(buffer));
        return n == kResultSize ? int(kResultSize) : 0;
    }

    int Discard() {
        const size_t n = Left() < kResultSize ? Left() : kResultSize;
        pos += n;
        return n == kResultSize ? int(kResultSize) : 0;
    }
};

// The stub with its readers reachable, reading from a descriptor adopted without threads.
class ReaderHarness : public ScreenReceiverStub {
public:
    explicit ReaderHarness(int fd) { m_Socket.Attach(fd); }

    int List(std::vector<SenderRecord>* out) {
        m_pAnswerDest = out;
        std::string unused;
        return ReadSenderListAnswer(unused);
    }
    int Result(int32_t* value) {
        m_pAnswerDest = value;
        std::string unused;
        return ReadResultAnswer(unused);
    }
    int Discard() {
        std::string unused;
        return DiscardAnswer(unused);
    }
};

// Records that the vector holds before the first answer, with every field set.
std::vector<SenderRecord> Prefilled(size_t n) {
    std::vector<SenderRecord> records(n);
    for (size_t i = 0; i < n; ++i) {
        uint8_t entry[SenderRecord::kExtendedEntrySize];
        std::memset(entry, int(0xA0 + i), sizeof(entry));
        entry[20] = 0;
        records[i].DecodeEntry(entry, true);
    }
    return records;
}

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
// Whether any list answer of the stream announces more than kMaxFuzzedCount entries.
bool HasHugeCount(uint8_t control, const uint8_t* stream, size_t size) {
    size_t pos = 0;
    for (int i = 0; i < kMaxAnswers && pos < size; ++i) {
        if (KindOf(control, i) != kList) {
            pos += kResultSize;
            continue;
        }
        if (size - pos < kHeaderSize) {
            return false;
        }
        const size_t count = Be16(stream + pos);
        if (count > kMaxFuzzedCount) {
            return true;
        }
        const size_t entrySize =
            stream[pos + 2] != 0 ? SenderRecord::kExtendedEntrySize : SenderRecord::kBasicEntrySize;
        pos += kHeaderSize + count * entrySize;
    }
    return false;
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size - 2 > kMaxStream) {
        return 0;
    }
    const uint8_t control = data[0];
    const size_t prefill = data[1] % 6;
    const uint8_t* stream = data + 2;
    const size_t streamSize = size - 2;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    if (HasHugeCount(control, stream, streamSize)) {
        return 0;
    }
#endif

    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    int bufferSize = 256 * 1024;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof(bufferSize));
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize));
    size_t written = 0;
    while (written < streamSize) {
        const ssize_t n = ::send(fds[1], stream + written, streamSize - written, MSG_NOSIGNAL);
        FUZZ_CHECK(n > 0);
        written += size_t(n);
    }
    // The stream ends here: every read past it sees the peer gone at once.
    ::close(fds[1]);

    Model model{stream, streamSize};
    std::vector<SenderRecord> expected = Prefilled(prefill);
    std::vector<SenderRecord> actual = Prefilled(prefill);
    {
        ReaderHarness stub(fds[0]);
        for (int i = 0; i < kMaxAnswers; ++i) {
            int want = 0;
            int got = 0;
            switch (KindOf(control, i)) {
            case kList:
                want = model.List(expected);
                got = stub.List(&actual);
                break;
            case kResult: {
                int32_t wantValue = 0;
                int32_t gotValue = 0x5A5A5A5A;
                want = model.Result(wantValue);
                got = stub.Result(&gotValue);
                FUZZ_CHECK(gotValue == wantValue);
                break;
            }
            case kDiscard:
                want = model.Discard();
                got = stub.Discard();
                break;
            }
            FUZZ_CHECK(got == want);
            FUZZ_CHECK(actual.size() == expected.size());
            for (size_t r = 0; r < actual.size(); ++r) {
                FUZZ_CHECK(SameRecord(actual[r], expected[r]));
            }
            if (got <= 0) {
                // A failed read ends the connection: the engine reads no further answer.
                break;
            }
        }
    } // the stub closes its end of the socketpair
    return 0;
}
