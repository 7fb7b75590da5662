#include "sim/sim_threads.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <process.h>
#include <windows.h>

#include <exception>
#include <memory>
#include <system_error>

namespace plcsim {
namespace {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*));

PSRWLOCK Native(void*& lock)
{
    return reinterpret_cast<PSRWLOCK>(&lock);
}

unsigned __stdcall RunBody(void* argument)
{
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    try {
        (*body)();
    } catch (...) {
        std::terminate();  // as an exception leaving a std::thread's body does
    }
    return 0;
}

}  // namespace

void Mutex::lock()
{
    AcquireSRWLockExclusive(Native(lock_));
}

bool Mutex::try_lock()
{
    return TryAcquireSRWLockExclusive(Native(lock_)) != 0;
}

void Mutex::unlock()
{
    ReleaseSRWLockExclusive(Native(lock_));
}

void ConditionVariable::notify_all()
{
    WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&condition_));
}

void ConditionVariable::Wait(Mutex& mutex, uint32_t ms)
{
    // A time-out or a spurious wake alike: the caller looks at its predicate.
    SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&condition_), Native(mutex.lock_), ms, 0);
}

Thread::Thread(std::function<void()> body)
{
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    // _beginthreadex rather than CreateThread: the C runtime is used on it.
    const uintptr_t handle = _beginthreadex(nullptr, 0, RunBody, owned.get(), 0, nullptr);
    if (handle == 0)
        throw std::system_error(errno, std::generic_category(), "starting the serving thread");
    owned.release();  // the thread's now
    handle_ = reinterpret_cast<void*>(handle);
}

Thread::~Thread()
{
    if (joinable())
        std::terminate();
}

Thread::Thread(Thread&& other) noexcept : handle_(other.handle_)
{
    other.handle_ = nullptr;
}

Thread& Thread::operator=(Thread&& other) noexcept
{
    if (joinable())
        std::terminate();
    handle_ = other.handle_;
    other.handle_ = nullptr;
    return *this;
}

void Thread::join()
{
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
}

}  // namespace plcsim
