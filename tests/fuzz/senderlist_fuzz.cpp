// Sender-list answers from any bytes: a 32-byte header (count, extended flag) and the entries
// that follow, each decoded by SenderRecord::DecodeEntry from a copy of exactly its size
// into the record the list holds at its place (byte 0 of the input: how many records the list
// held before, every field set) and checked field by field against the wire layout.
#include "FuzzCheck.h"
#include "SenderRecord.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 33) {
        return 0;
    }
    auto be16 = [](const uint8_t* p) { return uint32_t(p[0] << 8 | p[1]); };
    auto be32 = [&](const uint8_t* p) { return be16(p) << 16 | be16(p + 2); };
    const bool extended = data[3] != 0;
    const size_t count = be16(data + 1), entrySize = extended ? 128 : 64;
    std::vector<SenderRecord> list(data[0] % 4);
    const std::vector<uint8_t> earlier(128, 0xA5); // an unterminated name too
    for (SenderRecord& record : list) {
        record.DecodeEntry(earlier.data(), true);
    }
    list.resize(std::min(count, (size - 33) / entrySize)); // the entries the input holds
    for (size_t i = 0; i < list.size(); ++i) {
        const std::vector<uint8_t> e(data + 33 + i * entrySize, data + 33 + (i + 1) * entrySize);
        const SenderRecord before = list[i];
        SenderRecord& r = list[i];
        r.DecodeEntry(e.data(), extended);
        const std::string name(reinterpret_cast<const char*>(&e[8]), 48);
        FUZZ_CHECK(r.id() == be32(&e[0]) && r.ipAddress() == be32(&e[4]));
        FUZZ_CHECK(r.userName() == name.substr(0, name.find('\0')));
        FUZZ_CHECK(r.playing() == be16(&e[56]) && r.frameNo() == e[58]);
        FUZZ_CHECK(r.extField1() == (extended ? be16(&e[59]) : before.extField1()));
        FUZZ_CHECK(r.appType() == (extended ? be16(&e[61]) : before.appType()));
        FUZZ_CHECK(r.extField3() == (extended ? be16(&e[63]) : before.extField3()));
        FUZZ_CHECK((r.reserved1() | r.reserved2() | r.reserved3() | r.reserved4()) == 0);
    }
    return 0;
}
