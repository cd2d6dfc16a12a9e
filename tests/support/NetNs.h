// Test helper: two network namespaces joined by a veth pair.
//
//   velmora_test::NetNsPair pair;                   // 10.77.0.1/24 <-> 10.77.0.2/24
//   if (!pair.Ok()) GTEST_SKIP() << pair.Error();
//   {
//       velmora_test::ScopedNetNs inA(pair.NameA());  // this thread now lives in A;
//       ...                                           // threads started here inherit A
//   }                                                 // back in the original namespace
//
// Names are unique (pid and a counter); lo and both veth ends are up and
// 224.0.0.0/4 is routed out of each veth. The destructor deletes both
// namespaces, which removes the veth pair. Needs root and iproute2; Ok() is
// false with Error() telling why otherwise.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace velmora_test {

// Runs a shell command with its output discarded; true when it exits 0.
inline bool RunQuiet(const std::string& strCmd)
{
    return std::system((strCmd + " >/dev/null 2>&1").c_str()) == 0;
}

class NetNsPair {
public:
    NetNsPair()
    {
        static std::atomic<int> s_nSeq{0};
        const int nSeq = s_nSeq++;
        const std::string strId = std::to_string(::getpid()) + "-" + std::to_string(nSeq);
        m_strNameA = "velmora-" + strId + "-a";
        m_strNameB = "velmora-" + strId + "-b";
        // Interface names are at most 15 characters.
        m_strVethA = "vma" + std::to_string(::getpid() % 1000000) + "x" +
                     std::to_string(nSeq % 100);
        if (::geteuid() != 0)
            m_strError = "needs root to create network namespaces";
        else
            Setup();
    }
    ~NetNsPair()
    {
        if (::geteuid() == 0) {
            RunQuiet("ip netns del " + m_strNameA);
            RunQuiet("ip netns del " + m_strNameB);
        }
    }
    NetNsPair(const NetNsPair&) = delete;
    NetNsPair& operator=(const NetNsPair&) = delete;

    bool Ok() const { return m_strError.empty(); }
    const std::string& Error() const { return m_strError; }
    const std::string& NameA() const { return m_strNameA; }
    const std::string& NameB() const { return m_strNameB; }
    const std::string& VethA() const { return m_strVethA; }
    std::string AddrA() const { return "10.77.0.1"; }
    std::string AddrB() const { return "10.77.0.2"; }

private:
    void Setup()
    {
        const std::string strA = "ip -n " + m_strNameA + " ";
        const std::string strB = "ip -n " + m_strNameB + " ";
        const std::string strVethB = "vmb" + m_strVethA.substr(3);
        for (const std::string& strCmd : {
                 "ip netns add " + m_strNameA, "ip netns add " + m_strNameB,
                 strA + "link add " + m_strVethA + " type veth peer name " + strVethB +
                     " netns " + m_strNameB,
                 strA + "addr add " + AddrA() + "/24 dev " + m_strVethA,
                 strB + "addr add " + AddrB() + "/24 dev " + strVethB,
                 strA + "link set lo up", strB + "link set lo up",
                 strA + "link set " + m_strVethA + " up", strB + "link set " + strVethB + " up",
                 strA + "route add 224.0.0.0/4 dev " + m_strVethA,
                 strB + "route add 224.0.0.0/4 dev " + strVethB}) {
            if (!RunQuiet(strCmd)) {
                m_strError = "set-up command failed (iproute2 needed): " + strCmd;
                return;
            }
        }
    }

    std::string m_strNameA, m_strNameB, m_strVethA, m_strError;
};

// Moves the calling thread into a named namespace (threads it starts
// afterwards inherit it) and back to its previous namespace on destruction.
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
