#include "ErrorHandler.h"

#include "TextConv.h"

#include <boost/thread/lock_guard.hpp>
#include <cstdio>
#include <cstring>

const ErrorTableEntry ErrorTable[] = {
    {-6527001, "Failed to create object: %s"},
    {-6527002, "Function reentry is not allowed: %s"},
    {-6527003, "Out of memory! Failed to allocate %s bytes memory."},
    {-6527004, "Failed to init object: %s"},
    {-6527005, "Receiver version is too old to support this operation: %s"},
    {-6528001, "No TCP connection could be built to IP:%s Port:%s"},
    {-6528002, "The connection has been gracefully closed."},
    {-6528004, "It's invliad to specify empty port number vector (vecPort) to OpenConnect()."},
    {-6528005, "Previous network thread is still busy at closing itself, please wait a moment "
               "then retry."},
    {-6528006, "It's OK to build connection, but server handshake was failed. This problem is "
               "probably caused by anti-virus or firewall software."},
    {-6528101, "%s command failed to receive response packet within %s seconds."},
    {-6528102, "Device ROLL aliveness message timeout."},
    {-6528103, "Device returned fail on getting video position."},
    {-6528105, "Device returned fail on getting video duration."},
    {-6528104, "Can't init any UDP broadcast socket between this port range: %s"},
    {-6528201, "Failed to open screen capture engine: %s"},
    {-6528202, "Failed to start screen capture engine."},
    {-6528203, "Already tried to send image block several times, but still failed."},
    {-6528205, "Failed to load JPEG encoder library."},
    {-6528206, "Failed to open jpeg file engine: %s"},
    {-6528207, "Failed to open H264 encoder library: %s"},
    {-6528301, "Login rejected. User name = %s, Password = %s"},
    {-6528302, "Unable to start play image due to device is occupied."},
    {-6528303, "Device returned fail on stopping play image."},
    {-6528304, "Device returned fail on playing video stream."},
    {-6528305, "No available inbound port could be found for video. Please check your firewall "
               "setting."},
    {-6528306, "MeraClient is disconnected."},
    {-6528307, "Device returned fail on stopping video stream."},
    {-6528308, "Device returned fail on pausing video stream."},
    {-6528309, "Device returned fail on setting video volume."},
    {-6528310, "Device returned fail on seeking video stream."},
    {-6528313, "Can't open video file: %s"},
    {-6528314, "Unsupported video file format."},
    {-6528315, "Internal error - Failed to convert video offset: %s"},
    {-6528316, "The projector is in the conference mode. Only the conference admin can assign "
               "someone to project."},
    {-6528317, "There is already a %s logged in."},
    {-6528318, "Device returned fail on hiding screen."},
    {-6528319, "Internal error - BackupAccel() failed."},
    {-6528320, "Failed to change Windows display setting for better projection performance: %s."},
    {-6528321, "Device returned fail on changing value -> name:%s, value:%s"},
    {-6528322, "Failed to create log file \"%s\""},
    {-6528323, "Device is busy. Can't play video at this moment."},
    {-6528324, "This program does not have JPEG encoder for device JPEG image requirement."},
    {-6528325, "File does not exist: %s"},
    {-6528326, "Receiver is too old to support network quality in prebuf mode."},
    {-6528401, "Unable to proceed this operation due to Pelta component is not installed."},
    {-6528402, "Internal error - no start function."},
    {-6528403, "Internal error - no stop function."},
    {-6528405, "Your Pelta version is too old to run this function. Please upgrade it!"},
    {-6528406, "Internal error - can't start Pelta."},
    {-6528501, "UlvoInit() failed at port: %s"},
    {-6528502, "UlvoShutdown() failed."},
    {-6528503, "UlvoRegister() failed to register file: %s"},
    {-6528504, "UlvoDeregister() failed to unregister file: %s"},
    {-6528505, "Video streaming server is not running."},
    {-6528506, "Video streaming server can not have multiple instances"},
    {-6528507, "Ulvo dll functions loading failure."},
    {-6528601, "UlvoTRegister() failed."},
    {-6528602, "UlvoTDeregister failed."},
    {-6528603, "UlvoT not enabled."},
    {-6528604, "UlvoT dll functions loading failure."},
    {-6528701, "No server socket can be bound successfully."},
    {-6528801, "Failed to build connection to the specified Sender address!"},
};
const size_t ErrorTableSize = sizeof(ErrorTable) / sizeof(ErrorTable[0]);

