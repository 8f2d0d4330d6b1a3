// CpuPlacement: keeps a short-lived process on the CPU it started on. A run of the CGI
// program hands every answer from the receive thread to the main thread; on a VM, waking a
// thread on the other virtual CPU costs far more than running both on one, and a run is
// too short to gain from a second CPU. Called once, before the engine starts its threads
// (they inherit the mask). A run whose CPU set was narrowed by whoever started it (taskset,
// a service's CPUAffinity) is left where it was put. Plain functions; no state, no lock.
#pragma once

namespace lyx {

// Pins the calling thread, and so the threads it starts later, to the CPU it runs on.
// Does nothing when the CPUs allowed are already fewer than those online, unless exactly
// the cgroup's cpuset narrowed them (a container), or when a system call fails. True when
// it pinned.
bool KeepOnStartingCpu();

} // namespace lyx
