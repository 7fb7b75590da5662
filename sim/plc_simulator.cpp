#include "plc_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "faults.h"
#include "pcon_station.h"

namespace plcsim {

namespace {

using Clock = std::chrono::steady_clock;

// Longer than the longest request (a write of 255 words is 1034 characters)
// with room to spare; past it the bytes cannot be a frame.
constexpr size_t MAX_FRAME = 2100;

std::system_error SystemError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

struct Speed {
    int baud;
    speed_t speed;
};

constexpr Speed SPEEDS[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
};

speed_t SpeedOf(int baud)
{
    for (const Speed& entry : SPEEDS) {
        if (entry.baud == baud)
            return entry.speed;
    }
    throw std::invalid_argument("unsupported baud rate " + std::to_string(baud));
}

// Raw: no echo, no CR/NL translation, no signals, bytes as they come.
void MakeRaw(int fd, int baud, const CharFormat& format)
{
    termios settings{};
    if (tcgetattr(fd, &settings) != 0)
        throw SystemError("tcgetattr");
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD;
    static constexpr tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag |= SIZES[format.dataBits - 5];
    // Mark and space are the odd and even flags with CMSPAR.
    if (format.parity != 'N')
        settings.c_cflag |= PARENB;
    if (format.parity == 'O' || format.parity == 'M')
        settings.c_cflag |= PARODD;
    if (format.parity == 'M' || format.parity == 'S')
        settings.c_cflag |= CMSPAR;
    // termios knows one or two stop bits; a UART sends two as one and a half
    // with five data bits.
    if (format.stopBits > 1)
        settings.c_cflag |= CSTOPB;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    const speed_t speed = SpeedOf(baud);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (tcsetattr(fd, TCSANOW, &settings) != 0)
        throw SystemError("tcsetattr");
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Tells a bad checksum from other damage, for the record only.
bool ChecksumMatches(std::string_view frame)
{
    if (!frame.empty() && frame.back() == '\r')
        frame.remove_suffix(1);
    if (frame.size() < 3)
        return false;
    const std::string digits = Hex(FrameSum(frame.substr(1, frame.size() - 3)), 2);
    std::string sent(frame.substr(frame.size() - 2));
    for (char& c : sent)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return digits == sent;
}

std::vector<FaultKind> KindsOf(const std::vector<Fault>& faults)
{
    std::vector<FaultKind> kinds;
    for (const Fault& fault : faults)
        kinds.push_back(fault.kind);
    return kinds;
}

}  // namespace

bool SupportedBaud(int baud)
{
    for (const Speed& entry : SPEEDS) {
        if (entry.baud == baud)
            return true;
    }
    return false;
}

std::string LinkRefusal(const std::string& path)
{
    if (path.empty())
        return "a link needs a path";
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return "";
        const char* what = S_ISREG(info.st_mode)    ? "a regular file"
                           : S_ISDIR(info.st_mode)  ? "a directory"
                           : S_ISCHR(info.st_mode)  ? "a character device"
                           : S_ISBLK(info.st_mode)  ? "a block device"
                           : S_ISFIFO(info.st_mode) ? "a FIFO"
                                                    : "a socket";
        return path + " is " + what + ", not a symbolic link: only a link is replaced; choose another path";
    }
    if (errno != ENOENT)
        return path + ": " + std::strerror(errno);
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return path + ": the folder " + folder + " does not exist";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return path + ": no permission to make a link in " + folder;
    return "";
}

std::string Printable(std::string_view bytes)
{
    std::string text;
    for (char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (code >= 0x20 && code < 0x7F) {
            text += c;
        } else {
            text += "\\x" + Hex(code, 2);
        }
    }
    return text;
}

std::string FormatRecord(const Record& record, Clock::time_point origin)
{
    const double seconds = std::chrono::duration<double>(record.start - origin).count();
    char head[64];
    std::snprintf(head, sizeof head, "%12.6f %s %s ", seconds,
                  record.direction == Record::Direction::Request ? "rx" : "tx",
                  record.station >= 0 ? Hex(record.station, 2).c_str() : "--");
    std::string line = head + Printable(record.bytes);
    if (!record.faults.empty()) {
        line += " [";
        for (size_t i = 0; i < record.faults.size(); ++i) {
            if (i > 0)
                line += ",";
            line += FaultName(record.faults[i]);
        }
        line += "]";
    }
    if (!record.note.empty())
        line += " (" + record.note + ")";
    return line;
}

struct StationState {
    Memory memory;
    std::vector<Fault> standing;
    std::deque<std::pair<Fault, int>> script;  // fault, requests left
};

struct Simulator::Impl {
    enum class LineKind { None, Pty, Device };

