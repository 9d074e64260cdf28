// The Linux wmicheck as a monitoring engine runs it: one line, its exit
// code, and a run that ends within -t + 1 s whatever it waits for.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "RunProgram.h"

namespace {

using wsmantest::RunProgram;

// A listener that takes connections into its backlog and never answers.
class Mute {
public:
    Mute() : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        bind(socket_, reinterpret_cast<sockaddr*>(&address), size);
        listen(socket_, 8);
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~Mute() { close(socket_); }
    std::string Port() const { return std::to_string(port_); }

private:
    int socket_;
    int port_ = 0;
};

TEST(Program, OneLineWithinTheTimeOut) {
    Mute mute;
    char folder[] = "/tmp/wsman-program-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string fifo = std::string(folder) + "/password";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // never written: reading it waits for ever

    const std::vector<std::string> target = {"--host", "127.0.0.1", "--port", mute.Port(), "--https", "--insecure",
                                             "--auth", "basic", "--user", "monitor", "--class", "Win32_Service",
                                             "--count"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = target;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Row {
        const char* name;
        std::vector<std::string> args;
        const char* password;
        int code;
        const char* starts;
        double maxSeconds;
    } table[] = {
        {"a stalled listener", with({"-t", "1"}), "pw", 3,
         "WMI UNKNOWN - cannot connect to https://127.0.0.1:", 2.0},
        {"a stuck password file", with({"-t", "1", "--password-file", fifo}), nullptr, 3,
         "WMI UNKNOWN - timed out after 1 s", 2.5},
        {"the same in JSON", with({"-t", "1", "--password-file", fifo, "--json"}), nullptr, 3,
         "{\"state\":\"UNKNOWN\",\"exit_code\":3,\"text\":\"timed out after 1 s\"", 2.5},
        {"a password on the command line", with({"--password", "Sec ret"}), nullptr, 3,
         "WMI UNKNOWN - wmicheck: --password: the Linux wmicheck takes the password from --password-file or "
         "WMICHECK_PASSWORD",
         2.0},
        {"--version", {"--version"}, nullptr, 0, "wmicheck ", 2.0},
    };
    for (const Row& row : table) {
        const wsmantest::Outcome outcome = RunProgram(row.args, row.password);
        EXPECT_EQ(outcome.code, row.code) << row.name << ": " << outcome.out;
        EXPECT_EQ(outcome.out.rfind(row.starts, 0), 0u) << row.name << ": " << outcome.out;
        EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 1) << row.name << ": " << outcome.out;
        EXPECT_EQ(outcome.out.find("Sec"), std::string::npos) << row.name;
        EXPECT_LT(outcome.seconds, row.maxSeconds) << row.name;
    }
    unlink(fifo.c_str());
    rmdir(folder);
}

}  // namespace
