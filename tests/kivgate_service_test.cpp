// kivgate as systemd runs it: the secrets from credentials, the start-up
// files refused at once, what it tells the service manager, the Modbus
// port it may not bind, and the units themselves.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gate/kivgate_command_line.h"
#include "gate/listen_refusal.h"
#include "tests/command_output.h"

namespace {

std::map<std::string, std::string> environment;  // the parser's, case by case

const char* TestEnv(const char* name)
{
    const auto found = environment.find(name);
    return found == environment.end() ? nullptr : found->second.c_str();
}

// The option given wins; then a credential that is not blank; then the
// environment. The key credential goes with a certificate only.
TEST(KivgateService, SecretsFromOptionCredentialOrEnvironment)
{
    const std::string dir = ::testing::TempDir() + "/kivgate_credentials";
    mkdir(dir.c_str(), 0700);
    const std::string file = dir + "/given-password";
    std::ofstream(file) << "from-option\nsecond line\n";
    struct Case {
        const char* name;
        std::optional<std::string> credential;  // mqtt-password's content; none: no such file
        std::optional<std::string> key;         // mqtt-key's content
        const char* environment;                // KIVGATE_MQTT_PASSWORD; nullptr: unset
        std::string args;
        std::string password;
        std::string keyFile;  // "" none, "credential" the credential's path
    };
    const Case cases[] = {
        {"the option first", "from-credential\n", {}, "from-env", "--mqtt-password-file " + file, "from-option", ""},
        {"the credential before the environment", "from-credential\n", {}, "from-env", "", "from-credential", ""},
        {"a blank credential is none", "\n", {}, "from-env", "", "from-env", ""},
        {"no credential, the environment", {}, {}, "from-env", "", "from-env", ""},
        {"nothing at all", {}, {}, nullptr, "", "", ""},
        {"the key credential with a certificate", {}, "KEY\n", nullptr, "--mqtt-certfile c.pem", "", "credential"},
        {"the key option wins", {}, "KEY\n", nullptr, "--mqtt-certfile c.pem --mqtt-keyfile k.pem", "", "k.pem"},
        {"no certificate, no key from a credential", {}, "KEY\n", nullptr, "", "", ""},
        {"a blank key credential is none", {}, "\n", nullptr, "--mqtt-certfile c.pem", "", ""},
    };
    for (const Case& c : cases) {
        std::remove((dir + "/mqtt-password").c_str());
        std::remove((dir + "/mqtt-key").c_str());
        if (c.credential)
            std::ofstream(dir + "/mqtt-password") << *c.credential;
        if (c.key)
            std::ofstream(dir + "/mqtt-key") << *c.key;
        environment = {{"CREDENTIALS_DIRECTORY", dir}};
        if (c.environment != nullptr)
            environment["KIVGATE_MQTT_PASSWORD"] = c.environment;
        std::vector<std::string> args = {"tags.csv", "--plan", "--mqtt", "127.0.0.1:1883"};
        std::istringstream words(c.args);
        for (std::string word; words >> word;)
            args.push_back(word);
        const kivgate::GateCommandLine parsed = kivgate::ParseGateCommandLine(args, TestEnv);
        ASSERT_TRUE(parsed.run) << c.name << ": " << parsed.error;
        EXPECT_EQ(parsed.run->gate.mqttPassword, c.password) << c.name;
        EXPECT_EQ(parsed.run->gate.mqttKeyFile, c.keyFile == "credential" ? dir + "/mqtt-key" : c.keyFile) << c.name;
    }
    environment.clear();
}

// A file the start needs and cannot read is named with why, and kivgate
// ends with 64 before it opens the port (which does not exist here).
TEST(KivgateService, UnreadableStartFilesEndWith64Named)
{
    const std::string dir = ::testing::TempDir() + "/kivgate_unreadable";
    mkdir(dir.c_str(), 0700);
    mkdir((dir + "/mqtt-password").c_str(), 0700);  // a credential that is no file
    const std::string tags = dir + "/tags.csv";
    std::ofstream(tags) << "name,address\nspeed,01W0010\n";
    const std::string missing = dir + "/missing.pem";
    const std::string start = std::string(KIVGATE_PATH) + " " + tags + " --port /tmp/kvnone --mqtt 127.0.0.1:1883 ";
    struct Case {
        const char* name;
        std::string command;
        std::string says;
    };
    const Case cases[] = {
        {"CA file", start + "--mqtt-cafile " + missing, "the TLS CA file " + missing + ": No such file or directory"},
        {"certificate", start + "--mqtt-certfile " + dir, "the TLS certificate file " + dir + ": it is a folder"},
        {"key", start + "--mqtt-certfile " + tags + " --mqtt-keyfile " + missing,
         "the TLS key file " + missing + ": No such file or directory"},
        {"password file", start + "--mqtt-password-file " + missing,
         "the password file " + missing + ": No such file or directory"},
        {"password credential", "env CREDENTIALS_DIRECTORY=" + dir + " " + start,
         "the password credential " + dir + "/mqtt-password: it is a folder"},
    };
    for (const Case& c : cases) {
        int status = -1;
        const std::string out = RunCommand("timeout 10 " + c.command + " 2>&1", &status);
        EXPECT_EQ(status, 64) << c.name << ":\n" << out;
        EXPECT_NE(out.find("cannot read " + c.says), std::string::npos) << c.name << ":\n" << out;
    }
}

// Run with NOTIFY_SOCKET, kivgate says READY=1 after its first cycle, its
// status, and keeps the watchdog fed while it scans, when the watchdog is
// its own (sd_watchdog_enabled: WATCHDOG_PID unset or kivgate's).
TEST(KivgateService, NotifiesReadyStatusAndWatchdog)
{
    const std::string dir = ::testing::TempDir();
    const std::string tags = dir + "/kivgate_notify.csv";
    std::ofstream(tags) << "name,address\nspeed,01W0010\n";
    const std::string socketPath = dir + "/kivgate_notify.sock";
    const std::string link = "/tmp/kn" + std::to_string(getpid() % 1000);
    struct Case {
        const char* name;
        const char* watchdogPid;  // as the shell sets it
        bool fed;
    };
    const Case cases[] = {
        {"WATCHDOG_PID unset", "", true},
        {"WATCHDOG_PID kivgate's", "WATCHDOG_PID=$BASHPID", true},
        {"WATCHDOG_PID another's", "WATCHDOG_PID=1", false},
    };
    for (const Case& c : cases) {
        std::remove(socketPath.c_str());
        const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(listener, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(socketPath.size(), sizeof address.sun_path);
        socketPath.copy(address.sun_path, socketPath.size());
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
        // exec keeps the subshell's pid, which is what WATCHDOG_PID names.
        const std::string script = std::string(PLCSIM_PATH) + " --stations 1 --link " + link +
                                   " >/dev/null 2>&1 & sim=$!; " + "for i in $(seq 600); do [ -e " + link +
                                   " ] && break; sleep 0.05; done; " +
                                   "( unset WATCHDOG_PID; export NOTIFY_SOCKET=" + socketPath +
                                   " WATCHDOG_USEC=400000 " + c.watchdogPid + "; exec " + KIVGATE_PATH + " --port " +
                                   link + " --timeout 10 " + tags + " --no-modbus 2>/dev/null ) & g=$!; " +
                                   "sleep 2; kill -TERM $g; wait $g; echo status=$?; kill -INT $sim; wait $sim";
        // Read while it runs, as systemd does: a sender to a full socket waits.
        std::atomic<bool> done{false};
        std::string out;
        std::thread run([&] {
            int status = -1;
            out = RunCommand("bash -c '" + script + "' 2>&1", &status);
            done = true;
        });
        std::string heard;
        std::array<char, 4096> datagram{};
        for (bool last = false; !last;) {
            last = done;
            pollfd ready{listener, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0)
                continue;
            const ssize_t got = recv(listener, datagram.data(), datagram.size(), MSG_DONTWAIT);
            if (got > 0)
                heard.append(datagram.data(), static_cast<size_t>(got));
            last = false;  // until a wait finds nothing more after the end
        }
        run.join();
        close(listener);
        EXPECT_NE(out.find("status=0"), std::string::npos) << c.name << ":\n" << out;
        for (const char* said :
             {"READY=1\n", "STATUS=1 station up, 0 down; writes: 0 done, 0 failed\n", "STOPPING=1\n"})
            EXPECT_NE(heard.find(said), std::string::npos) << c.name << ": " << said << " in:\n" << heard;
        EXPECT_EQ(heard.find("WATCHDOG=1\n") != std::string::npos, c.fed) << c.name << ":\n" << heard;
    }
    std::remove(socketPath.c_str());
}

// A port below 1024 refused for want of the capability says what to do and
// ends the service for good; any other refusal keeps its advice and status.
TEST(KivgateService, ListenRefusalSaysWhatToDo)
{
    struct Case {
        uint16_t port;
        int error;
        bool setUp;
        const char* says;
    };
    const Case cases[] = {
        {502, EACCES, true, "ports below 1024 need the CAP_NET_BIND_SERVICE capability"},
        {502, EACCES, true, "AmbientCapabilities=CAP_NET_BIND_SERVICE"},
        {1502, EACCES, false, "another program on that port?"},
        {502, EADDRINUSE, false, "another program on that port?"},
    };
    for (const Case& c : cases) {
        const kivgate::ListenRefusal refusal = kivgate::ListenRefused("0.0.0.0", c.port, c.error);
        EXPECT_EQ(refusal.setUp, c.setUp) << c.port << " " << c.error;
        EXPECT_NE(refusal.why.find("cannot listen on 0.0.0.0:" + std::to_string(c.port)), std::string::npos);
        EXPECT_NE(refusal.why.find(c.says), std::string::npos) << refusal.why;
    }
    // The errno that reaches the rule is bind's, through libmodbus: root
    // without the capability is refused port 502 as any user is.
    int status = -1;
    RunCommand("command -v capsh >/dev/null", &status);
    if (status != 0 || geteuid() != 0)
        GTEST_SKIP() << "the capability can be dropped by root with capsh only";
    const std::string tags = ::testing::TempDir() + "/kivgate_listen.csv";
    std::ofstream(tags) << "name,address\nspeed,01W0010\n";
    const std::string link = "/tmp/kl" + std::to_string(getpid() % 1000);
    const std::string script =
        std::string(PLCSIM_PATH) + " --stations 1 --link " + link + " >/dev/null 2>&1 & sim=$!; " +
        "for i in $(seq 600); do [ -e " + link + " ] && break; sleep 0.05; done; " +
        "capsh --drop=cap_net_bind_service -- -c \"timeout 10 " + KIVGATE_PATH + " --port " + link + " --timeout 10 " +
        tags + " --modbus-listen 127.0.0.1:502\"; echo status=$?; " + "kill -INT $sim; wait $sim";
    const std::string out = RunCommand("bash -c '" + script + "' 2>&1", &status);
    EXPECT_NE(out.find("status=64"), std::string::npos) << out;
    EXPECT_NE(out.find("ports below 1024 need the CAP_NET_BIND_SERVICE capability"), std::string::npos) << out;
}

// The units as systemd reads them, run against this build's kivgate.
TEST(KivgateService, UnitsVerify)
{
    int status = -1;
    RunCommand("command -v systemd-analyze >/dev/null", &status);
    if (status != 0)
        GTEST_SKIP() << "no systemd-analyze";
    const std::string dir = ::testing::TempDir() + "/kivgate_units";
    mkdir(dir.c_str(), 0700);
    for (const char* unit : {"kivgate.service", "kivgate@.service"}) {
        // The man page and /usr/bin/kivgate are the package's, not here.
        const std::string copy = dir + "/" + unit;
        RunCommand(std::string("sed -e '/^Documentation=/d' -e 's#/usr/bin/kivgate#") + KIVGATE_PATH + "#' " +
                       KIV_SOURCE_DIR + "/packaging/" + unit + " > " + copy,
                   &status);
        ASSERT_EQ(status, 0) << unit;
        const std::string instance = std::string(unit) == "kivgate@.service" ? dir + "/kivgate@line1.service" : copy;
        if (instance != copy)
            RunCommand("cp " + copy + " " + instance, &status);
        const std::string out = RunCommand("systemd-analyze verify " + instance + " 2>&1", &status);
        EXPECT_EQ(status, 0) << unit << ":\n" << out;
        EXPECT_EQ(out, "") << unit;
    }
}

}  // namespace
