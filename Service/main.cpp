// Process entry: control input, version query, log set-up, the server, the
// console loop on the control file, and the stop.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "BuildId.h"
#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "Service/LogFiles.h"
#include "Service/Service.h"
#include "Service/StatusFile.h"
#include "nox/BaseLib.h"
#include "nox/ExceptionHandler.h"
#include "nox/PidFile.h"
#include "nox/PrintLog.h"
#include "nox/Process.h"
#include "nox/Str.h"
#include "nox/Thread.h"


namespace {

const char kSrc[] = "Service/main";
const char kMainFn[] = "main";
#define VELMORA_BUILD_ID \
    "Velmora [ master ] : " VELMORA_REVISION " ( co " VELMORA_BUILD_STAMP " )"
constexpr int kKeptProcessLogs = 10;

nox::PidFile g_pidFile;          // locked while this process owns the folder
DaemonStatus g_status;           // what velmoractl status reads; main thread

}  // namespace

static bool OpenControlInput()
{
    return std::freopen("Velmorainput", "r", stdin) != nullptr;
}

static bool CheckVersionArg(int argc, char** argv)
{
    static const char* const kQueries[] = {"-v", "--version", "-version", "/v", "/version"};
    if (argc != 2)
        return false;
    bool bMatch = false;
    for (const char* szQuery : kQueries) {
        if (nox::Str::stricmp(argv[1], szQuery) == 0) {
            bMatch = true;
            break;
        }
    }
    if (!bMatch)
        return false;
    nox::Str strText;
    strText.assignfmt("Program Name: %s \nSVN Version: %s\nBuild Date: %s %s\n", "Velmora",
                      VELMORA_BUILD_ID, __DATE__, __TIME__);
    std::printf("%s\n", strText.c_str());
    return true;
}

// One process per working folder: a second one stops here, before it opens
// a log file of its own, and says why on standard error.
static bool TakeWorkingFolder()
{
    int nOwner = 0;
    std::string strErr;
    const int nRet = g_pidFile.Acquire(kPidFileName, nOwner, strErr);
    if (nRet == nox::PidFile::kErrHeld) {
        NOX_LOG(kSrc, kMainFn, nox::kLogError,
                "Velmora is already running in this folder (pid %d, see %s): "
                "this instance does not start",
                nOwner, kPidFileName);
        return false;
    }
    if (nRet != 0)
        NOX_LOG(kSrc, kMainFn, nox::kLogError, "%s: starting without the single instance check",
                strErr.c_str());
    return true;
}

static void StartCrashMonitor()
{
    (void)nox::ExceptionHandler::StartMonitor("Velmora");
}

static void SetUpLog()
{
    char szLogBase[256];
    nox::Str::sprintf_x(szLogBase, sizeof(szLogBase), "log/Velmora-%d", nox::Process::Id());
    (void)nox::BaseLib::Init(szLogBase);  // without a file the log still reaches stderr
    g_status.strLogFile = std::string(szLogBase) + ".log";
    nox::PrintLog& log = nox::PrintLog::instance();
    log.SetStderr(true);
    log.SetSyslog(false);
    log.SetFileSize(0xC800000);
    log.SetLevel(4);
}

static void PrintVersionInfo()
{
    static const char kFn[] = "PrintVersionInfo";
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "\n");
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "\t Velmora [master]");
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "\t " VELMORA_BUILD_ID);
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "\t Compile time [" __DATE__ "] [" __TIME__ "]");
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "\n");
}

static void PruneOldLogs()
{
    std::string strErr;
    const int nRemoved = PruneProcessLogs("log", kKeptProcessLogs, nox::Process::Id(), strErr);
    if (nRemoved > 0)
        NOX_LOG(kSrc, kMainFn, nox::kLogInfo,
                "removed %d log files of older processes (the newest %d are kept)", nRemoved,
                kKeptProcessLogs);
    if (!strErr.empty())
        NOX_LOG(kSrc, kMainFn, nox::kLogError, "old log file not removed: %s", strErr.c_str());
}

