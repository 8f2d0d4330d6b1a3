// AtomicFile: replaces a file's whole contents so that readers see either the old or the
// new contents, never a half-written file (write to PATH.tmp, then rename over PATH).
// Stateless; no locks.
#pragma once

#include <string>

class AtomicFile {
public:
    // Returns false and fills error when the file could not be written.
    static bool Write(const std::string& path, const std::string& contents, std::string& error);
};
