// Engine threads: creation at the real-time priority the engine asks for, and the
// kernel id a thread logs. Plain functions; the caller owns the thread it gets.
#pragma once

#include <boost/function.hpp>
#include <boost/thread/thread.hpp>

namespace lyx {

// The kernel's id of the calling thread.
int CurrentTid();
// SCHED_RR at priority 9 for thread tid; false when the system refuses.
bool SetRealtimePriority(int tid);
// A new thread running body, started at SCHED_RR priority 9 where the system allows it
// and like any other thread where it does not. Throws as boost::thread does.
boost::thread* NewEngineThread(const boost::function<void()>& body);

} // namespace lyx
