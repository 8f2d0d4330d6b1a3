// DebugLog: a small leveled line log writing to one file or to standard error.
//
// Every line carries the local time with milliseconds, a padded level name, "| ", the
// message and (for Write) the base name and line of the statement that wrote it. A log
// that has not been opened drops every line after one test, before any formatting.
//
// Owns: the FILE* opened by Open (closed by Close and the destructor).
// Locking: m_LogLock is held from the time stamp to the flush of one line, so lines of
// different threads never interleave. Open/Close take no lock: call them only while no
// other thread may write. The error registry takes its own lock before this one.
#pragma once

#include "ThreadSafety.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>

// Log levels; a line is written when its level is at most the log's maximum level.
enum DebugLevel : int {
    DL_FATAL = 0,
    DL_ALERT = 100,
    DL_CRIT = 200,
    DL_ERROR = 300,
    DL_WARN = 400,
    DL_NOTICE = 500,
    DL_INFO = 600,
    DL_DEBUG = 700,
};

namespace lyx {

// Wrapping unsigned 32-bit millisecond clock (gettimeofday based). Time budgets are
// always the unsigned difference of two readings, which stays right across the wrap.
uint32_t GetTickMs();

// Base name of a path: the part after its last '/', or the whole text without one.
const char* BaseName(const char* path);

} // namespace lyx

class DebugLog {
public:
    DebugLog();
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    // path null: standard error. append nonzero: "a+", else truncate. -10 if fopen fails.
    int Open(const char* path, int maxLevel, int append);
    void Close();
    bool IsEnabled() const { return m_pfnOutput != nullptr; }

    // One line with the " [base:line]" suffix of the calling statement.
    void Write(const char* sourceFile, int sourceLine, int level, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
    // One line without a position suffix.
    void WriteRaw(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // The padded name written for a level ("UNKNOWN" for values not in the table).
    static const char* LevelName(int level);

private:
    typedef void (DebugLog::*OutputFn)(int level, const char* format, va_list args);

    void WriteToFile(int level, const char* format, va_list args);
    void WriteToStderr(int level, const char* format, va_list args);
    void FormatLine(FILE* stream, int level, const char* format, va_list args);

    lyx::RecursiveMutex m_LogLock; // held for one line: lines never interleave
    FILE* m_pFile;
    int m_nMaxLevel;
    OutputFn m_pfnOutput;
};

// Convenience for the engine's log calls: the position of the calling statement.
#define LYX_DLOG_WRITE(log, level, ...) (log)->Write(__FILE__, __LINE__, (level), __VA_ARGS__)
