#include "RequestParser.h"

#include "WireFormat.h"

#include <algorithm>
#include <cstring>

namespace {

// Length of the longest tail of text[from..] that is a proper start of the prefix.
std::size_t PrefixStartAtEnd(const std::string& text, std::size_t from) {
    const std::size_t avail = text.size() - from;
    std::size_t len = std::min(avail, WireFormat::kPrefixSize - 1);
    for (; len > 0; --len) {
        if (std::memcmp(text.data() + text.size() - len, WireFormat::kPrefix, len) == 0) {
            return len;
        }
    }
    return 0;
}

} // namespace

void RequestParser::Feed(const uint8_t* data, std::size_t size, std::vector<Item>& out) {
    m_buffer.append(reinterpret_cast<const char*>(data), size);
    const std::string prefix(WireFormat::kPrefix, WireFormat::kPrefixSize);
    std::size_t pos = 0;
    auto dropJunk = [&](std::size_t n) {
        if (n > 0) {
            Item item;
            item.kind = Item::Kind::Junk;
            item.junk = n;
            out.push_back(std::move(item));
            pos += n;
        }
    };
    while (pos < m_buffer.size()) {
        const std::size_t found = m_buffer.find(prefix, pos);
        if (found == std::string::npos) {
            // Keep only what could still grow into a prefix.
            dropJunk(m_buffer.size() - pos - PrefixStartAtEnd(m_buffer, pos));
            break;
        }
        dropJunk(found - pos);
        if (m_buffer.size() - pos < WireFormat::kPrefixSize + 1) {
            break; // code byte still to come
        }
        const uint8_t code = static_cast<uint8_t>(m_buffer[pos + WireFormat::kPrefixSize]);
        if (!WireFormat::IsRequestCode(code)) {
            Item item;
            item.kind = Item::Kind::UnknownCode;
            item.code = code;
            out.push_back(std::move(item));
            pos += WireFormat::kPrefixSize + 1;
            continue;
        }
        if (m_buffer.size() - pos < WireFormat::kRequestFrameSize) {
            break; // payload still to come
        }
        Item item;
        item.kind = Item::Kind::Request;
        item.code = code;
        item.payload =
            m_buffer.substr(pos + WireFormat::kPrefixSize + 1, WireFormat::kRequestPayloadSize);
        out.push_back(std::move(item));
        pos += WireFormat::kRequestFrameSize;
    }
    m_buffer.erase(0, pos);
}
