// The far end of a pseudo-terminal serial line for the Windows serial test:
// everything the port writes comes straight back. Once the line is up, the
// slave's path is written to READY_FILE (wine links a COM port to it).
//
//   serial_pty_peer READY_FILE
//
// Runs until killed, or for five minutes at most so a lost peer cannot
// linger.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: serial_pty_peer READY_FILE\n");
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("serial_pty_peer: pseudo-terminal");
        return 1;
    }
    const char* slaveName = ptsname(master);
    // The line becomes this session's controlling terminal. Otherwise the
    // first process to open it without O_NOCTTY (the wineserver does) takes
    // it, and gets a SIGHUP when this peer goes away.
    setsid();
    // Held open for the whole run: with no slave open the master only
    // reports hangups, and raw from the start so nothing is echoed or
    // translated before the port is configured.
    const int slave = open(slaveName, O_RDWR);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) {
        std::perror("serial_pty_peer: slave");
        return 1;
    }
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);

    const std::string ready = argv[1];
    const std::string partial = ready + ".part";
    FILE* out = std::fopen(partial.c_str(), "w");
    if (out == nullptr || std::fprintf(out, "%s\n", slaveName) < 0 || std::fclose(out) != 0 ||
        std::rename(partial.c_str(), ready.c_str()) != 0) {
        std::perror("serial_pty_peer: ready file");
        return 1;
    }

    alarm(300);
    char buffer[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 1;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(master, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return 1;
            done += w;
        }
    }
}
