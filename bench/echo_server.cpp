// The yardstick of bench/wire_bench.sh: a minimal UDP responder that answers
// every datagram with one reply of a fixed size (the request's first 32 bytes,
// then zeros), read and sent in batches (recvmmsg/sendmmsg) on one thread:
// what the network path costs without any service logic.
//   echo_server --port P [--host 0.0.0.0] [--reply-size 143] [--seconds 60]
// Ends after --seconds; prints one JSON line with the datagrams answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned kBatch = 64;

}  // namespace

int main(int argc, char** argv)
{
    std::string strHost = "0.0.0.0";
    int nPort = 0;
    size_t nReply = 143;
    double dSeconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string strKey = argv[i];
        if (strKey == "--port") nPort = std::atoi(argv[i + 1]);
        else if (strKey == "--host") strHost = argv[i + 1];
        else if (strKey == "--reply-size") nReply = std::strtoul(argv[i + 1], nullptr, 10);
        else if (strKey == "--seconds") dSeconds = std::atof(argv[i + 1]);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(nPort));
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (nPort <= 0 || nReply == 0 || inet_pton(AF_INET, strHost.c_str(), &local.sin_addr) != 1 ||
        fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        std::fprintf(stderr, "usage: echo_server --port P [--host IP] [--reply-size N] [--seconds S]\n");
        return 2;
    }
    timeval tv{0, 200000};   // wakes to check the time bound
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

    // Each reply starts with the request's first 32 bytes (the client's tag).
    std::vector<std::vector<char>> vecReply(kBatch, std::vector<char>(nReply, 0));
    std::vector<std::vector<char>> vecBuf(kBatch, std::vector<char>(2048));
    std::vector<sockaddr_in> vecFrom(kBatch);
    std::vector<iovec> vecIov(kBatch), vecOutIov(kBatch);
    std::vector<mmsghdr> vecIn(kBatch), vecOut(kBatch);
    unsigned long nAnswered = 0;
    const auto tEnd = std::chrono::steady_clock::now() +
                      std::chrono::milliseconds(static_cast<long>(dSeconds * 1000));
    while (std::chrono::steady_clock::now() < tEnd) {
        for (unsigned i = 0; i < kBatch; ++i) {
            vecIov[i] = {vecBuf[i].data(), vecBuf[i].size()};
            std::memset(&vecIn[i], 0, sizeof(vecIn[i]));
            vecIn[i].msg_hdr.msg_iov = &vecIov[i];
            vecIn[i].msg_hdr.msg_iovlen = 1;
            vecIn[i].msg_hdr.msg_name = &vecFrom[i];
            vecIn[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        }
        const int n = recvmmsg(fd, vecIn.data(), kBatch, MSG_WAITFORONE, nullptr);
        if (n <= 0)
            continue;
        for (int i = 0; i < n; ++i) {
            std::memcpy(vecReply[i].data(), vecBuf[i].data(), std::min<size_t>({32, nReply, vecIn[i].msg_len}));
            vecOutIov[i] = {vecReply[i].data(), nReply};
            std::memset(&vecOut[i], 0, sizeof(vecOut[i]));
            vecOut[i].msg_hdr.msg_iov = &vecOutIov[i];
            vecOut[i].msg_hdr.msg_iovlen = 1;
            vecOut[i].msg_hdr.msg_name = &vecFrom[i];
            vecOut[i].msg_hdr.msg_namelen = vecIn[i].msg_hdr.msg_namelen;
        }
        int nDone = 0;
        while (nDone < n) {
            const int nSent = sendmmsg(fd, vecOut.data() + nDone, static_cast<unsigned>(n - nDone), 0);
            if (nSent <= 0)
                break;
            nDone += nSent;
        }
        nAnswered += static_cast<unsigned long>(nDone);
    }
    close(fd);
    std::printf("{\"answered\": %lu}\n", nAnswered);
    return 0;
}
