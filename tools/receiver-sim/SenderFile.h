// SenderFile: reads the sender list from a JSON file, or hands out the built-in sample.
// Stateless; no locks. Every problem in the file becomes one readable error message, so
// start-up can fail in an orderly way instead of serving a half-read list.
//
// File format: {"senders":[{"id":7,"ip":"10.0.0.5","name":"Alice","appType":1,
//                           "local":false,"valid":true,"frame":0}, ...]}
#pragma once

#include "Sender.h"

#include <string>
#include <vector>

class SenderFile {
public:
    static constexpr std::size_t kMaxNameBytes = 48;
    static constexpr uint8_t kFrameCount = 4;

    // Parses the file at path into senders. Returns false with error filled on any problem.
    static bool Load(const std::string& path, std::vector<Sender>& senders, std::string& error);
    // Same for a JSON text already in memory (origin names it in messages).
    static bool Parse(const std::string& text, const std::string& origin,
                      std::vector<Sender>& senders, std::string& error);
    // A few senders, some with names that need escaping in the CGI's XML reply.
    static std::vector<Sender> BuiltIn();
};