    explicit Impl(Options opts) : options(std::move(opts)), rng(options.seed)
    {
        for (int station : options.stations) {
            if (station < 0 || station > 0xFF) {
                throw std::invalid_argument("station out of range: " + std::to_string(station));
            }
            stations[station];
        }
        if (options.baud <= 0)
            throw std::invalid_argument("baud rate must be positive");
        if (!options.mirror.empty() && options.mirror == options.link)
            throw std::invalid_argument("the line and its mirror need a link each");
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0)
            throw SystemError("eventfd");
    }

    ~Impl()
    {
        StopThread();
        CloseMirror();
        CloseLine();
        CloseFd(wakeFd);
    }

    StationState& StationAt(int station)
    {
        const auto it = stations.find(station);
        if (it == stations.end())
            throw std::out_of_range("no station " + std::to_string(station));
        return it->second;
    }

    // --- line -----------------------------------------------------------------

    void OpenLine()
    {
        if (kind == LineKind::Pty) {
            OpenPty();
        } else {
            OpenDevice();
        }
        if (!options.link.empty())
            MakeLink(options.link, linePath);
    }

    // A new pseudo-terminal: its master, non-blocking, and the slave's path.
    // The slave is opened once to make it raw; with keepSlave that open is
    // returned too, else it is closed again.
    int OpenPseudoTerminal(std::string& path, int* keptSlave)
    {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0)
            throw SystemError("posix_openpt");
        char name[128];
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
            const auto error = SystemError("pseudo-terminal setup");
            close(master);
            throw error;
        }
        int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (slave < 0) {
            const auto error = SystemError(std::string("open ") + name);
            close(master);
            throw error;
        }
        try {
            MakeRaw(slave, options.baud, options.format);
        } catch (...) {
            close(slave);
            close(master);
            throw;
        }
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        if (keptSlave != nullptr) {
            *keptSlave = slave;
        } else {
            close(slave);
        }
        path = name;
        return master;
    }

    void OpenPty()
    {
        // Our own hold on the slave: without it the master reports a hang-up
        // while no port is open. No lock is taken on it, so the port's own
        // locking is unaffected.
        std::string path;
        int slave = -1;
        const int master = OpenPseudoTerminal(path, &slave);
        std::lock_guard lock(mutex);
        lineFd = master;
        slaveFd = slave;
        linePath = path;
    }

    void OpenDevice()
    {
        int fd = open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            throw SystemError("open " + devicePath);
        try {
            MakeRaw(fd, options.baud, options.format);
        } catch (...) {
            close(fd);
            throw;
        }
        tcflush(fd, TCIOFLUSH);
        std::lock_guard lock(mutex);
        lineFd = fd;
        linePath = devicePath;
    }

    void CloseLine()
    {
        RemoveLink(options.link, linePath);
        std::lock_guard lock(mutex);
        CloseFd(lineFd);
        CloseFd(slaveFd);
    }

    // No hold on the mirror's slave: its master then reports a hang-up while
    // nobody listens, and nothing piles up for a reader that comes later.
    void OpenMirror()
    {
        if (options.mirror.empty())
            return;
        std::string path;
        const int master = OpenPseudoTerminal(path, nullptr);
        {
            std::lock_guard lock(mutex);
            mirrorFd = master;
            mirrorPath = path;
        }
        MakeLink(options.mirror, path);
    }

    void CloseMirror()
    {
        RemoveLink(options.mirror, mirrorPath);
        std::lock_guard lock(mutex);
        CloseFd(mirrorFd);
    }

    // Serving thread: the bytes of the line, to the mirror's reader if there
    // is one and it keeps up; never waits for it.
    void Mirror(std::string_view bytes)
    {
        if (mirrorFd < 0 || bytes.empty())
            return;
        pollfd p{mirrorFd, POLLOUT, 0};
        if (poll(&p, 1, 0) < 0)
            return;
        if (p.revents & POLLHUP) {
            // Nobody has it open. What a reader left unread would reach the
            // next one as if it were new: away with it.
            if (mirrorUnread) {
                const int slave = open(mirrorPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                if (slave >= 0) {
                    tcflush(slave, TCIFLUSH);
                    close(slave);
                }
                mirrorUnread = false;
            }
            return;
        }
        // A listener has nothing to say; whatever it writes would only fill
        // the master's queue.
        char discard[256];
        while (read(mirrorFd, discard, sizeof discard) > 0) {
        }
        const ssize_t n = write(mirrorFd, bytes.data(), bytes.size());
        const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
        mirrorUnread = mirrorUnread || written > 0;
        if (written < bytes.size())
            mirrorDropped += bytes.size() - written;
    }

    // Only a symbolic link (or nothing) is replaced. A link that exists is
    // replaced through a rename, so a port opened during a replug finds one
    // line or the other, never no link; a failure leaves nothing behind.
    void MakeLink(const std::string& link, const std::string& target)
    {
        const std::string refusal = LinkRefusal(link);
        if (!refusal.empty())
            throw std::system_error(std::make_error_code(std::errc::file_exists), refusal);
        if (symlink(target.c_str(), link.c_str()) == 0)
            return;
        if (errno != EEXIST)
            throw SystemError("link " + link);
        const std::string temporary = link + ".plcsim-" + std::to_string(getpid());
        struct stat info {};
        if (lstat(temporary.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            unlink(temporary.c_str());  // left by an earlier process of this number
        if (symlink(target.c_str(), temporary.c_str()) != 0)
            throw SystemError("link " + temporary);
        if (rename(temporary.c_str(), link.c_str()) != 0) {
            const auto error = SystemError("link " + link);
            unlink(temporary.c_str());
            throw error;
        }
    }

    // Only our own link: someone may have pointed it elsewhere meanwhile.
    static void RemoveLink(const std::string& link, const std::string& target)
    {
        if (link.empty() || target.empty())
            return;
        char pointsTo[256];
        const ssize_t n = readlink(link.c_str(), pointsTo, sizeof pointsTo - 1);
        if (n < 0)
            return;
        pointsTo[n] = '\0';
        if (target == pointsTo)
            unlink(link.c_str());
    }

    // --- thread ---------------------------------------------------------------

    // Opens the line and starts serving it; a failed open leaves nothing behind.
    void Start(LineKind line, const std::string& path)
    {
        std::lock_guard lock(control);
        if (kind != LineKind::None)
            throw std::logic_error("simulator already started");
        kind = line;
        devicePath = path;
        try {
            OpenLine();
            OpenMirror();
        } catch (...) {
            CloseMirror();
            CloseLine();
            kind = LineKind::None;
            throw;
        }
        StartThread();
    }

    void StartThread()
    {
        uint64_t drained;
        while (read(wakeFd, &drained, sizeof drained) > 0) {
        }
        stopping = false;
        inFrame = false;
        frame.clear();
        thread = std::thread([this] { Serve(); });
        std::lock_guard lock(mutex);
        running = true;
    }

    void StopThread()
    {
        if (!thread.joinable())
            return;
        stopping = true;
        const uint64_t one = 1;
        if (write(wakeFd, &one, sizeof one) < 0) {
            // The counter is far from full; a failure here would leave the thread
            // waiting, so it is worth knowing about.
            std::perror("plcsim: wake");
        }
        thread.join();
        std::lock_guard lock(mutex);
        running = false;
    }

    // False when woken to stop.
    bool WaitUntil(Clock::time_point deadline)
    {
        while (!stopping) {
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero())
                return true;
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
            const timespec timeout{static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
            pollfd wake{wakeFd, POLLIN, 0};
            if (ppoll(&wake, 1, &timeout, nullptr) > 0)
                return false;
        }
        return false;
    }

    // False when the line fails or a stop is asked for.
    bool WriteAll(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const ssize_t n = write(lineFd, bytes.data(), bytes.size());
            if (n > 0) {
                Mirror(bytes.substr(0, n));
                bytes.remove_prefix(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return false;
            pollfd fds[2] = {{lineFd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                return false;
            if (fds[1].revents != 0)
                return false;
        }
        return true;
    }

    void Serve()
    {
        char buffer[4096];
        while (!stopping) {
            pollfd fds[2] = {{lineFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                if (!WaitUntil(Clock::now() + std::chrono::milliseconds(10)))
                    return;
                continue;
            }
            if (fds[1].revents != 0)
                return;
            if (fds[0].revents & POLLIN) {
                const ssize_t n = read(lineFd, buffer, sizeof buffer);
                if (n > 0) {
                    const auto now = Clock::now();
                    Mirror(std::string_view(buffer, n));
                    Feed(std::string_view(buffer, n), now);
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
            }
            // Hang-up or a failing device: poll would report it again at once, so
            // back off instead of spinning until the line comes back or we stop.
            if (!WaitUntil(Clock::now() + std::chrono::milliseconds(10)))
                return;
        }
    }

    void Feed(std::string_view bytes, Clock::time_point now)
    {
        for (char c : bytes) {
            // "/" occurs only at the start of a frame: whatever came before it
            // unterminated was noise or a frame cut short.
            if (c == '/') {
                frame = "/";
                inFrame = true;
                frameStart = now;
                continue;
            }
            if (!inFrame)
                continue;
            frame += c;
            if (c == '\r') {
                inFrame = false;
                Handle(frame, now);
            } else if (frame.size() > MAX_FRAME) {
                inFrame = false;
                Record record;
                record.bytes = frame;
                record.note = "too long, discarded";
                record.start = frameStart;
                record.end = now;
                Publish(std::move(record));
                CountRequest();
            }
        }
    }

    std::vector<Fault> DrawFaultsFor(StationState& state)
    {
        std::vector<Fault> candidates = state.standing;
        if (!state.script.empty()) {
            auto& [fault, left] = state.script.front();
            candidates.push_back(fault);
            if (--left <= 0)
                state.script.pop_front();
        }
        return DrawFaults(candidates, rng);
    }

    void Handle(const std::string& bytes, Clock::time_point end)
    {
        Record request;
        request.bytes = bytes;
        request.start = frameStart;
        request.end = end;
        std::optional<Delivery> delivery;
        {
            std::lock_guard lock(mutex);
            delivery = Answer(request);
        }
        const std::vector<FaultKind> faults = request.faults;
        const int station = request.station;
        Publish(std::move(request));
        if (delivery)
            Send(*delivery, station, faults);
        CountRequest();
    }

    // Under the lock: executes the request and decides what goes back.
    std::optional<Delivery> Answer(Record& request)
    {
        const auto parsed = ParseRequest(request.bytes);
        if (!parsed) {
            request.note = ChecksumMatches(request.bytes) ? "malformed" : "bad checksum";
            return std::nullopt;
        }
        request.station = parsed->station;
        const auto it = stations.find(parsed->station);
        if (it == stations.end()) {
            request.note = "no such station";
            return std::nullopt;
        }
        const std::vector<Fault> faults = DrawFaultsFor(it->second);
        request.faults = KindsOf(faults);
        if (Has(faults, FaultKind::Silent)) {
            request.note = "silent";
            return std::nullopt;
        }
        const auto reply = Execute(*parsed, it->second.memory);
        if (!reply) {
            request.note = "E is read-only";
            return std::nullopt;
        }
        Delivery delivery = ShapeReply(*reply, faults, rng);
        if (delivery.pieces.empty()) {
            request.note = "reply dropped";
            return std::nullopt;
        }
        delivery.paced = delivery.paced || options.pace;
        return delivery;
    }

    void Send(const Delivery& delivery, int station, const std::vector<FaultKind>& faults)
    {
        Record reply;
        reply.direction = Record::Direction::Reply;
        reply.station = station;
        reply.faults = faults;
        bool started = false;
        const auto wrote = [&](std::string_view bytes) {
            if (!WriteAll(bytes))
                return false;
            if (!started)
                reply.start = Clock::now();
            started = true;
            reply.bytes += bytes;
            return true;
        };
        // Bit times of one character, rounded to the nanosecond.
        const auto charTime =
            std::chrono::nanoseconds(static_cast<int64_t>(options.format.BitsPerChar() * 1e9 / options.baud));

        bool whole = WaitUntil(Clock::now() + delivery.delay);
        for (size_t i = 0; whole && i < delivery.pieces.size(); ++i) {
            if (i > 0)
                whole = WaitUntil(Clock::now() + delivery.pause);
            if (!whole)
                break;
            if (!delivery.paced) {
                whole = wrote(delivery.pieces[i]);
                continue;
            }
            // Each byte leaves when a real line would have finished carrying it.
            auto due = Clock::now();
            for (char c : delivery.pieces[i]) {
                due += charTime;
                whole = WaitUntil(due) && wrote(std::string_view(&c, 1));
                if (!whole)
                    break;
            }
        }
        if (!started)
            reply.start = Clock::now();
        reply.end = Clock::now();
        if (!whole)
            reply.note = stopping ? "cut short by stop" : "line failed";
        if (started || !whole)
            Publish(std::move(reply));
    }

    // --- records --------------------------------------------------------------

    void Publish(Record record)
    {
        {
            std::lock_guard lock(mutex);
            record.sequence = nextSequence++;
            records.push_back(record);
            while (records.size() > options.maxRecords)
                records.pop_front();
        }
        if (options.onRecord)
            options.onRecord(record);
    }

    void CountRequest()
    {
        {
            std::lock_guard lock(mutex);
            ++requestCount;
        }
        handled.notify_all();
    }

    Options options;

    // Guards the stations, the faults, the generator, the records, the counts
    // and the line's path; the serving thread holds it only between I/O.
    mutable std::mutex mutex;
    mutable std::condition_variable handled;
    std::map<int, StationState> stations;
    std::mt19937 rng;
    std::deque<Record> records;
    uint64_t nextSequence = 0;
    uint64_t requestCount = 0;
    bool running = false;
    std::string linePath;

    // Serialises Start, Stop, Unplug and Replug.
    std::mutex control;
    LineKind kind = LineKind::None;
    std::string devicePath;
    int lineFd = -1;
    int slaveFd = -1;
    int mirrorFd = -1;  // touched by the serving thread only while it runs
    std::string mirrorPath;
    std::atomic<uint64_t> mirrorDropped{0};
    bool mirrorUnread = false;  // written since nobody was there to read
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};

    // Framing, touched by the serving thread only.
    std::string frame;
    bool inFrame = false;
    Clock::time_point frameStart;
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options)))
{
}

Simulator::~Simulator()
{
    Stop();
}

void Simulator::StartPty()
{
    impl_->Start(Impl::LineKind::Pty, "");
}

void Simulator::StartDevice(const std::string& path)
{
    impl_->Start(Impl::LineKind::Device, path);
}

void Simulator::Stop()
{
    std::lock_guard control(impl_->control);
    impl_->StopThread();
    impl_->CloseMirror();
    impl_->CloseLine();
    impl_->kind = Impl::LineKind::None;
}

bool Simulator::Running() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

std::string Simulator::SlavePath() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->linePath;
}

std::string Simulator::MirrorPath() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->mirrorFd >= 0 ? impl_->mirrorPath : "";
}

uint64_t Simulator::MirrorDropped() const
{
    return impl_->mirrorDropped;
}

void Simulator::Unplug()
{
    std::lock_guard control(impl_->control);
    impl_->StopThread();
    impl_->CloseLine();
}

void Simulator::Replug()
{
    std::lock_guard control(impl_->control);
    if (impl_->kind == Impl::LineKind::None)
        throw std::logic_error("simulator not started");
    impl_->StopThread();
    impl_->CloseLine();
    impl_->OpenLine();
    impl_->StartThread();
}

bool Simulator::HasStation(int station) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->stations.count(station) != 0;
}

void Simulator::SetWord(int station, int number, uint16_t value)
{
    std::lock_guard lock(impl_->mutex);
    impl_->StationAt(station).memory.SetWord(number, value);
}

uint16_t Simulator::Word(int station, int number) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->StationAt(station).memory.Word(number);
}

