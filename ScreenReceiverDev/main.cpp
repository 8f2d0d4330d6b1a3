// The CGI program: one run per request. Connects to the local screen-receiver service,
// fetches the sender list, carries out the actions the request names, fetches the list
// again and prints it as XML.
#include "AccessGate.h"
#include "CgiFrontEnd.h"
#include "CpuPlacement.h"
#include "PasswordFile.h"
#include "RequestGuard.h"
#include "ScreenReceiverStub.h"
#include "StateFolder.h"
#include "XmlReplyWriter.h"
#include "getcgivars.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Exit code when the service cannot be reached; the reply is then empty.
constexpr int kNoConnection = -10;

// ---- the run log -------------------------------------------------------------------
// Off unless the web server passes SCREENRECEIVER_LOG, the file to append to, and then
// SCREENRECEIVER_LOG_LEVEL (a DebugLog level: 300 errors only, 600 connects, commands and
// answers too, 700 everything; default 600). Departure: the program never opened the
// engine's log before; without the variable it still does not.
//
// The engine's log writes to stderr when opened without a path, and formats each line
// under its lock and flushes it. stderr is pointed at the stream below while the log is
// on: it hands every whole line to one write() on an O_APPEND descriptor, prefixed with
// the process id, so the lines of concurrent runs never interleave.
constexpr int kDefaultLogLevel = DL_INFO;

struct LineSink {
    int fd;
    std::string pending;
};

ssize_t WriteLines(void* cookie, const char* data, size_t size) {
    LineSink* sink = static_cast<LineSink*>(cookie);
    sink->pending.append(data, size);
    size_t start = 0;
    for (size_t end; (end = sink->pending.find('\n', start)) != std::string::npos;
         start = end + 1) {
        const std::string line =
            "[" + std::to_string(getpid()) + "] " + sink->pending.substr(start, end + 1 - start);
        // Write errors are ignored, as the log ignores them on a file.
        if (write(sink->fd, line.data(), line.size()) < 0) {
            break;
        }
    }
    sink->pending.erase(0, start);
    return static_cast<ssize_t>(size);
}

// Opens `log` on the file SCREENRECEIVER_LOG names, if any. A file that cannot be opened
// leaves the log off and says so once on the server's error log (our stderr).
void OpenRunLog(DebugLog* log) {
    const char* path = std::getenv("SCREENRECEIVER_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        std::fprintf(stderr, "screenreceiver.cgi: cannot open the log %s: %s\n", path,
                     std::strerror(errno));
        return;
    }
    static LineSink sink{fd, {}};
    FILE* stream =
        fopencookie(&sink, "w", cookie_io_functions_t{nullptr, WriteLines, nullptr, nullptr});
    if (stream == nullptr) {
        close(fd);
        return;
    }
    stderr = stream;
    const char* level = std::getenv("SCREENRECEIVER_LOG_LEVEL");
    char* end = nullptr;
    long maxLevel = level ? std::strtol(level, &end, 10) : kDefaultLogLevel;
    if (level != nullptr && (end == level || *end != '\0')) {
        maxLevel = kDefaultLogLevel;
    }
    log->Open(nullptr, static_cast<int>(maxLevel), 1);
    const char* method = std::getenv("REQUEST_METHOD");
    log->WriteRaw(DL_INFO, "run: %s request, log level %ld", method ? method : "no", maxLevel);
}

// Reads and drops the body of a refused request, within the guard's size limit: a server
// that streams the body to the program (Apache's mod_cgid) holds the reply back until the
// body has been taken.
void DropBody() {
    const char* length = std::getenv("CONTENT_LENGTH");
    long long left = length != nullptr ? ParseCgiDecimal(length) : 0;
    if (left > RequestGuard::kMaxContentLength) {
        return;
    }
    char buffer[512];
    while (left > 0) {
        const ssize_t got = read(STDIN_FILENO, buffer, std::min<long long>(left, sizeof(buffer)));
        if (got <= 0) {
            break;
        }
        left -= got;
    }
}

const char* GetEnv(const char* name) {
    return std::getenv(name);
}

