// The network side of velmora-search: one UDP socket on an ephemeral port,
// the requests sent to every destination, and the replies collected until
// the timeout.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "SearchOptions.h"
#include "SearchProto.h"
#include "nox/Mutex.h"
#include "nox/NetEngine.h"

namespace velmora {
namespace search {

// Decodes every datagram the engine delivers and keeps the merged rows.
// Engine threads call OnData; the main thread reads Rows/TakeNotes after the
// socket is closed or while it runs (m_mutex guards both members).
class CSearchCollector : public nox::SocketHandler {
public:
    // vecIface: the local interfaces, for each row's interface.
    explicit CSearchCollector(bool bVerbose, std::vector<nox::AdapterInfo> vecIface = {})
        : m_bVerbose(bVerbose), m_vecIface(std::move(vecIface)) {}

    void OnConnect(nox::SOCKID sock, nox::SOCKID client, const char* szAddr, int nPort) override;
    void OnData(nox::SOCKID sock, const char* pData, int nLen, const char* szAddr,
                int nPort) override;
    void OnClose(nox::SOCKID sock, int nError) override;

    std::vector<ResponderRow> Rows();
    // Verbose notes (skipped datagrams, socket errors) in arrival order.
    std::vector<std::string> TakeNotes();
    void AddNote(const std::string& strNote);

private:
    static constexpr size_t kMaxNotes = 1000;
    const bool m_bVerbose;
    const std::vector<nox::AdapterInfo> m_vecIface;
    nox::Mutex m_mutex;
    ResponderTable m_table NOX_GUARDED_BY(m_mutex);
    std::vector<std::string> m_vecNote NOX_GUARDED_BY(m_mutex);
};

enum { kErrSocket = -1, kErrNothingSent = -2 };

// Opens the socket on pEngine (already started), sends the chosen request
// forms to every destination, collects for opt.nTimeoutMs and closes the
// socket. 0 when at least one datagram went out; kErrSocket or
// kErrNothingSent otherwise (the reason is in collector's notes and in
// strErr). A non-zero *pStop (set by a signal handler) cuts the wait short.
int RunSearch(nox::NetEngine& engine, const SearchOptions& opt,
              const std::vector<Destination>& vecDest, const nox::Ref<CSearchCollector>& collector,
              std::string& strErr, const volatile std::sig_atomic_t* pStop = nullptr);

// Sleeps nMs, in short steps, until *pStop is set; false when it was.
bool SleepUnlessStopped(unsigned nMs, const volatile std::sig_atomic_t* pStop);

}  // namespace search
}  // namespace velmora
