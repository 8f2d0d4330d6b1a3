#include "DebugLog.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <vector>

namespace lyx {

uint32_t GetTickMs() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    // Unsigned arithmetic: the product wraps modulo 2^32 on purpose.
    return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000u +
                                 static_cast<uint64_t>(tv.tv_usec) / 1000u);
}

const char* BaseName(const char* path) {
    if (path == nullptr) {
        return "";
    }
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // namespace lyx

using lyx::BaseName;
using lyx::RecursiveGuard;

DebugLog::DebugLog() : m_pFile(nullptr), m_nMaxLevel(0), m_pfnOutput(nullptr) {}

DebugLog::~DebugLog() {
    Close();
}

int DebugLog::Open(const char* path, int maxLevel, int append) {
    Close();
    m_nMaxLevel = maxLevel;
    if (path == nullptr) {
        m_pfnOutput = &DebugLog::WriteToStderr;
        return 0;
    }
    m_pFile = std::fopen(path, append ? "a+" : "w");
    if (m_pFile == nullptr) {
        return -10;
    }
    m_pfnOutput = &DebugLog::WriteToFile;
    return 0;
}

void DebugLog::Close() {
    m_pfnOutput = nullptr;
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

const char* DebugLog::LevelName(int level) {
    switch (level) {
    case DL_FATAL:
        return "FATAL ";
    case DL_ALERT:
        return "ALERT ";
    case DL_CRIT:
        return "CRIT  ";
    case DL_ERROR:
        return "ERROR ";
    case DL_WARN:
        return "WARN  ";
    case DL_NOTICE:
        return "NOTICE";
    case DL_INFO:
        return "INFO  ";
    case DL_DEBUG:
        return "DEBUG ";
    default:
        return "UNKNOWN";
    }
}

void DebugLog::Write(const char* sourceFile, int sourceLine, int level, const char* format, ...) {
    OutputFn output = m_pfnOutput;
    if (output == nullptr || level > m_nMaxLevel) {
        return;
    }
    // The caller's format with the position suffix behind it; the suffix is formatted here,
    // so a '%' in the file name cannot be taken for a directive later.
    const char* base = BaseName(sourceFile);
    std::string fmt;
    fmt.reserve(std::strlen(format) + std::strlen(base) + 16);
    fmt += format;
    fmt += " [";
    for (const char* p = base; *p; ++p) {
        fmt += *p;
        if (*p == '%') {
            fmt += '%';
        }
    }
    fmt += ':';
    fmt += std::to_string(sourceLine);
    fmt += ']';

    va_list args;
    va_start(args, format);
    (this->*output)(level, fmt.c_str(), args);
    va_end(args);
}

void DebugLog::WriteRaw(int level, const char* format, ...) {
    OutputFn output = m_pfnOutput;
    if (output == nullptr || level > m_nMaxLevel) {
        return;
    }
    va_list args;
    va_start(args, format);
    (this->*output)(level, format, args);
    va_end(args);
}

void DebugLog::WriteToFile(int level, const char* format, va_list args) {
    FormatLine(m_pFile, level, format, args);
}

void DebugLog::WriteToStderr(int level, const char* format, va_list args) {
    FormatLine(stderr, level, format, args);
}

void DebugLog::FormatLine(FILE* stream, int level, const char* format, va_list args) {
    RecursiveGuard lock(m_LogLock);
    if (stream == nullptr) {
        return;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t seconds = tv.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    char stamp[128];
    size_t n = std::strftime(stamp, sizeof(stamp) - 8, "%H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof(stamp) - n, ".%03d", static_cast<int>(tv.tv_usec / 1000));

    std::fprintf(stream, "%s ", stamp);
    std::fputs(LevelName(level), stream);
    std::fputs("| ", stream);
    std::vfprintf(stream, format, args);
    std::fputc('\n', stream);
    std::fflush(stream);
}
