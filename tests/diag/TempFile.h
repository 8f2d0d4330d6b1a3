// Small helpers for tests that read what a log wrote: a temporary file removed on
// destruction, and reading a file back as lines.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

class TempFile {
public:
    TempFile() {
        char name[] = "/tmp/diagtestXXXXXX";
        int fd = mkstemp(name);
        if (fd >= 0) {
            close(fd);
        }
        m_path = name;
    }
    ~TempFile() { unlink(m_path.c_str()); }
    const char* path() const { return m_path.c_str(); }

    std::vector<std::string> Lines() const {
        std::ifstream in(m_path);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            lines.push_back(line);
        }
        return lines;
    }
    std::string Contents() const {
        std::ifstream in(m_path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    std::string m_path;
};
