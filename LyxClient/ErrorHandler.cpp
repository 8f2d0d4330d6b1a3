#include "ErrorHandler.h"

#include "TextConv.h"

#include <cstdio>
#include <cstring>

namespace lyx {

// The codes the engine raises itself go by their names (ErrorHandler.h), the rest by number.
const ErrorTableEntry ErrorTable[] = {
    {ORR_ERR_CREATE_OBJECT, "Failed to create object: %s"},
    {ORR_ERR_REENTRY, "Function reentry is not allowed: %s"},
    {-6527003, "Out of memory! Failed to allocate %s bytes memory."},
    {ORR_ERR_INIT_OBJECT, "Failed to init object: %s"},
    {-6527005, "Receiver version is too old to support this operation: %s"},
    {ORR_ERR_NO_CONNECTION, "No TCP connection could be built to IP:%s Port:%s"},
    {ORR_ERR_GRACEFUL_CLOSE, "The connection has been gracefully closed."},
    {ORR_ERR_EMPTY_PORTS,
     "It's invliad to specify empty port number vector (vecPort) to OpenConnect()."},
    {ORR_ERR_STILL_CLOSING,
     "Previous network thread is still busy at closing itself, please wait a moment "
     "then retry."},
    {ORR_ERR_HANDSHAKE,
     "It's OK to build connection, but server handshake was failed. This problem is "
     "probably caused by anti-virus or firewall software."},
    {ORR_ERR_NO_RESPONSE, "%s command failed to receive response packet within %s seconds."},
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
    {ORR_ERR_PLAY_OCCUPIED, "Unable to start play image due to device is occupied."},
    {ORR_ERR_STOP_FAILED, "Device returned fail on stopping play image."},
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

} // namespace lyx

using lyx::BaseName;
using lyx::ErrorRecord;
using lyx::ErrorTable;
using lyx::ErrorTableSize;
using lyx::RecursiveGuard;
using lyx::TextConv;

namespace {

// Formats a table message with its (at most two) %s directives filled from the arguments,
// into a buffer of 1024 bytes: a longer result is cut, never written past the buffer.
std::string FormatTableMessage(const char* format, const std::string& arg1,
                               const std::string& arg2) {
    char buffer[1024];
    std::snprintf(buffer, sizeof(buffer), format, arg1.c_str(), arg2.c_str());
    return buffer;
}
} // namespace

OrrErrorHandler::OrrErrorHandler() : m_nCode(0), m_pLogger(&m_OwnLog) {}

const char* OrrErrorHandler::FindErrorFormat(int code) {
    for (size_t i = 0; i < ErrorTableSize; ++i) {
        if (ErrorTable[i].code == code) {
            return ErrorTable[i].format;
        }
    }
    return nullptr;
}

const char* OrrErrorHandler::GetErrorText() {
    RecursiveGuard lock(m_ErrLock);
    return TextLocked();
}

std::string OrrErrorHandler::GetErrorTextCopy() {
    RecursiveGuard lock(m_ErrLock);
    return TextLocked();
}

const char* OrrErrorHandler::TextLocked() {
    ErrorRecord& r = m_Record;
    if (r.code >= 0) {
        r.text = "OK";
    } else if (const char* format = FindErrorFormat(r.code)) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        r.text = FormatTableMessage(format, r.arg1, r.arg2);
#pragma GCC diagnostic pop
    } else {
        // Not a table code: a negated errno value. INT_MIN cannot be negated; treat as
        // an unknown error number rather than overflow.
        int err = r.code == INT32_MIN ? 0 : -r.code;
        r.text = std::strerror(err);
        r.text += r.arg1;
    }
    r.text += " [";
    r.text += LocationLocked();
    r.text += "]";
    return r.text.c_str();
}

int OrrErrorHandler::GetErrorCode() {
    return m_nCode;
}

void OrrErrorHandler::Assign(const ErrorRecord& record) {
    m_Record = record;
    m_nCode = record.code;
}

void OrrErrorHandler::SaveError() {
    RecursiveGuard lock(m_ErrLock);
    m_Saved = m_Record;
}

void OrrErrorHandler::RestoreError() {
    RecursiveGuard lock(m_ErrLock);
    Assign(m_Saved);
}

void OrrErrorHandler::CopyError(const OrrErrorHandler& other) {
    if (&other == this) {
        return;
    }
    // One lock at a time: two handlers copying from each other cannot deadlock.
    ErrorRecord copy;
    {
        OrrErrorHandler& source = const_cast<OrrErrorHandler&>(other);
        RecursiveGuard lock(source.m_ErrLock);
        copy = source.m_Record;
    }
    RecursiveGuard lock(m_ErrLock);
    Assign(copy);
}

const char* OrrErrorHandler::GetErrorLocation() {
    RecursiveGuard lock(m_ErrLock);
    return LocationLocked();
}

const char* OrrErrorHandler::LocationLocked() {
    m_strLocation = m_Record.file;
    m_strLocation += ":";
    m_strLocation += LineTextLocked();
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
    RecursiveGuard lock(m_ErrLock);
    m_Record.code = code;
    m_Record.arg1 = arg1 ? arg1 : "";
    m_Record.arg2 = arg2 ? arg2 : "";
    m_Record.line = sourceLine;
    m_nCode = code;
    ReportError(sourceFile);
}

void OrrErrorHandler::ReportError(const char* sourcePath) {
    if (m_Record.code >= 0) {
        return;
    }
    TextConv file(BaseName(sourcePath));
    m_Record.file = file.ToNarrow();
    DebugLog* log = m_pLogger;
    if (log == nullptr || !log->IsEnabled()) {
        return; // nothing to write; skip building the text
    }
    TextConv text(TextLocked());
    log->WriteRaw(DL_ERROR, "ErrorCode=%d -> %s", m_Record.code, text.ToNarrow());
}

const char* OrrErrorHandler::GetErrorLineText() {
    RecursiveGuard lock(m_ErrLock);
    return LineTextLocked();
}

const char* OrrErrorHandler::LineTextLocked() {
    m_strLine = std::to_string(m_Record.line);
    return m_strLine.c_str();
}
