// Windows: the thread, lock and condition variable of the simulator on the
// system's own (a slim reader/writer lock, a condition variable, a thread
// handle), for a toolchain whose standard library has none. Only what the
// simulator uses; std::lock_guard and std::unique_lock take them as they are.
#ifndef DAVODEV_PLCSIM_SIM_THREADS_WIN_H
#define DAVODEV_PLCSIM_SIM_THREADS_WIN_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

namespace plcsim {

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    bool try_lock();
    void unlock();

private:
    friend class ConditionVariable;
    void* lock_ = nullptr;  // an SRWLOCK, which is one pointer, initially null
};

class ConditionVariable {
public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable&) = delete;
    ConditionVariable& operator=(const ConditionVariable&) = delete;
    void notify_all();

    template <typename Rep, typename Period, typename Predicate>
    bool wait_for(std::unique_lock<Mutex>& lock, std::chrono::duration<Rep, Period> timeout, Predicate ready)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!ready()) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= left.zero())
                return ready();
            // Rounded up: a wait never ends before its deadline.
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            Wait(*lock.mutex(), static_cast<uint32_t>(std::min<int64_t>(ms, 0x7FFFFFFF)));
        }
        return true;
    }

private:
    void Wait(Mutex& mutex, uint32_t ms);
    void* condition_ = nullptr;  // a CONDITION_VARIABLE, one pointer, initially null
};

// Runs its body on a new thread; must be joined before it is destroyed or
// replaced, as std::thread must.
class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void()> body);  // throws std::system_error
    ~Thread();
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;

    bool joinable() const { return handle_ != nullptr; }
    void join();

private:
    void* handle_ = nullptr;
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_SIM_THREADS_WIN_H