namespace {
typedef boost::lock_guard<boost::recursive_mutex> ErrGuard;

// Formats a table message with its (at most two) %s directives filled from the arguments,
// into a buffer of 1024 bytes: a longer result is cut, never written past the buffer.
std::string FormatTableMessage(const char* format, const std::string& arg1,
                               const std::string& arg2) {
    char buffer[1024];
    std::snprintf(buffer, sizeof(buffer), format, arg1.c_str(), arg2.c_str());
    return buffer;
}
} // namespace

OrrErrorHandler::OrrErrorHandler()
    : m_nCode(0), m_nSavedCode(0), m_nLine(0), m_nSavedLine(0), m_pLogger(&m_OwnLog) {}

const char* OrrErrorHandler::FindErrorFormat(int code) {
    for (size_t i = 0; i < ErrorTableSize; ++i) {
        if (ErrorTable[i].code == code) {
            return ErrorTable[i].format;
        }
    }
    return nullptr;
}

const char* OrrErrorHandler::GetErrorText() {
    ErrGuard lock(m_ErrLock);
    int code = m_nCode;
    if (code >= 0) {
        m_strText = "OK";
    } else if (const char* format = FindErrorFormat(code)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        m_strText = FormatTableMessage(format, m_strArg1, m_strArg2);
#pragma GCC diagnostic pop
    } else {
        // Not a table code: a negated errno value. INT_MIN cannot be negated; treat as
        // an unknown error number rather than overflow.
        int err = code == INT32_MIN ? 0 : -code;
        m_strText = std::strerror(err);
        m_strText += m_strArg1;
    }
    m_strText += " [";
    m_strText += GetErrorLocation();
    m_strText += "]";
    return m_strText.c_str();
}

int OrrErrorHandler::GetErrorCode() {
    return m_nCode;
}

void OrrErrorHandler::SaveError() {
    ErrGuard lock(m_ErrLock);
    m_nSavedCode = m_nCode;
    m_strSavedText = m_strText;
    m_strSavedArg1 = m_strArg1;
    m_strSavedArg2 = m_strArg2;
    m_nSavedLine = m_nLine;
    m_strSavedFile = m_strFile;
    m_strSavedLine = m_strLine;
}

void OrrErrorHandler::RestoreError() {
    ErrGuard lock(m_ErrLock);
    m_nCode = m_nSavedCode;
    m_strText = m_strSavedText;
    m_strArg1 = m_strSavedArg1;
    m_strArg2 = m_strSavedArg2;
    m_nLine = m_nSavedLine;
    m_strFile = m_strSavedFile;
    m_strLine = m_strSavedLine;
}

void OrrErrorHandler::CopyError(const OrrErrorHandler& other) {
    if (&other == this) {
        return;
    }
    ErrGuard lock(m_ErrLock);
    m_nCode = other.m_nCode.load();
    m_strText = other.m_strText;
    m_strArg1 = other.m_strArg1;
    m_strArg2 = other.m_strArg2;
    m_nLine = other.m_nLine;
    m_strFile = other.m_strFile;
    m_strLine = other.m_strLine;
}

const char* OrrErrorHandler::GetErrorLocation() {
    ErrGuard lock(m_ErrLock);
    m_strLocation = m_strFile;
    m_strLocation += ":";
    m_strLocation += GetErrorLineText();
    return m_strLocation.c_str();
}

void OrrErrorHandler::SetLogger(DebugLog* log) {
    m_pLogger = log;
}

DebugLog* OrrErrorHandler::GetLogger() {
    return m_pLogger;
}

void OrrErrorHandler::SetError(int code, const char* arg1, const char* arg2, const char* sourceFile,
                               int sourceLine) {
    ErrGuard lock(m_ErrLock);
    m_nCode = code;
    m_strArg1 = arg1 ? arg1 : "";
    m_strArg2 = arg2 ? arg2 : "";
    m_nLine = sourceLine;
    ReportError(sourceFile);
}

void OrrErrorHandler::ReportError(const char* sourcePath) {
    if (GetErrorCode() >= 0) {
        return;
    }
    TextConv file(BaseName(sourcePath));
    m_strFile = file.ToNarrow();
    DebugLog* log = m_pLogger;
    if (log == nullptr || !log->IsEnabled()) {
        return; // nothing to write; skip building the text
    }
    TextConv text(GetErrorText());
    log->WriteRaw(DL_ERROR, "ErrorCode=%d -> %s", GetErrorCode(), text.ToNarrow());
}

const char* OrrErrorHandler::GetErrorLineText() {
    ErrGuard lock(m_ErrLock);
    m_strLine = std::to_string(m_nLine);
    return m_strLine.c_str();
}
