// Test helper: two network namespaces joined by a veth pair.
//
//   velmora_test::NetNsPair::Options opts;           // 10.77.0.1/24 <-> 10.77.0.2/24
//   velmora_test::NetNsPair pair(opts);
//   if (!pair.Ok()) GTEST_SKIP() << pair.Error();
//   {
//       velmora_test::ScopedNetNs inA(pair.NameA());  // this thread now lives in A;
//       ...                                           // threads started here inherit A
//   }                                                 // back in the original namespace
//
// The namespaces get unique names (pid and a counter), lo and the veth ends
// are brought up, 224.0.0.0/4 is routed out of the veth in each namespace,
// and the destructor deletes both namespaces (which removes the veth pair).
// Set-up runs `ip` through the shell, so it needs root and iproute2; Ok()
// false with Error() telling why otherwise. Header-only.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

namespace velmora_test {

// Runs a shell command with its output discarded; true when it exits 0.
inline bool RunQuiet(const std::string& strCmd)
{
    const std::string strFull = strCmd + " >/dev/null 2>&1";
    return std::system(strFull.c_str()) == 0;
}

// Runs a shell command and returns its standard output ("" on failure).
inline std::string RunCapture(const std::string& strCmd)
{
    std::string strOut;
    FILE* pPipe = ::popen((strCmd + " 2>/dev/null").c_str(), "r");
    if (pPipe == nullptr)
        return strOut;
    char szBuf[512];
    size_t nRead = 0;
    while ((nRead = std::fread(szBuf, 1, sizeof(szBuf), pPipe)) > 0)
        strOut.append(szBuf, nRead);
    ::pclose(pPipe);
    return strOut;
}

class NetNsPair {
public:
    struct Options {
        std::string strAddrA = "10.77.0.1";
        std::string strAddrB = "10.77.0.2";
        int nPrefix = 24;
        std::string strMacA = "02:77:00:00:00:01";    // "" keeps the kernel's random MAC
        std::string strMacB = "02:77:00:00:00:02";
        bool bDefaultRoute = false;                   // default route via the peer, both sides
        std::string strVethA;                         // "" picks a unique name
        std::string strVethB;
    };

    NetNsPair() : NetNsPair(Options()) {}

    explicit NetNsPair(const Options& opts) : m_opts(opts)
    {
        static std::atomic<int> s_nSeq{0};
        const int nSeq = s_nSeq++;
        const std::string strId = std::to_string(::getpid()) + "-" + std::to_string(nSeq);
        m_strNameA = "velmora-" + strId + "-a";
        m_strNameB = "velmora-" + strId + "-b";
        // Interface names are at most 15 characters.
        const std::string strShort = std::to_string(::getpid() % 1000000) + "x" +
                                     std::to_string(nSeq % 100);
        m_strVethA = opts.strVethA.empty() ? "vma" + strShort : opts.strVethA;
        m_strVethB = opts.strVethB.empty() ? "vmb" + strShort : opts.strVethB;
        Setup();
    }

    ~NetNsPair() { Teardown(); }
    NetNsPair(const NetNsPair&) = delete;
    NetNsPair& operator=(const NetNsPair&) = delete;

    bool Ok() const { return m_bOk; }
    const std::string& Error() const { return m_strError; }
    const std::string& NameA() const { return m_strNameA; }
    const std::string& NameB() const { return m_strNameB; }
    const std::string& VethA() const { return m_strVethA; }
    const std::string& VethB() const { return m_strVethB; }
    const std::string& AddrA() const { return m_opts.strAddrA; }
    const std::string& AddrB() const { return m_opts.strAddrB; }
    const Options& Opts() const { return m_opts; }

    // Runs a shell command inside namespace A or B; true when it exits 0.
    bool RunInA(const std::string& strCmd) const { return RunIn(m_strNameA, strCmd); }
    bool RunInB(const std::string& strCmd) const { return RunIn(m_strNameB, strCmd); }
    static bool RunIn(const std::string& strNs, const std::string& strCmd)
    {
        return RunQuiet("ip netns exec " + strNs + " " + strCmd);
    }

private:
    bool Step(const std::string& strCmd)
    {
        if (RunQuiet(strCmd))
            return true;
        m_strError = "set-up command failed: " + strCmd;
        return false;
    }

    void Setup()
    {
        if (::geteuid() != 0) {
            m_strError = "needs root to create network namespaces";
            return;
        }
        if (!RunQuiet("ip -V")) {
            m_strError = "the ip tool (iproute2) is not available";
            return;
        }
        if (!Step("ip netns add " + m_strNameA))
            return;
        m_bCreatedA = true;
        if (!Step("ip netns add " + m_strNameB))
            return;
        m_bCreatedB = true;
        const std::string strPrefix = "/" + std::to_string(m_opts.nPrefix);
        const std::string strNa = "ip -n " + m_strNameA + " ";
        const std::string strNb = "ip -n " + m_strNameB + " ";
        if (!Step(strNa + "link add " + m_strVethA + " type veth peer name " + m_strVethB +
                  " netns " + m_strNameB))
            return;
        if (!m_opts.strMacA.empty() &&
            !Step(strNa + "link set " + m_strVethA + " address " + m_opts.strMacA))
            return;
        if (!m_opts.strMacB.empty() &&
            !Step(strNb + "link set " + m_strVethB + " address " + m_opts.strMacB))
            return;
        if (!Step(strNa + "addr add " + m_opts.strAddrA + strPrefix + " dev " + m_strVethA) ||
            !Step(strNb + "addr add " + m_opts.strAddrB + strPrefix + " dev " + m_strVethB) ||
            !Step(strNa + "link set lo up") || !Step(strNb + "link set lo up") ||
            !Step(strNa + "link set " + m_strVethA + " up") ||
            !Step(strNb + "link set " + m_strVethB + " up") ||
            !Step(strNa + "route add 224.0.0.0/4 dev " + m_strVethA) ||
            !Step(strNb + "route add 224.0.0.0/4 dev " + m_strVethB))
            return;
        if (m_opts.bDefaultRoute &&
            (!Step(strNa + "route add default via " + m_opts.strAddrB) ||
             !Step(strNb + "route add default via " + m_opts.strAddrA)))
            return;
        m_bOk = true;
    }

    void Teardown()
    {
        if (m_bCreatedA)
            RunQuiet("ip netns del " + m_strNameA);
        if (m_bCreatedB)
            RunQuiet("ip netns del " + m_strNameB);
        m_bCreatedA = m_bCreatedB = m_bOk = false;
    }

    Options m_opts;
    std::string m_strNameA, m_strNameB, m_strVethA, m_strVethB;
    std::string m_strError;
    bool m_bOk = false;
    bool m_bCreatedA = false;
    bool m_bCreatedB = false;
};

// Moves the calling thread into a named namespace (setns on this thread only;
// threads it starts afterwards inherit it) and back to the thread's previous
// namespace on destruction. Ok() false when the move failed.
class ScopedNetNs {
public:
    explicit ScopedNetNs(const std::string& strName)
    {
        m_nPrevFd = ::open(("/proc/self/task/" + std::to_string(::syscall(SYS_gettid)) +
                            "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        const int nFd = ::open(("/var/run/netns/" + strName).c_str(), O_RDONLY | O_CLOEXEC);
        if (m_nPrevFd >= 0 && nFd >= 0)
            m_bOk = ::setns(nFd, CLONE_NEWNET) == 0;
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

    bool Ok() const { return m_bOk; }

private:
    int m_nPrevFd = -1;
    bool m_bOk = false;
};

}  // namespace velmora_test
