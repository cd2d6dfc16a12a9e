// Two network namespaces joined by a veth pair (10.77.0.1/24 in A, 10.77.0.2/24
// in B; lo and both ends up, 224.0.0.0/4 routed out of each veth), deleted
// with the object. Needs root and iproute2: Ok() is false otherwise, and
// Error() says why. ScopedNetNs moves the calling thread into one (threads it
// starts inherit it) until its scope ends.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

// Declares `pair`, a fresh namespace pair, or skips the test without one.
#define VELMORA_NS_PAIR_OR_SKIP(pair) \
    velmora_test::NetNsPair pair;     \
    if (!pair.Ok())                   \
    GTEST_SKIP() << "no network namespaces: " << pair.Error()

namespace velmora_test {

class NetNsPair {
public:
    NetNsPair()
    {
        static std::atomic<int> s_nSeq{0};
        m_strId = std::to_string(::getpid() % 1000000) + "x" + std::to_string(s_nSeq++ % 100);
        // Interface names are at most 15 characters: vma<id> and vmb<id>.
        const std::string strCmd = "a=" + NameA() + " b=" + NameB() + " va=vma" + m_strId + " vb=vmb" + m_strId +
            "; ip netns add $a && ip netns add $b && ip -n $a link add $va type veth peer name $vb netns $b"
            " && ip -n $a addr add " + AddrA() + "/24 dev $va && ip -n $b addr add " + AddrB() + "/24 dev $vb"
            " && ip -n $a link set lo up && ip -n $b link set lo up && ip -n $a link set $va up"
            " && ip -n $b link set $vb up && ip -n $a route add 224.0.0.0/4 dev $va"
            " && ip -n $b route add 224.0.0.0/4 dev $vb";
        if (::geteuid() != 0)
            m_strError = "needs root to create network namespaces";
        else if (std::system(("(" + strCmd + ") >/dev/null 2>&1").c_str()) != 0)
            m_strError = "set-up failed (iproute2 needed): " + strCmd;
    }
    ~NetNsPair() { (void)!std::system(("(ip netns del " + NameA() + "; ip netns del " + NameB() + ") 2>/dev/null").c_str()); }
    NetNsPair(const NetNsPair&) = delete;
    NetNsPair& operator=(const NetNsPair&) = delete;

    bool Ok() const { return m_strError.empty(); }
    const std::string& Error() const { return m_strError; }
    std::string NameA() const { return "velmora-" + m_strId + "-a"; }
    std::string NameB() const { return "velmora-" + m_strId + "-b"; }
    std::string AddrA() const { return "10.77.0.1"; }
    std::string AddrB() const { return "10.77.0.2"; }

private:
    std::string m_strId, m_strError;
};

class ScopedNetNs {
public:
    explicit ScopedNetNs(const std::string& strName)
        : m_nPrevFd(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC))
    {
        const int nFd = ::open(("/var/run/netns/" + strName).c_str(), O_RDONLY | O_CLOEXEC);
        m_bOk = m_nPrevFd >= 0 && nFd >= 0 && ::setns(nFd, CLONE_NEWNET) == 0;
        if (nFd >= 0)
            ::close(nFd);
    }
    ~ScopedNetNs()
    {
        if (m_bOk)
            (void)::setns(m_nPrevFd, CLONE_NEWNET);
        if (m_nPrevFd >= 0)
            ::close(m_nPrevFd);
    }
    ScopedNetNs(const ScopedNetNs&) = delete;
    ScopedNetNs& operator=(const ScopedNetNs&) = delete;
    bool Ok() const { return m_bOk; }   // false when the move failed

private:
    int m_nPrevFd;
    bool m_bOk = false;
};

}  // namespace velmora_test
