// latency-launch: starts programs one run at a time and reports what each run cost.
//
//   latency-launch OUTDIR RUNS WARMUP NAME=PATH...
//
// Every program gets REQUEST_METHOD=GET and an empty QUERY_STRING (an empty GET request),
// with the Host and X-Requested-With headers a web server passes for the page's call, and
// writes its standard output to OUTDIR/NAME.out, rewritten for each run. The programs
// are run in rounds; round i starts with program (i mod count), so that each takes every
// position equally often. For each measured run one line goes to standard output:
//
//   NAME WALL_NS USER_US SYS_US MAXRSS_KIB EXIT SAME
//
// WALL_NS is from just before posix_spawn to the return of wait4; the other fields come
// from wait4's rusage; SAME is 1 when the run's output equals NAME's first warm-up output.
// This launcher is a small process on purpose: a child's peak RSS starts from the memory
// of the process that spawned it, so a large parent (an interpreter) would hide it.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Program {
    std::string name;
    std::string path;
    std::string outPath;
    std::string reference;
};

struct RunResult {
    int64_t wallNs;
    rusage usage;
    int exitCode;
    bool same;
};

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool ReadFile(const std::string& path, std::string* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        return false;
    }
    out->clear();
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        out->append(buffer, got);
    }
    std::fclose(f);
    return true;
}

bool RunOnce(Program& program, char* const* env, RunResult* result) {
    int fd = ::open(program.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::perror(program.outPath.c_str());
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    std::vector<char> pathCopy(program.path.begin(), program.path.end());
    pathCopy.push_back('\0');
    char* argv[] = {pathCopy.data(), nullptr};

    const int64_t start = NowNs();
    pid_t pid;
    int rc = posix_spawn(&pid, program.path.c_str(), &actions, nullptr, argv, env);
    int status = 0;
    if (rc == 0) {
        while (::wait4(pid, &status, 0, &result->usage) < 0 && errno == EINTR) {
        }
    }
    result->wallNs = NowNs() - start;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fd);
    if (rc != 0) {
        std::fprintf(stderr, "latency-launch: cannot start %s: %s\n", program.path.c_str(),
                     std::strerror(rc));
        return false;
    }
    result->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    std::string output;
    if (!ReadFile(program.outPath, &output)) {
        std::perror(program.outPath.c_str());
        return false;
    }
    if (program.reference.empty()) {
        program.reference = output;
    }
    result->same = output == program.reference;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: latency-launch OUTDIR RUNS WARMUP NAME=PATH...\n");
        return 2;
    }
    const std::string outDir = argv[1];
    const long runs = std::strtol(argv[2], nullptr, 10);
    const long warmup = std::strtol(argv[3], nullptr, 10);
    if (runs < 1 || warmup < 1) {
        std::fprintf(stderr, "latency-launch: RUNS and WARMUP must be at least 1\n");
        return 2;
    }
    std::vector<Program> programs;
    for (int i = 4; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (!eq || eq == argv[i] || eq[1] == '\0') {
            std::fprintf(stderr, "latency-launch: expected NAME=PATH, got %s\n", argv[i]);
            return 2;
        }
        Program program;
        program.name.assign(argv[i], size_t(eq - argv[i]));
        program.path = eq + 1;
        program.outPath = outDir + "/" + program.name + ".out";
        programs.push_back(program);
    }

    char envMethod[] = "REQUEST_METHOD=GET";
    char envQuery[] = "QUERY_STRING=";
    char envGateway[] = "GATEWAY_INTERFACE=CGI/1.1";
    char envPath[] = "PATH=/usr/bin:/bin";
    char envHost[] = "HTTP_HOST=127.0.0.1";
    char envRequestedWith[] = "HTTP_X_REQUESTED_WITH=screenreceiver";
    char* env[] = {envMethod, envQuery, envGateway, envPath, envHost, envRequestedWith, nullptr};

    RunResult result;
    for (long w = 0; w < warmup; ++w) {
        for (Program& program : programs) {
            if (!RunOnce(program, env, &result)) {
                return 1;
            }
        }
    }
    const size_t count = programs.size();
    for (long round = 0; round < runs; ++round) {
        for (size_t k = 0; k < count; ++k) {
            Program& program = programs[(size_t(round) + k) % count];
            if (!RunOnce(program, env, &result)) {
                return 1;
            }
            std::printf("%s %lld %lld %lld %ld %d %d\n", program.name.c_str(),
                        static_cast<long long>(result.wallNs),
                        static_cast<long long>(result.usage.ru_utime.tv_sec) * 1000000 +
                            result.usage.ru_utime.tv_usec,
                        static_cast<long long>(result.usage.ru_stime.tv_sec) * 1000000 +
                            result.usage.ru_stime.tv_usec,
                        result.usage.ru_maxrss, result.exitCode, result.same ? 1 : 0);
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
