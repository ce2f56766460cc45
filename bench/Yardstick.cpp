// The yardstick for the upload benchmarks: the fastest a stop-and-wait exchange can go on this
// machine. A minimal blocking client with plain POSIX sockets (no Qt, no event loop) sends the
// product-code frame, then every record line of the file, each followed by a blocking read of the
// unit's 8-byte reply. Lines go out as the tool sends them: without their terminators.
//
//   upload_yardstick HOST PORT FILE
//
// Prints one line of key=value results; exits non-zero on any refusal or socket error.

#include "CpuTime.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const unsigned char ProductCode[] = {0xFE, 0x55, 0xAA, 0x01, 0x00, 0x36, 0xCC};
const unsigned char Ack[] = {0xFD, 0x55, 0xAA, 0x00, 0x00, 0x00, 0x00, 0x00};
constexpr size_t ReplySize = sizeof(Ack);

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "upload_yardstick: %s: %s\n", what, errno ? std::strerror(errno) : "failed");
    std::exit(1);
}

void sendAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail("send");
        p += n;
        size -= size_t(n);
    }
}

void readReply(int fd)
{
    unsigned char reply[ReplySize];
    size_t got = 0;
    while (got < ReplySize) {
        const ssize_t n = ::recv(fd, reply + got, ReplySize - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = 0;
            fail("recv (connection closed?)");
        }
        got += size_t(n);
    }
    if (std::memcmp(reply, Ack, ReplySize) != 0) {
        errno = 0;
        fail("the unit did not acknowledge");
    }
}

bool isBlank(const std::string& line)
{
    return line.find_first_not_of(" \t") == std::string::npos;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: upload_yardstick HOST PORT FILE\n");
        return 2;
    }
    // The whole file is read beforehand: the yardstick measures the link, not the disk.
    std::vector<std::string> lines;
    {
        std::ifstream in(argv[3], std::ios::binary);
        if (!in)
            fail("cannot open the file");
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!isBlank(line))
                lines.push_back(line);
        }
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(std::atoi(argv[2])));
    if (::inet_pton(AF_INET, argv[1], &address.sin_addr) != 1) {
        errno = 0;
        fail("bad address");
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        fail("connect");

    sendAll(fd, ProductCode, sizeof ProductCode);
    readReply(fd);
    // Timed like the tool: from the first record to the last acknowledgement.
    const long long cpuAtStart = cpuMicros();
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& line : lines) {
        sendAll(fd, line.data(), line.size());
        readReply(fd);
    }
    const auto end = std::chrono::steady_clock::now();
    const long long cpu = cpuMicros() - cpuAtStart;
    ::close(fd);

    const long long micros = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
    std::printf("records=%zu first_to_last_us=%lld cpu_us=%lld\n", lines.size(), micros, cpu);
    return 0;
}
