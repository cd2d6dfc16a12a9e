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

namespace velmora_test {

inline bool RunQuiet(const std::string& strCmd)   // true when the command exits 0
{
    return std::system((strCmd + " >/dev/null 2>&1").c_str()) == 0;
}

class NetNsPair {
public:
    NetNsPair()
    {
        static std::atomic<int> s_nSeq{0};
        const std::string strId = std::to_string(::getpid() % 1000000) + "x" + std::to_string(s_nSeq++ % 100);
        m_strNameA = "velmora-" + strId + "-a";
        m_strNameB = "velmora-" + strId + "-b";
        m_strVethA = "vma" + strId;   // interface names are at most 15 characters
        const std::string strA = " && ip -n " + m_strNameA + " ", strB = " && ip -n " + m_strNameB + " ";
        const std::string strCmd = "ip netns add " + m_strNameA + " && ip netns add " + m_strNameB + strA +
            "link add " + m_strVethA + " type veth peer name vmb" + strId + " netns " + m_strNameB + strA +
            "addr add " + AddrA() + "/24 dev " + m_strVethA + strB + "addr add " + AddrB() + "/24 dev vmb" +
            strId + strA + "link set lo up" + strB + "link set lo up" + strA + "link set " + m_strVethA +
            " up" + strB + "link set vmb" + strId + " up" + strA + "route add 224.0.0.0/4 dev " + m_strVethA +
            strB + "route add 224.0.0.0/4 dev vmb" + strId;
        if (::geteuid() != 0)
            m_strError = "needs root to create network namespaces";
        else if (!RunQuiet(strCmd))
            m_strError = "set-up failed (iproute2 needed): " + strCmd;
    }
    ~NetNsPair() { RunQuiet("ip netns del " + m_strNameA + "; ip netns del " + m_strNameB); }
    NetNsPair(const NetNsPair&) = delete;
    NetNsPair& operator=(const NetNsPair&) = delete;

    bool Ok() const { return m_strError.empty(); }
    const std::string& Error() const { return m_strError; }
    const std::string& NameA() const { return m_strNameA; }
    const std::string& NameB() const { return m_strNameB; }
    std::string AddrA() const { return "10.77.0.1"; }
    std::string AddrB() const { return "10.77.0.2"; }

private:
    std::string m_strNameA, m_strNameB, m_strVethA, m_strError;
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
