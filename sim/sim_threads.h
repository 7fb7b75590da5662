// The simulator's thread, locks and waits. Where the standard library has
// them they are its own; the 32-bit Windows toolchain's library has none
// (its thread model is win32), so there they are the system's, with the
// few members the simulator uses.
#ifndef DAVODEV_PLCSIM_SIM_THREADS_H
#define DAVODEV_PLCSIM_SIM_THREADS_H

#if defined(_WIN32)
#include "sim/sim_threads_win.h"
#else
#include <condition_variable>
#include <mutex>
#include <thread>

namespace plcsim {
using Mutex = std::mutex;
using ConditionVariable = std::condition_variable;
using Thread = std::thread;
}  // namespace plcsim
#endif

#endif  // DAVODEV_PLCSIM_SIM_THREADS_H
