#include "CpuPlacement.h"
#include "SmallFile.h"

#include <cctype>
#include <cstdlib>
#include <sched.h>
#include <string>
#include <sys/sysinfo.h>

namespace {

// A kernel file of at most 4 KiB; empty when it cannot be read.
std::string KernelFile(const std::string& path) {
    std::string text;
    SmallFile::Read(path, 4096, &text);
    return text;
}

} // namespace

int CpuPlacement::CountCpuList(const std::string& list) {
    const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    int count = 0;
    const char* p = list.c_str();
    while (digit(*p)) {
        char* end = nullptr;
        const long first = std::strtol(p, &end, 10);
        long last = first;
        if (*end == '-' && digit(end[1])) {
            last = std::strtol(end + 1, &end, 10);
        }
        if (last < first || last >= CPU_SETSIZE) {
            return 0;
        }
        count += int(last - first + 1);
        p = end;
        if (*p == ',' && digit(p[1])) {
            ++p;
        }
    }
    // A list ends at its newline or the end of the text; anything else is malformed.
    return count > 0 && (*p == '\0' || (*p == '\n' && p[1] == '\0')) ? count : 0;
}

namespace {

// The CPUs the process's cgroup (v2) lets it use, from the nearest cgroup that has a
// cpuset; 0 when that cannot be told.
int CpusetSize() {
    const std::string self = KernelFile("/proc/self/cgroup");
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
        const std::string list = KernelFile("/sys/fs/cgroup" + path + "/cpuset.cpus.effective");
        if (!list.empty()) {
            return CpuPlacement::CountCpuList(list);
        }
        if (path.empty() || path == "/") {
            return 0;
        }
    }
}

} // namespace

bool CpuPlacement::LeaveAsPlaced(int allowed, int online, int cpuset) {
    // Fewer CPUs than online: placed by whoever started us, unless the cpuset did it.
    return allowed <= 1 || (allowed < online && allowed != cpuset);
}

bool CpuPlacement::KeepOnStartingCpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        return false;
    }
    const int count = CPU_COUNT(&allowed);
    const int online = ::get_nprocs();
    // The cgroup's files are read only when they can matter.
    const int cpuset = count > 1 && count < online ? CpusetSize() : 0;
    if (LeaveAsPlaced(count, online, cpuset)) {
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
