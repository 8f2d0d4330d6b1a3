// RequestParser: cuts one connection's incoming byte stream into request frames. It owns
// the bytes of a frame not yet complete (at most one frame's worth, since bytes that
// cannot start a prefix are dropped at once). One per connection; no locks.
//
// Bytes in front of a prefix are dropped (counted as junk) until "RecvIPC" lines up. A
// code that is not one of the seven requests has no known payload: only the prefix and
// code byte are consumed and the search goes on behind them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class RequestParser {
public:
    struct Item {
        enum class Kind { Request, UnknownCode, Junk };
        Kind kind = Kind::Junk;
        uint8_t code = 0;     // Request, UnknownCode
        std::string payload;  // Request: the 32 payload bytes
        std::size_t junk = 0; // Junk: number of bytes dropped
    };

    // Takes the next bytes of the stream; appends what they completed, in stream order.
    void Feed(const uint8_t* data, std::size_t size, std::vector<Item>& out);
    // Bytes held back as the start of an unfinished frame.
    std::size_t Pending() const { return m_buffer.size(); }

private:
    std::string m_buffer;
};
