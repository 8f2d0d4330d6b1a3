// The frame search on any bytes, walked the way the receive thread walks its stream: peek a
// window, Scan it, drop a byte, take a prefix or wait for more; after a command prefix read
// the code byte, Classify it and skip the payload (code % 5 bytes) of an answer or event.
// Input: byte 0 = prefix length N (bits 0-2), custom prefix from the input (bit 3) or the
// command prefix again (bit 4), window N+1 or N-1 (bits 5-6: prefix changed since the start);
// byte 1 = awaited answer; byte 2 = handler bits by code & 7; byte 3 = bytes that arrive at a
// time (bits 0-3), bytes the custom-prefix hook takes (bits 4-7); prefix, custom, stream.
#include "FrameScanner.h"
#include "FuzzCheck.h"

#include <algorithm>
#include <vector>

using lyx::FrameScanner;

using Step = FrameScanner::Step;
using Kind = FrameScanner::Kind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t n = size > 0 ? data[0] & 7 : 0, head = 4 + n * (size > 0 && data[0] & 8 ? 2 : 1);
    if (size < head) {
        return 0;
    }
    const std::string prefix(data + 4, data + 4 + n);
    const std::string custom = data[0] & 8    ? std::string(data + 4 + n, data + 4 + 2 * n)
                               : data[0] & 16 ? prefix
                                              : std::string();
    const int delta = (data[0] >> 5) == 1 ? 1 : (data[0] >> 5) == 2 && n > 0 ? -1 : 0;
    const FrameScanner scanner(prefix, custom, n + delta);
    const std::string stream(data + head, data + size);
    uint8_t awaited = data[1];
    size_t pos = 0, arrived = 0;
    while (pos < stream.size()) {
        arrived = std::max(arrived, pos); // what was read had arrived
        if (scanner.HasPrefix()) {
            // Exactly the bytes peeked, so that a read outside them is caught.
            const size_t got = std::min(scanner.WindowSize(), arrived - pos);
            const std::vector<char> window(stream.begin() + pos, stream.begin() + pos + got);
            const Step step = scanner.Scan(window.data(), got);
            const std::string bytes(window.begin(), window.end());
            const bool full = got == scanner.WindowSize();
            FUZZ_CHECK((step == Step::kNeedMore) == !full);
            FUZZ_CHECK(!full || (step == Step::kFrame) == (bytes == prefix));
            FUZZ_CHECK(!full || (step == Step::kCustomFrame) ==
                                    (!custom.empty() && bytes == custom && custom != prefix));
            if (step == Step::kNeedMore) { // peek again when more arrived; none left: the end
                pos = arrived == stream.size() ? arrived : pos;
                arrived = std::min(stream.size(), arrived + 1 + (data[3] & 15));
                continue;
            }
            pos +=
                step == Step::kSkipByte ? 1 : got + (step == Step::kCustomFrame) * (data[3] >> 4);
            if (step != Step::kFrame) {
                continue;
            }
        }
        if (pos == stream.size()) {
            break;
        }
        const uint8_t code = uint8_t(stream[pos++]);
        const bool handled = (data[2] >> (code & 7)) & 1;
        const Kind kind = FrameScanner::Classify(code, awaited, handled);
        FUZZ_CHECK((kind == Kind::kAnswer) == (code == awaited)); // the answer first
        FUZZ_CHECK(kind == Kind::kAnswer || (kind == Kind::kEvent) == handled);
        pos += kind == Kind::kExceptional ? 0 : code % 5;
        awaited = kind == Kind::kAnswer ? 0 : awaited;
    }
    return 0;
}