// Moderator access on a box with a password: the request is read first (the service is
// contacted only for a valid session), then the gate decides. Returns true when the run
// goes on as a list request; `vars` then holds the variables left and `headers` the lines
// the reply's header starts with. Otherwise the reply is written and `*exitCode` set.
bool PassModeratorAccess(const PasswordRecord& password, char*** vars, std::string* headers,
                         int* exitCode) {
    CgiParseResult parsed = ParseCgiRequest(
        GetEnv, [](char* dest, size_t count) { return std::fread(dest, 1, count, stdin); });
    AccessDecision decision;
    if (parsed.error != CgiError::None) {
        decision.reply = AccessGate::PlainReply("400 Bad Request", AccessGate::kNoStore,
                                                CgiErrorMessage(parsed.error));
        decision.exitCode = 1;
    } else {
        const AccessGate gate(
            StateFolder::DefaultPath(GetEnv("SCREENRECEIVER_STATE")),
            [] { return static_cast<int64_t>(std::time(nullptr)); },
            [](unsigned seconds) { sleep(seconds); });
        decision = gate.Decide(GetEnv, password, &parsed.variables);
    }
    if (!decision.proceed) {
        std::fputs(decision.reply.c_str(), stdout);
        *exitCode = decision.exitCode;
        return false;
    }
    *vars = ToCgiVarArray(parsed.variables);
    if (*vars == nullptr) {
        FailCgiRequest(CgiError::BodyAllocation);
    }
    *headers = decision.headers;
    return true;
}

} // namespace

int main() {
    // One malloc arena for the whole process: the engine's two short-lived threads would
    // otherwise each map an arena of their own, which costs more than it saves in a run
    // this short.
    mallopt(M_ARENA_MAX, 1);

    DebugLog runLog; // outlives the stub, whose threads write to it until they end
    OpenRunLog(&runLog);

    // Departure: a request through a web server is checked before the service is contacted.
    // Departure: that check reads our one configuration, the box's names (RequestGuard.h).
    const GuardVerdict verdict = RequestGuard::CheckProcess();
    if (!verdict.Allowed()) {
        if (runLog.IsEnabled()) {
            runLog.WriteRaw(DL_WARN, "run: refused with %d: %s", verdict.status, verdict.text);
        }
        std::fputs(RequestGuard::RefusalReply(verdict).c_str(), stdout);
        if (verdict.rule != GuardRule::Size) {
            DropBody();
        }
        return 1;
    }

    // Extension: a password file, read on every run (missing: no password, nothing changes).
    PasswordRecord password;
    const int passwordRead =
        PasswordFile::Read(PasswordFile::Path(GetEnv("SCREENRECEIVER_ETC")), &password);
    const std::string noStore = passwordRead < 0 || password.Set() ? AccessGate::kNoStore : "";
    const char* status = nullptr;
    const char* text = nullptr;
    // Extension: SCREENRECEIVER_REQUIRE_HTTPS=1 (a server's plain-HTTP side) refuses plain HTTP.
    if (AccessGate::RefusesPlainHttp(GetEnv)) {
        status = "403 Forbidden";
        text = "Refused: use the https:// address of this device.";
    } else if (passwordRead < 0) {
        // A password that cannot be read must not leave the box open.
        status = "503 Service Unavailable";
        text = "Refused: the password file cannot be read.";
    }
    if (status != nullptr) {
        std::fputs(AccessGate::PlainReply(status, noStore, text).c_str(), stdout);
        DropBody();
        return 1;
    }
    // Extension: with a password set, only a session (or a sign-in) reaches the service.
    static char** vars = nullptr;
    std::string sessionHeaders;
    if (password.Set()) {
        int exitCode = 0;
        if (!PassModeratorAccess(password, &vars, &sessionHeaders, &exitCode)) {
            return exitCode;
        }
    }

    CpuPlacement::KeepOnStartingCpu(); // the engine's threads start and hand over on one CPU
    ScreenReceiverStub stub;
    stub.SetLogger(&runLog);
    if (stub.ConnectToReceiver() < 0) {
        if (runLog.IsEnabled()) {
            runLog.WriteRaw(DL_ERROR, "run: no connection to the service (%d: %s); empty reply",
                            stub.GetErrorCode(), stub.GetErrorText());
        }
        return kNoConnection;
    }

    XmlReplyWriter reply(stdout);
    std::fputs(sessionHeaders.c_str(), stdout);
    reply.WriteHeader();

    // Indices in the request refer to this first list. Command results are not reported:
    // the reply has no element for them.
    std::vector<SenderRecord> senders;
    stub.GetNonLocalSenderList(&senders);

    // Ends the process with its own error block (after the header) on a rejected request.
    // The variables are never freed: they live until the process ends, held by a static so
    // that they stay reachable to the end. Behind a password they were read already.
    if (vars == nullptr) {
        vars = getcgivars();
    }

    for (const CgiFrontEnd::Action& action : CgiFrontEnd::PlanActions(vars, senders)) {
        switch (action.kind) {
        case CgiFrontEnd::Action::kStart:
            stub.StartPlayImage(action.id, action.frame);
            break;
        case CgiFrontEnd::Action::kStop:
            stub.StopPlayImage(action.id);
            break;
        case CgiFrontEnd::Action::kQuit:
            // Logging out ends the reply right after "<return>".
            stub.QuitConfCtrl();
            return 0;
        }
    }

    stub.GetNonLocalSenderList(&senders);
    reply.WriteSenderList(senders);
    return 0;
}
