// The mirror: a second pseudo-terminal on which every byte of the line
// appears in time order, requests and replies alike, as a listening adapter
// on a bus sees them. Its reader never holds the line up.
#ifndef DAVODEV_PLCSIM_LINE_MIRROR_H
#define DAVODEV_PLCSIM_LINE_MIRROR_H

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "common/tty_line.h"
#include "sim/sim_threads.h"

namespace plcsim {

class LineMirror {
public:
    // link: where the mirror is linked; empty, no mirror.
    explicit LineMirror(std::string link) : link_(std::move(link)) {}
    ~LineMirror() { Close(); }
    LineMirror(const LineMirror&) = delete;
    LineMirror& operator=(const LineMirror&) = delete;

    // Opens it and makes the link; throws std::system_error, after which
    // Close takes away what was made.
    void Open(const kivhost::TtyLine& line);
    void Close();

    // Serving thread only: the bytes of the line, to the mirror's reader if
    // there is one and it keeps up; never waits for it.
    void Copy(std::string_view bytes);

    // Any thread: the slave's path ("" while closed), and the bytes the
    // reader missed because it did not take them in time.
    std::string Path() const;
    uint64_t Dropped() const { return dropped_; }

private:
    const std::string link_;
    // Guards fd_ and path_ for Path(); Open and Close change them only while
    // no thread serves, so Copy reads them without it.
    mutable Mutex mutex_;
    int fd_ = -1;
    std::string path_;
    std::atomic<uint64_t> dropped_{0};
    bool unread_ = false;  // written since nobody was there to read
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_LINE_MIRROR_H
