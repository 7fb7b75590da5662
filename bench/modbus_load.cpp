#include "bench/modbus_load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>

#include "bench/exchange_kinds.h"
#include "bench/thread_times.h"

namespace kivbench {

LibmodbusServer::LibmodbusServer(const std::vector<uint16_t>& registers, const std::vector<uint8_t>& coils)
{
    mapping_ = modbus_mapping_new(static_cast<int>(coils.size()), 0, static_cast<int>(registers.size()), 0);
    Require(mapping_ != nullptr, "libmodbus: modbus_mapping_new failed");
    std::copy(registers.begin(), registers.end(), mapping_->tab_registers);
    std::copy(coils.begin(), coils.end(), mapping_->tab_bits);
    // Port 0: the kernel picks a free one, read back from the socket.
    context_ = modbus_new_tcp("127.0.0.1", 0);
    Require(context_ != nullptr, "libmodbus: modbus_new_tcp failed");
    listener_ = modbus_tcp_listen(context_, 8);
    Require(listener_ >= 0, std::string("libmodbus: modbus_tcp_listen: ") + modbus_strerror(errno));
    sockaddr_in address{};
    socklen_t size = sizeof address;
    Require(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0, "libmodbus: getsockname");
    port_ = ntohs(address.sin_port);
    Require(pipe2(wake_, O_CLOEXEC) == 0, "pipe2");
    thread_ = std::thread([this] { Serve(); });
}

LibmodbusServer::~LibmodbusServer()
{
    const char stop = 1;
    (void)!write(wake_[1], &stop, 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
    close(listener_);
    modbus_free(context_);
    modbus_mapping_free(mapping_);
}

void LibmodbusServer::Serve()
{
    std::vector<int> clients;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
        for (int fd : clients)
            fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents != 0)
            break;
        if (fds[1].revents & POLLIN) {
            int listener = listener_;
            const int client = modbus_tcp_accept(context_, &listener);
            if (client >= 0)
                clients.push_back(client);
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            modbus_set_socket(context_, fds[i].fd);
            const int length = modbus_receive(context_, query);
            if (length > 0)
                modbus_reply(context_, query, length, mapping_);
            else if (length < 0) {
                close(fds[i].fd);
                clients.erase(std::find(clients.begin(), clients.end(), fds[i].fd));
            }
        }
    }
    for (int fd : clients)
        close(fd);
}

ModbusClients::ModbusClients(uint16_t port, int clients, uint16_t registers, uint16_t coils)
    : registers_(registers), coils_(coils)
{
    for (int i = 0; i < clients; ++i) {
        modbus_t* context = modbus_new_tcp("127.0.0.1", port);
        Require(context != nullptr, "libmodbus: modbus_new_tcp failed");
        contexts_.push_back(context);
        modbus_set_response_timeout(context, 2, 0);
        Require(modbus_connect(context) == 0, std::string("libmodbus client: connect: ") + modbus_strerror(errno));
    }
}

ModbusClients::~ModbusClients()
{
    for (modbus_t* context : contexts_) {
        modbus_close(context);
        modbus_free(context);
    }
}

LoadRound ModbusClients::Round(int requests, std::chrono::microseconds pause)
{
    LoadRound round;
    std::mutex mutex;
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (modbus_t* context : contexts_)
        threads.emplace_back([&, context] {
            std::vector<uint16_t> words(registers_);
            std::vector<uint8_t> bits(coils_);
            std::vector<double> latencies;
            latencies.reserve(static_cast<size_t>(requests));
            uint64_t failures = 0;
            for (int i = 0; i < requests; ++i) {
                const auto sent = Clock::now();
                const int got = i % 2 == 0 ? modbus_read_registers(context, 0, registers_, words.data())
                                           : modbus_read_bits(context, 0, coils_, bits.data());
                latencies.push_back(Seconds(Clock::now() - sent) * 1e6);
                failures += got != (i % 2 == 0 ? registers_ : coils_);
                if (pause.count() > 0)
                    std::this_thread::sleep_for(pause);
            }
            std::lock_guard<std::mutex> lock(mutex);
            round.latencyUs.insert(round.latencyUs.end(), latencies.begin(), latencies.end());
            round.failures += failures;
            round.requests += static_cast<uint64_t>(requests);
        });
    for (std::thread& thread : threads)
        thread.join();
    round.seconds = Seconds(Clock::now() - start);
    return round;
}

bool ModbusClients::Read(std::vector<uint16_t>* registers, std::vector<uint8_t>* coils)
{
    registers->assign(registers_, 0);
    coils->assign(coils_, 0);
    return modbus_read_registers(contexts_[0], 0, registers_, registers->data()) == registers_ &&
           modbus_read_bits(contexts_[0], 0, coils_, coils->data()) == coils_;
}

double Percentile(std::vector<double>& values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(p / 100 * static_cast<double>(values.size())));
    return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

}  // namespace kivbench
