// CpuPlacement: keeps a run of the program on the CPU it started on. A run hands every
// answer from the engine's receive thread to the main thread, and starts and joins both
// engine threads; on a VM, waking or starting a thread on the other virtual CPU costs far
// more than doing it on the same one, and a run lasts too short a time to gain from a
// second CPU. Called once, before the engine starts its threads (they inherit the mask).
// A run whose CPUs were narrowed by whoever started it (taskset, a service's CPUAffinity)
// is left where it was put. Static functions only; no state, no lock.
#pragma once

#include <string>

class CpuPlacement {
public:
    // Pins the calling thread, and so the threads it starts later, to the CPU it runs on.
    // Does nothing when the CPUs allowed are already fewer than those online, unless
    // exactly the cgroup's cpuset narrowed them (a container), or when a system call
    // fails. True when it pinned.
    static bool KeepOnStartingCpu();

    // The rule it applies: true (leave the run where it is) when it may use one CPU only,
    // or fewer than the online CPUs and not exactly its cgroup's cpuset (0: unknown).
    static bool LeaveAsPlaced(int allowed, int online, int cpuset);

    // The number of CPUs in a kernel CPU list ("0-3,6\n" is 5); 0 when it is malformed.
    static int CountCpuList(const std::string& list);
};
