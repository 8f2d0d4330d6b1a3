// OrrErrorHandler: the last error of one client object, and the table of error messages.
//
// Keeps a numeric code (negative = error), two text arguments and the source position of
// the statement that raised it, and turns that record into a readable text from
// ErrorTable (or strerror for negated errno values). Every negative raise is written to
// the object's debug log at ERROR level.
//
// Owns: m_OwnLog, the handler's own (initially closed) log; m_pLogger points to it
// unless SetLogger names another log, which the handler does not own.
// Locking: m_ErrLock (recursive) guards the record; it is taken before the log's lock,
// never after. m_nCode is atomic because GetErrorCode reads it without the lock.
#pragma once

#include "DebugLog.h"

#include <atomic>
#include <boost/thread/recursive_mutex.hpp>
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

class OrrErrorHandler {
public:
    OrrErrorHandler();
    ~OrrErrorHandler() = default;
    OrrErrorHandler(const OrrErrorHandler&) = delete;
    OrrErrorHandler& operator=(const OrrErrorHandler&) = delete;

    virtual const char* GetErrorText();
    virtual int GetErrorCode();
    virtual void SaveError();
    virtual void RestoreError();
    virtual void CopyError(const OrrErrorHandler& other);
    virtual const char* GetErrorLocation();
    virtual void SetLogger(DebugLog* log);
    virtual DebugLog* GetLogger();

    // Records code, arguments (null counts as empty) and line under m_ErrLock, then
    // reports a negative code to the log.
    void SetError(int code, const char* arg1, const char* arg2, const char* sourceFile,
                  int sourceLine);
    // For callers holding m_ErrLock: a negative code sets the file name and writes one
    // ERROR line "ErrorCode=%d -> %s"; 0 or more does nothing.
    void ReportError(const char* sourcePath);
    const char* GetErrorLineText();

    // The message format of a table code, or null when the code is not in the table.
    static const char* FindErrorFormat(int code);

protected:
    std::atomic<int> m_nCode;
    int m_nSavedCode;
    std::string m_strText;
    std::string m_strArg1;
    std::string m_strArg2;
    std::string m_strSavedText;
    std::string m_strSavedArg1;
    std::string m_strSavedArg2;
    int m_nLine;
    int m_nSavedLine;
    std::string m_strFile;
    std::string m_strLine;
    std::string m_strSavedFile;
    std::string m_strSavedLine;
    std::string m_strLocation;
    DebugLog* m_pLogger;
    DebugLog m_OwnLog;
    boost::recursive_mutex m_ErrLock;
};