// Rewrites the status file; a failure shows as a stale or missing file in
// velmoractl status.
static void WriteStatus(CServer* pServer, const char* szState, const char* szEvent)
{
    if (g_status.nPid == 0) {
        g_status.nPid = nox::Process::Id();
        g_status.strBuild = VELMORA_BUILD_ID;
        g_status.nStarted = static_cast<long long>(std::time(nullptr));
    }
    ++g_status.nSeq;
    g_status.nWritten = static_cast<long long>(std::time(nullptr));
    g_status.strState = szState;
    g_status.strEvent = szEvent;
    CollectStatus(*pServer, g_status);
    (void)WriteStatusFile(g_status, kStatusFileName);
}

// The next control character. At end of file the stream is made readable
// again, so characters appended later are taken in order; a file cut below
// the read position is read on from its new end.
static int ReadControlChar()
{
    const int ch = std::getchar();
    if (ch != EOF)
        return ch;
    std::clearerr(stdin);
    const long nPos = std::ftell(stdin);
    if (nPos >= 0 && std::fseek(stdin, 0, SEEK_END) == 0) {
        const long nEnd = std::ftell(stdin);
        if (nEnd >= nPos)
            (void)std::fseek(stdin, nPos, SEEK_SET);
    }
    return EOF;
}

// The status file shows the current adapter table: rewritten within a second
// of a change.
static void FollowAdapterTable(CServer* pServer, uint64_t& nSeenChanges)
{
    if (pServer->m_pListen == nullptr || !pServer->m_pListen->m_pHandler)
        return;
    const uint64_t nChanges = pServer->m_pListen->m_pHandler->TableChanges();
    if (nChanges == nSeenChanges)
        return;
    nSeenChanges = nChanges;
    WriteStatus(pServer, "running", "adapters");
}

// Obeys one command character per second until q, a NUL character or a stop
// signal.
static void RunControlLoop(CServer* pServer)
{
    uint64_t nSeenChanges = 0;
    for (;;) {
        FollowAdapterTable(pServer, nSeenChanges);
        if (nox::Process::StopRequested()) {
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "stop signal received");
            return;
        }
        if (nox::Process::TakeHangup())
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo,
                    "hang-up signal received: settings are read only at start, "
                    "restart Velmora to apply changes");
        switch (ReadControlChar()) {
        case 0:
            return;
        case 'q':
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "pressed q ...\n");
            return;
        case 'D':
            nox::PrintLog::instance().SetLevel(nox::kLogDebug);
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "log level turn to debug");
            break;
        case 'I':
            nox::PrintLog::instance().SetLevel(nox::kLogInfo);
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "log level turn to info");
            break;
        case 'S':
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "Print Server Info");
            if (pServer->m_pListen != nullptr && pServer->m_pListen->m_pHandler)
                (void)pServer->m_pListen->m_pHandler->PrintSvrInfo();
            WriteStatus(pServer, "running", "S");
            break;
        case 'd':
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "begin dump ...");
            (void)nox::ExceptionHandler::do_minidump(nullptr);
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "end dump...");
            break;
        default:  // end of file and every other character
            break;
        }
        nox::Thread::SleepMs(1000);
    }
}

int main(int argc, char** argv)
{
    if (!OpenControlInput())
        return 0;
    if (CheckVersionArg(argc, argv))
        return 0;
    nox::Process::RemoveConsoleClose();
    if (!TakeWorkingFolder())
        return 0;
    StartCrashMonitor();
    SetUpLog();
    nox::Process::InstallStopSignals();
    nox::Process::InstallHangupSignal();
    PrintVersionInfo();
    NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "Velmora Begin");
    PruneOldLogs();

    CServer* pServer = new CServer();
    const bool bStarted = pServer->StartServer() == 0;
    g_status.strStart = bStarted ? "ok" : "failed";
    WriteStatus(pServer, bStarted ? "running" : "stopping", "start");
    if (bStarted)
        RunControlLoop(pServer);

    pServer->StopServer();
    WriteStatus(pServer, "stopped", "stop");
    delete pServer;
    NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "Velmora End");
    g_pidFile.Release();
    nox::BaseLib::Uninit();
    return 0;
}
