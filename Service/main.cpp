// Process entry: control input, version query, log set-up, the server, the
// console loop on the control file, and the stop.
#include <cstdio>

#include "BuildId.h"
#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "Service/Service.h"
#include "nox/BaseLib.h"
#include "nox/ExceptionHandler.h"
#include "nox/PrintLog.h"
#include "nox/Process.h"
#include "nox/Str.h"
#include "nox/Thread.h"


namespace {

const char kSrc[] = "Service/main";
const char kMainFn[] = "main";
#define VELMORA_BUILD_ID \
    "Velmora [ master ] : " VELMORA_REVISION " ( co " VELMORA_BUILD_STAMP " )"

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

static void StartCrashMonitor()
{
    (void)nox::ExceptionHandler::StartMonitor("Velmora");
}

static void SetUpLog()
{
    char szLogBase[256];
    nox::Str::sprintf_x(szLogBase, sizeof(szLogBase), "log/Velmora-%d", nox::Process::Id());
    (void)nox::BaseLib::Init(szLogBase);  // without a file the log still reaches stderr
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

// Obeys one command character per second until q, a NUL character or a stop
// signal.
static void RunControlLoop(CServer* pServer)
{
    for (;;) {
        if (nox::Process::StopRequested()) {
            NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "stop signal received");
            return;
        }
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
    StartCrashMonitor();
    SetUpLog();
    nox::Process::InstallStopSignals();
    PrintVersionInfo();
    NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "Velmora Begin");

    CServer* pServer = new CServer();
    if (pServer->StartServer() == 0)
        RunControlLoop(pServer);

    pServer->StopServer();
    delete pServer;
    NOX_LOG(kSrc, kMainFn, nox::kLogInfo, "Velmora End");
    nox::BaseLib::Uninit();
    return 0;
}
