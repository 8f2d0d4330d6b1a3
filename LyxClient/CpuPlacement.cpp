#include "CpuPlacement.h"

#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace lyx {

namespace {

// The start of a small kernel file (at most 4 KiB); empty when it cannot be read.
std::string ReadSmallFile(const std::string& path) {
    char buffer[4096];
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::string();
    }
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    ::close(fd);
    return got > 0 ? std::string(buffer, size_t(got)) : std::string();
}

// The number of CPUs in a kernel CPU list ("0-3,6\n"); 0 when it is malformed.
int CountCpuList(const std::string& list) {
    int count = 0;
    const char* p = list.c_str();
    while (*p != '\0' && *p != '\n') {
        char* end = nullptr;
        const long first = std::strtol(p, &end, 10);
        long last = first;
        if (end != p && *end == '-') {
            p = end + 1;
            last = std::strtol(p, &end, 10);
        }
        if (end == p || first < 0 || last < first || last >= CPU_SETSIZE) {
            return 0;
        }
        count += int(last - first + 1);
        p = *end == ',' ? end + 1 : end;
        if (*p != '\0' && *p != '\n' && !std::isdigit(static_cast<unsigned char>(*p))) {
            return 0;
        }
    }
    return count;
}

// The CPUs the process's cgroup (v2) lets it use, from the nearest cgroup that has a
// cpuset; 0 when that cannot be told.
int CpusetSize() {
    const std::string self = ReadSmallFile("/proc/self/cgroup");
    const size_t at = self.compare(0, 3, "0::") == 0 ? 0 : self.find("\n0::");
    if (at == std::string::npos) {
        return 0;
    }
    const size_t begin = self.find("::", at) + 2;
    std::string path = self.substr(begin, self.find('\n', begin) - begin);
    if (path.empty() || path[0] != '/') {
        return 0;
    }
    for (;; path.erase(path.rfind('/'))) {
        const std::string list = ReadSmallFile("/sys/fs/cgroup" + path + "/cpuset.cpus.effective");
        if (!list.empty()) {
            return CountCpuList(list);
        }
        if (path.empty() || path == "/") {
            return 0;
        }
    }
}

} // namespace

bool KeepOnStartingCpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        return false;
    }
    const int count = CPU_COUNT(&allowed);
    // Fewer CPUs than online: placed by whoever started us, unless the cpuset did it.
    if (count <= 1 || (count < ::get_nprocs() && count != CpusetSize())) {
        return false;
    }
    const int cpu = ::sched_getcpu();
    if (cpu < 0 || cpu >= CPU_SETSIZE || !CPU_ISSET(cpu, &allowed)) {
        return false;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return ::sched_setaffinity(0, sizeof(one), &one) == 0;
}

} // namespace lyx
