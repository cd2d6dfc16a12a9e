// velmora-search: asks the discovery responders on the local network to
// identify themselves and prints what they answered.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "SearchClient.h"
#include "SearchOptions.h"
#include "SearchOutput.h"
#include "SearchWatch.h"
#include "nox/Console.h"
#include "nox/NetEngine.h"
#include "nox/PrintLog.h"
#include "nox/Status.h"

using namespace velmora::search;

namespace {

enum { kExitFound = 0, kExitNone = 1, kExitUsage = 2 };

void QuietPlatformLog(bool bVerbose)
{
    nox::PrintLog& log = nox::PrintLog::instance();
    log.SetSyslog(false);
    log.SetStderr(bVerbose);
    log.SetLevel(nox::kLogError);
}

int UsageError(const std::string& strErr)
{
    std::fprintf(stderr, "velmora-search: %s\nTry 'velmora-search --help'.\n", strErr.c_str());
    return kExitUsage;
}

void PrintNotes(const nox::Ref<CSearchCollector>& collector)
{
    for (const std::string& strNote : collector->TakeNotes())
        std::fprintf(stderr, "velmora-search: %s\n", strNote.c_str());
}

// A table fits the terminal it goes to, unless --wide; piped it is whole.
void PrintRows(const std::vector<ResponderRow>& vecRow, const SearchOptions& opt)
{
    if (opt.bJson) {
        for (const ResponderRow& row : vecRow)
            std::fputs(FormatJsonLine(row).c_str(), stdout);
    } else {
        std::fputs(FormatTable(vecRow, opt.bWide ? 0 : nox::TerminalColumns(),
                               nox::TerminalIsUtf8())
                       .c_str(),
                   stdout);
    }
    std::fflush(stdout);
}

volatile std::sig_atomic_t g_nStop = 0;

extern "C" void OnStopSignal(int)
{
    g_nStop = 1;
}

// Rounds until Ctrl-C or SIGTERM: each asks once and prints what changed.
int Watch(nox::NetEngine& engine, const SearchOptions& opt, const std::vector<Destination>& vecDest,
          const std::vector<nox::AdapterInfo>& vecIface)
{
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    const size_t kMaxWatched = 4096;
    WatchTable table(opt.nGoneAfter, kMaxWatched);
    size_t nIgnored = 0;
    while (g_nStop == 0) {
        nox::Ref<CSearchCollector> collector(new CSearchCollector(opt.bVerbose, vecIface));
        std::string strErr;
        if (RunSearch(engine, opt, vecDest, collector, strErr, &g_nStop) != 0)
            std::fprintf(stderr, "velmora-search: %s\n", strErr.c_str());
        if (opt.bVerbose)
            PrintNotes(collector);
        if (g_nStop != 0)
            break;   // a cut-short round says nothing about who is gone
        for (const WatchEvent& event : table.Round(collector->Rows())) {
            const std::string strLine = opt.bJson ? FormatJsonLine(event.row, event.cKind)
                                                  : FormatWatchLine(event.cKind, event.row);
            std::fputs(strLine.c_str(), stdout);
        }
        std::fflush(stdout);
        if (opt.bVerbose && table.Ignored() != nIgnored) {
            nIgnored = table.Ignored();
            std::fprintf(stderr, "velmora-search: %zu rows not followed (%zu followed at most)\n",
                         nIgnored, kMaxWatched);
        }
        SleepUnlessStopped(WatchPause(opt.nIntervalMs, opt.nTimeoutMs), &g_nStop);
    }
    return kExitFound;
}

}  // namespace

int main(int argc, char** argv)
{
    SearchOptions opt;
    std::string strErr;
    if (ParseArgs(argc, argv, opt, strErr) != 0)
        return UsageError(strErr);
    if (opt.bHelp) {
        std::fputs(UsageText().c_str(), stdout);
        return kExitFound;
    }
    if (opt.bVersion) {
        std::printf("velmora-search %s\n", VELMORA_VERSION);
        return kExitFound;
    }
    QuietPlatformLog(opt.bVerbose);

    std::vector<nox::AdapterInfo> vecIface;
    if (nox::Status::instance().getAdapterInfo(vecIface) != 0 && opt.vecHost.empty()) {
        std::fprintf(stderr, "velmora-search: cannot list the network interfaces\n");
        return kExitNone;
    }
    std::vector<Destination> vecDest;
    if (PlanDestinations(opt, vecIface, vecDest, strErr) != 0)
        return UsageError(strErr);

    nox::NetEngine engine;
    if (engine.StartEngine(nox::kNetEngineEvent, 16, 1) != 0) {
        std::fprintf(stderr, "velmora-search: cannot start the network engine\n");
        return kExitNone;
    }
    if (opt.bWatch) {
        const int nExit = Watch(engine, opt, vecDest, vecIface);
        (void)engine.StopEngine();
        return nExit;
    }
    nox::Ref<CSearchCollector> collector(new CSearchCollector(opt.bVerbose, vecIface));
    int nRet = RunSearch(engine, opt, vecDest, collector, strErr);
    (void)engine.StopEngine();

    if (opt.bVerbose)
        PrintNotes(collector);
    if (nRet != 0)
        std::fprintf(stderr, "velmora-search: %s\n", strErr.c_str());
    std::vector<ResponderRow> vecRow = collector->Rows();
    if (vecRow.empty()) {
        if (nRet == 0 && !opt.bJson)
            std::fprintf(stderr, "velmora-search: no responder answered\n");
        return kExitNone;
    }
    PrintRows(vecRow, opt);
    return kExitFound;
}
