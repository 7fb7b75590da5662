// Work run on a thread with a small stack, as a service's threads may have:
// a parse that recurses with its input's depth fails in the checks, not in
// the field.
#ifndef DAVODEV_TESTS_SMALL_STACK_H
#define DAVODEV_TESTS_SMALL_STACK_H

#include <pthread.h>

#include <cstddef>
#include <functional>

constexpr size_t SMALL_STACK = 1024 * 1024;

// False when no such thread could be started; the work has run otherwise.
inline bool RunOnSmallStack(const std::function<void()>& work, size_t stackBytes = SMALL_STACK)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackBytes);
    pthread_t thread;
    const bool started = pthread_create(
                             &thread, &attributes,
                             [](void* raw) -> void* {
                                 (*static_cast<const std::function<void()>*>(raw))();
                                 return nullptr;
                             },
                             const_cast<std::function<void()>*>(&work)) == 0;
    pthread_attr_destroy(&attributes);
    if (started)
        pthread_join(thread, nullptr);
    return started;
}

#endif  // DAVODEV_TESTS_SMALL_STACK_H
