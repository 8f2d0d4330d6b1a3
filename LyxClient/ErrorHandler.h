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

namespace lyx {

struct ErrorTableEntry {
    int code;
    const char* format; // printf format with at most two %s
};

extern const ErrorTableEntry ErrorTable[];
extern const size_t ErrorTableSize;

} // namespace lyx

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
#define LYX_SET_ERROR(code, arg1, arg2) this->SetError((code), (arg1), (arg2), __FILE__, __LINE__)

namespace lyx {

// One raised error: what SetError records and SaveError, RestoreError and CopyError copy.
struct ErrorRecord {
    int code = 0;
    std::string arg1, arg2;
    int line = 0;
    std::string file; // base name of the raising source file
    std::string text; // the last text GetErrorText built
};

} // namespace lyx

class OrrErrorHandler {
public:
    OrrErrorHandler();
    ~OrrErrorHandler() = default;
    OrrErrorHandler(const OrrErrorHandler&) = delete;
    OrrErrorHandler& operator=(const OrrErrorHandler&) = delete;

    virtual const char* GetErrorText() LYX_EXCLUDES(m_ErrLock);
    virtual int GetErrorCode();
    virtual void SaveError() LYX_EXCLUDES(m_ErrLock);
    virtual void RestoreError() LYX_EXCLUDES(m_ErrLock);
    virtual void CopyError(const OrrErrorHandler& other) LYX_EXCLUDES(m_ErrLock);
    virtual const char* GetErrorLocation() LYX_EXCLUDES(m_ErrLock);
    virtual void SetLogger(DebugLog* log);
    virtual DebugLog* GetLogger();

    // Records code, arguments (null counts as empty) and line under m_ErrLock, then
    // reports a negative code to the log.
    void SetError(int code, const char* arg1, const char* arg2, const char* sourceFile,
                  int sourceLine) LYX_EXCLUDES(m_ErrLock);
    const char* GetErrorLineText() LYX_EXCLUDES(m_ErrLock);
    // The error text as a copy, made under the lock: safe while other threads raise.
    std::string GetErrorTextCopy() LYX_EXCLUDES(m_ErrLock);

    // The message format of a table code, or null when the code is not in the table.
    static const char* FindErrorFormat(int code);

protected:
    // With m_ErrLock held: a negative code sets the file name and writes one ERROR line
    // "ErrorCode=%d -> %s"; 0 or more does nothing.
    void ReportError(const char* sourcePath) LYX_REQUIRES(m_ErrLock);
    const char* TextLocked() LYX_REQUIRES(m_ErrLock);
    const char* LocationLocked() LYX_REQUIRES(m_ErrLock);
    const char* LineTextLocked() LYX_REQUIRES(m_ErrLock);
    void Assign(const lyx::ErrorRecord& record) LYX_REQUIRES(m_ErrLock);

    lyx::RecursiveMutex m_ErrLock;
    std::atomic<int> m_nCode;
    lyx::ErrorRecord m_Record LYX_GUARDED_BY(m_ErrLock);
    lyx::ErrorRecord m_Saved LYX_GUARDED_BY(m_ErrLock);
    std::string m_strLine LYX_GUARDED_BY(m_ErrLock);
    std::string m_strLocation LYX_GUARDED_BY(m_ErrLock);
    DebugLog* m_pLogger;
    DebugLog m_OwnLog;
};
