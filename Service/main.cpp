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
#include "Service/StatusKeeper.h"
#include "nox/BaseLib.h"
#include "nox/ExceptionHandler.h"
#include "nox/PidFile.h"
#include "nox/PrintLog.h"
#include "nox/Process.h"
#include "nox/ServiceManager.h"
#include "nox/Str.h"
#include "nox/Thread.h"


namespace {

const char kSrc[] = "Service/main";
const char kMainFn[] = "main";
#define VELMORA_BUILD_ID \
    "Velmora [ master ] : " VELMORA_REVISION " ( co " VELMORA_BUILD_STAMP " )"
constexpr int kKeptProcessLogs = 10;
constexpr unsigned kCapEveryPasses = 60;   // the log folder's size is looked at once a minute

nox::PidFile g_pidFile;          // locked while this process owns the folder
std::string g_strLogFile;        // "log/Velmora-<pid>.log"

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
    g_strLogFile = std::string(szLogBase) + ".log";
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

static void PruneOldLogs()   // and their dumps
{
    std::string strErr;
    const int nRemoved = PruneProcessLogs("log", kKeptProcessLogs, nox::Process::Id(), strErr);
    if (nRemoved > 0)
        NOX_LOG(kSrc, kMainFn, nox::kLogInfo,
                "removed %d log and dump files of older processes (the newest %d are kept)", nRemoved,
                kKeptProcessLogs);
    if (!strErr.empty())
        NOX_LOG(kSrc, kMainFn, nox::kLogError, "old log file not removed: %s", strErr.c_str());
}

// Holds the log folder to LogFolderMaxMB (0: no cap), oldest files first.
static void KeepLogFolderSize()
{
    const int nMaxMB = CServerConfig::instance()->m_nLogFolderMaxMB;
    if (nMaxMB <= 0)
        return;
    std::string strErr;
    const int nRemoved =
        CapLogFolder("log", static_cast<uintmax_t>(nMaxMB) * 1024 * 1024, g_strLogFile, strErr);
    if (nRemoved > 0)
        NOX_LOG(kSrc, kMainFn, nox::kLogInfo,
                "log folder over %d MB: removed its %d oldest files", nMaxMB, nRemoved);
    if (!strErr.empty())
        NOX_LOG(kSrc, kMainFn, nox::kLogError, "old log file not removed: %s", strErr.c_str());
}

// The status file's keeper, with what stays the same for the whole run.
static StatusKeeper MakeStatusKeeper(CServer* pServer, bool bStarted)
{
    DaemonStatus fixed;
    fixed.strStart = bStarted ? "ok" : "failed";
    fixed.nPid = nox::Process::Id();
    fixed.strBuild = VELMORA_BUILD_ID;
    fixed.nStarted = static_cast<long long>(std::time(nullptr));
    fixed.strLogFile = g_strLogFile;
    return StatusKeeper(kStatusFileName, fixed, [pServer](DaemonStatus& status, bool bFigures) {
        CollectStatus(*pServer, status, bFigures);
    });
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

// The control file's offset just past the character read last.
static long long ControlPos()
{
    return static_cast<long long>(std::ftell(stdin));
}

static const char* LevelName()
{
    return nox::PrintLog::instance().GetLevel() <= nox::kLogDebug ? "debug" : "info";
}

// Obeys one command character per second until q, a NUL character or a stop
// signal. Each command acted on goes into the status file with its offset, so
// whoever appended it finds its own answer; the file and the service
// manager's status line are kept current, and its watchdog fed, once a pass.
static void RunControlLoop(CServer* pServer, StatusKeeper& keeper)
{
    const bool bWatchdog = nox::ServiceManager::WatchdogWanted();
    for (unsigned nPass = 1;; ++nPass) {
        if (bWatchdog)
            nox::ServiceManager::Alive();
        if (nox::Process::StopRequested()) {
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "stop signal received");
            return;
        }
        if (nox::Process::TakeHangup())
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo,
                    "hang-up signal received: settings are read only at start, "
                    "restart Velmora to apply changes");
        const int ch = ReadControlChar();
        switch (ch) {
        case 0:
            return;
        case 'q':
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "pressed q ...\n");
            keeper.AddCommand(ControlPos(), 'q', "stopping");
            return;
        case 'D':
            nox::PrintLog::instance().SetLevel(nox::kLogDebug);
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "log level turn to debug");
            keeper.AddCommand(ControlPos(), 'D', LevelName());
            break;
        case 'I':
            nox::PrintLog::instance().SetLevel(nox::kLogInfo);
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "log level turn to info");
            keeper.AddCommand(ControlPos(), 'I', LevelName());
            break;
        case 'S':
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "Print Server Info");
            if (pServer->m_pListen != nullptr && pServer->m_pListen->m_pHandler)
                (void)pServer->m_pListen->m_pHandler->PrintSvrInfo();
            keeper.AddCommand(ControlPos(), 'S', "printed");
            break;
        case 'd': {
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "begin dump ...");
            const bool bDumped = nox::ExceptionHandler::do_minidump(nullptr) == 0;
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "end dump...");
            keeper.AddCommand(ControlPos(), 'd',
                              bDumped ? nox::ExceptionHandler::LastDumpPath() : "failed");
            break;
        }
        default:  // end of file and every other character
            break;
        }
        if (keeper.Look())
            nox::ServiceManager::Status(keeper.Last().Summary().c_str());
        if (nPass % kCapEveryPasses == 0)
            KeepLogFolderSize();
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
    KeepLogFolderSize();
    StatusKeeper keeper = MakeStatusKeeper(pServer, bStarted);
    (void)keeper.WriteNow(bStarted ? "running" : "stopping", "start");
    if (bStarted) {
        nox::PrintLog::instance().Flush();   // whoever sees the service ready finds its lines
        nox::ServiceManager::Ready(keeper.Last().Summary().c_str());
        RunControlLoop(pServer, keeper);
    }

    nox::ServiceManager::Stopping();
    pServer->StopServer();
    (void)keeper.WriteNow("stopped", "stop");
    if (pServer->m_pListen != nullptr && pServer->m_pListen->m_pHandler)
        pServer->m_pListen->m_pHandler->PrintCounters();   // debug level
    delete pServer;
    NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "Velmora End");
    g_pidFile.Release();
    nox::BaseLib::Uninit();
    return 0;
}
