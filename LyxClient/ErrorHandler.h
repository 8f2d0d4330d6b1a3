// OrrErrorHandler: the last error of one client object, and the table of error messages.
//
// Keeps a numeric code (negative = error), two text arguments and the source position of
// the statement that raised it, and turns that record into a readable text from
// ErrorTable (or strerror for negated errno values). Every negative raise is written to
// the object's debug log at ERROR level.
//
// Owns: m_OwnLog, the handler's own (initially closed) log; m_pLogger points to it
// unless SetLogger names another log, which the handler does not own.
// Locking: m_ErrLock (recursive) guards the record, the saved record and the text buffers
// the getters hand out; it is taken before the log's lock, never after. m_nCode mirrors
// the record's code in an atomic, because GetErrorCode reads it without the lock.
#pragma once

#include "DebugLog.h"

#include "ThreadSafety.h"

#include <atomic>
#include <cstddef>
#include <string>

struct ErrorTableEntry {
    int code;
    const char* format; // printf format with at most two %s
};

extern const ErrorTableEntry ErrorTable[];
extern const size_t ErrorTableSize;

// Error codes the engine raises itself.
enum OrrErrorCode : int {
    ORR_ERR_CREATE_OBJECT = -6527001,
    ORR_ERR_REENTRY = -6527002,
    ORR_ERR_INIT_OBJECT = -6527004,
    ORR_ERR_NO_CONNECTION = -6528001,
    ORR_ERR_GRACEFUL_CLOSE = -6528002,
    ORR_ERR_EMPTY_PORTS = -6528004,
    ORR_ERR_STILL_CLOSING = -6528005,
    ORR_ERR_HANDSHAKE = -6528006,
    ORR_ERR_NO_RESPONSE = -6528101,
    ORR_ERR_PLAY_OCCUPIED = -6528302,
    ORR_ERR_STOP_FAILED = -6528303,
};

// Raise with the position of the raising statement.
#define ORR_SET_ERROR(code, arg1, arg2) SetError((code), (arg1), (arg2), __FILE__, __LINE__)

// One raised error: what SetError records and SaveError, RestoreError and CopyError copy.
struct ErrorRecord {
    int code = 0;
    std::string arg1, arg2;
    int line = 0;
    std::string file; // base name of the raising source file
    std::string text; // the last text GetErrorText built
};

class OrrErrorHandler {
public:
    OrrErrorHandler();
    ~OrrErrorHandler() = default;
    OrrErrorHandler(const OrrErrorHandler&) = delete;
    OrrErrorHandler& operator=(const OrrErrorHandler&) = delete;

    virtual const char* GetErrorText() EXCLUDES(m_ErrLock);
    virtual int GetErrorCode();
    virtual void SaveError() EXCLUDES(m_ErrLock);
    virtual void RestoreError() EXCLUDES(m_ErrLock);
    virtual void CopyError(const OrrErrorHandler& other) EXCLUDES(m_ErrLock);
    virtual const char* GetErrorLocation() EXCLUDES(m_ErrLock);
    virtual void SetLogger(DebugLog* log);
    virtual DebugLog* GetLogger();

    // Records code, arguments (null counts as empty) and line under m_ErrLock, then
    // reports a negative code to the log.
    void SetError(int code, const char* arg1, const char* arg2, const char* sourceFile,
                  int sourceLine) EXCLUDES(m_ErrLock);
    const char* GetErrorLineText() EXCLUDES(m_ErrLock);
    // The error text as a copy, made under the lock: safe while other threads raise.
    std::string GetErrorTextCopy() EXCLUDES(m_ErrLock);

    // The message format of a table code, or null when the code is not in the table.
    static const char* FindErrorFormat(int code);

protected:
    // With m_ErrLock held: a negative code sets the file name and writes one ERROR line
    // "ErrorCode=%d -> %s"; 0 or more does nothing.
    void ReportError(const char* sourcePath) REQUIRES(m_ErrLock);
    const char* TextLocked() REQUIRES(m_ErrLock);
    const char* LocationLocked() REQUIRES(m_ErrLock);
    const char* LineTextLocked() REQUIRES(m_ErrLock);
    void Assign(const ErrorRecord& record) REQUIRES(m_ErrLock);

    RecursiveMutex m_ErrLock;
    std::atomic<int> m_nCode;
    ErrorRecord m_Record GUARDED_BY(m_ErrLock);
    ErrorRecord m_Saved GUARDED_BY(m_ErrLock);
    std::string m_strLine GUARDED_BY(m_ErrLock);
    std::string m_strLocation GUARDED_BY(m_ErrLock);
    DebugLog* m_pLogger;
    DebugLog m_OwnLog;
};
