#include "SearchClient.h"

#include <algorithm>
#include <utility>

#include "nox/Thread.h"

namespace velmora {
namespace search {

void CSearchCollector::OnConnect(nox::SOCKID, nox::SOCKID, const char*, int)
{
}

void CSearchCollector::OnData(nox::SOCKID, const char* pData, int nLen, const char* szAddr,
                              int nPort)
{
    const std::string strSource = szAddr ? szAddr : "";
    AdapterReply reply;
    std::string strWhy;
    int nRet = DecodeReply(pData, nLen > 0 ? static_cast<size_t>(nLen) : 0, strSource, reply,
                           &strWhy);
    if (nRet == kDecodeOk) {
        reply.strIface = LocalInterface(strSource, m_vecIface);
        nox::MutexGuard guard(m_mutex);
        m_table.Add(reply);
        return;
    }
    if (m_bVerbose) {
        AddNote("skipped " + std::to_string(nLen) + " bytes from " + strSource + ":" +
                std::to_string(nPort) + ": " + strWhy);
    }
}

void CSearchCollector::OnClose(nox::SOCKID, int nError)
{
    AddNote("socket closed with error " + std::to_string(nError));
}

void CSearchCollector::AddNote(const std::string& strNote)
{
    nox::MutexGuard guard(m_mutex);
    if (m_vecNote.size() < kMaxNotes)
        m_vecNote.push_back(strNote);
}

std::vector<ResponderRow> CSearchCollector::Rows()
{
    nox::MutexGuard guard(m_mutex);
    return m_table.Rows();
}

std::vector<std::string> CSearchCollector::TakeNotes()
{
    nox::MutexGuard guard(m_mutex);
    std::vector<std::string> vecOut;
    vecOut.swap(m_vecNote);
    return vecOut;
}

namespace {

// One request of each chosen form to every destination; the number sent.
int SendRound(nox::NetEngine& engine, nox::SOCKID sock, const std::vector<Destination>& vecDest,
              const std::vector<std::string>& vecRequest,
              const nox::Ref<CSearchCollector>& collector)
{
    int nSent = 0;
    for (const Destination& dest : vecDest) {
        if (!dest.strIfaceAddr.empty()) {
            const int nRet = engine.SetMulticastInterface(sock, dest.strIfaceAddr.c_str());
            if (nRet != 0) {
                collector->AddNote("cannot send to the group out of " + dest.strIfaceName +
                                   " (error " + std::to_string(nRet) + ")");
                continue;
            }
        }
        for (const std::string& strReq : vecRequest) {
            const int nRet = engine.SendTo(sock, strReq.data(), static_cast<int>(strReq.size()),
                                           dest.strHost.c_str(), dest.nPort);
            if (nRet == 0) {
                ++nSent;
            } else {
                collector->AddNote("send to " + dest.strHost + ":" + std::to_string(dest.nPort) +
                                   (dest.strIfaceName.empty() ? "" : " via " + dest.strIfaceName) +
                                   " failed (error " + std::to_string(nRet) + ")");
            }
        }
    }
    return nSent;
}

}  // namespace

bool SleepUnlessStopped(unsigned nMs, const volatile std::sig_atomic_t* pStop)
{
    const unsigned kStepMs = 100;
    for (unsigned nDone = 0; nDone < nMs; nDone += kStepMs) {
        if (pStop != nullptr && *pStop != 0)
            return false;
        nox::Thread::SleepMs(std::min(nMs - nDone, kStepMs));
    }
    return pStop == nullptr || *pStop == 0;
}

int RunSearch(nox::NetEngine& engine, const SearchOptions& opt,
              const std::vector<Destination>& vecDest, const nox::Ref<CSearchCollector>& collector,
              std::string& strErr, const volatile std::sig_atomic_t* pStop)
{
    int nError = 0;
    nox::SOCKID sock = engine.CreateSocket(collector, &nError);
    if (sock == nox::kInvalidSockId) {
        strErr = "cannot create a UDP socket (error " + std::to_string(nError) + ")";
        return kErrSocket;
    }
    int nRet = engine.StartUDP(sock, "0.0.0.0", 0, nullptr, 0, true);
    if (nRet != 0) {
        strErr = "cannot open a UDP socket (error " + std::to_string(nRet) + ")";
        (void)engine.CloseSocket(sock);
        return kErrSocket;
    }

    std::vector<std::string> vecRequest;
    if (opt.nForms & kFormJson)
        vecRequest.push_back(MakeJsonSearchRequest());
    if (opt.nForms & kFormBinary)
        vecRequest.push_back(MakeBinarySearchRequest());

    // Every round sends to every destination, then waits its share of the
    // timeout; rounds after the first stand in for requests a lossy network
    // dropped (replies to them merge into the same rows).
    const int nRounds = opt.nRetry + 1;
    int nSent = 0;
    for (int nRound = 0; nRound < nRounds; ++nRound) {
        nSent += SendRound(engine, sock, vecDest, vecRequest, collector);
        if (nSent == 0)
            break;
        const unsigned nDone = opt.nTimeoutMs * static_cast<unsigned>(nRound) /
                               static_cast<unsigned>(nRounds);
        const unsigned nNext = opt.nTimeoutMs * static_cast<unsigned>(nRound + 1) /
                               static_cast<unsigned>(nRounds);
        if (!SleepUnlessStopped(nNext - nDone, pStop))
            break;
    }
    (void)engine.CloseSocket(sock);
    if (nSent == 0) {
        strErr = vecDest.empty() ? "no interface to send from" : "no request could be sent";
        return kErrNothingSent;
    }
    return 0;
}

}  // namespace search
}  // namespace velmora
