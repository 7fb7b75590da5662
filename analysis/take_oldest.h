// How the readers of traces and of the line hand out what they have
// finished: the oldest first, each once.
#ifndef DAVODEV_KIVHOST_TAKE_OLDEST_H
#define DAVODEV_KIVHOST_TAKE_OLDEST_H

#include <deque>
#include <utility>

namespace kivhost {

// Moves the oldest into *out; false when there is none.
template <typename T>
bool TakeOldest(std::deque<T>& done, T* out)
{
    if (done.empty())
        return false;
    *out = std::move(done.front());
    done.pop_front();
    return true;
}

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_TAKE_OLDEST_H
