// SmallFile: reads a short file whole, bounded, for settings a run reads at start (the
// box's names, the password file, kernel lists). Opened non-blocking and read only when it
// is a regular file, so a FIFO or device put at the path cannot hang a run. Static
// functions only; no state, no lock.
#pragma once

#include <cstddef>
#include <string>

class SmallFile {
public:
    // Reads at most limit + 1 bytes of the file at path into *text, so that a caller can
    // tell a file longer than limit. 0; -errno when it cannot be opened (-ENOENT: missing);
    // -EINVAL when it is not a regular file or cannot be read.
    static int Read(const std::string& path, size_t limit, std::string* text);
};
