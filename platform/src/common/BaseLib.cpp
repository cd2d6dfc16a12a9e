#include "nox/BaseLib.h"

#include <string>

#include "common/RuntimeOs.h"
#include "nox/PrintLog.h"

namespace nox {

int BaseLib::Init(const char* szLogBase)
{
    // A reader of standard error that goes away must not end the service.
    os::IgnoreBrokenPipe();
    const std::string strBase = szLogBase != nullptr ? szLogBase : "";
    const size_t nSlash = strBase.rfind('/');
    // Crash dumps go beside the log files.
    os::SetDumpFolder(nSlash == std::string::npos ? "." : strBase.substr(0, nSlash).c_str());
    const int nRet = PrintLog::instance().OpenFile(szLogBase);
    (void)PrintLog::instance().StartWriter();   // without it callers write their own lines
    return nRet;
}

void BaseLib::Uninit()
{
    PrintLog::instance().StopWriter();
    PrintLog::instance().Flush();
    PrintLog::instance().CloseFile();
}

}  // namespace nox