namespace {
int BitIndex(char operand, int number)
{
    if (operand == 'B')
        return number;
    if (operand != 'A' && operand != 'E') {
        throw std::out_of_range(std::string("not a bit operand: ") + operand);
    }
    const int index = ByteBitIndex(number);
    if (index < 0)
        throw std::out_of_range("no such bit: " + Hex(number, 4));
    return index;
}
}  // namespace

void Simulator::SetBit(int station, char operand, int number, bool value)
{
    std::lock_guard lock(impl_->mutex);
    impl_->StationAt(station).memory.SetBit(operand, BitIndex(operand, number), value);
}

bool Simulator::Bit(int station, char operand, int number) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->StationAt(station).memory.Bit(operand, BitIndex(operand, number));
}

void Simulator::SetFault(int station, const Fault& fault)
{
    std::lock_guard lock(impl_->mutex);
    auto& standing = impl_->StationAt(station).standing;
    std::erase_if(standing, [&](const Fault& other) { return other.kind == fault.kind; });
    standing.push_back(fault);
}

void Simulator::ClearFaults(int station)
{
    std::lock_guard lock(impl_->mutex);
    auto& state = impl_->StationAt(station);
    state.standing.clear();
    state.script.clear();
}

void Simulator::ScriptFault(int station, const Fault& fault, int nextRequests)
{
    std::lock_guard lock(impl_->mutex);
    auto& script = impl_->StationAt(station).script;
    if (nextRequests > 0)
        script.emplace_back(fault, nextRequests);
}

std::vector<Record> Simulator::Records() const
{
    std::lock_guard lock(impl_->mutex);
    return {impl_->records.begin(), impl_->records.end()};
}

void Simulator::ClearRecords()
{
    std::lock_guard lock(impl_->mutex);
    impl_->records.clear();
}

uint64_t Simulator::RequestCount() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->requestCount;
}

bool Simulator::WaitForRequests(uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    return impl_->handled.wait_for(lock, timeout, [&] { return impl_->requestCount >= count; });
}

}  // namespace plcsim
