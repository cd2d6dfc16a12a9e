#include "DaemonProcess.h"

#include <utility>
#include <vector>

#include "WinText.h"

namespace velmora {
namespace svc {

const wchar_t kControlFile[] = L"Velmorainput";

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Closes the handles given at the end of a scope.
class HandleList {
public:
    ~HandleList()
    {
        for (HANDLE h : m_vecHandle)
            ::CloseHandle(h);
    }
    HANDLE Keep(HANDLE h)
    {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            m_vecHandle.push_back(h);
        return h;
    }

private:
    std::vector<HANDLE> m_vecHandle;
};

// The attribute list that limits inheritance to the handles given.
class InheritOnly {
public:
    InheritOnly(HANDLE* pHandles, size_t nCount)
    {
        SIZE_T nSize = 0;
        (void)::InitializeProcThreadAttributeList(nullptr, 1, 0, &nSize);
        m_vecBuf.resize(nSize);
        m_pList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_vecBuf.data());
        m_bReady = ::InitializeProcThreadAttributeList(m_pList, 1, 0, &nSize) &&
                   ::UpdateProcThreadAttribute(m_pList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                               pHandles, nCount * sizeof(HANDLE), nullptr,
                                               nullptr);
    }
    ~InheritOnly()
    {
        if (m_bReady)
            ::DeleteProcThreadAttributeList(m_pList);
    }
    LPPROC_THREAD_ATTRIBUTE_LIST List() const { return m_bReady ? m_pList : nullptr; }

private:
    std::vector<char> m_vecBuf;
    LPPROC_THREAD_ATTRIBUTE_LIST m_pList = nullptr;
    bool m_bReady = false;
};

// A job that ends its processes when its last handle closes, and keeps
// Windows' crash dialog from holding a crashed process open; null when the
// system refuses one.
HANDLE MakeJob()
{
    const HANDLE hJob = ::CreateJobObjectW(nullptr, nullptr);
    if (hJob == nullptr)
        return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    if (!::SetInformationJobObject(hJob, JobObjectExtendedLimitInformation, &limits,
                                   sizeof(limits))) {
        ::CloseHandle(hJob);
        return nullptr;
    }
    return hJob;
}

}  // namespace

CDaemonProcess::CDaemonProcess(std::wstring strProgram, std::wstring strFolder)
    : m_strProgram(std::move(strProgram)), m_strFolder(std::move(strFolder))
{
}

CDaemonProcess::~CDaemonProcess()
{
    Release();
}

std::wstring CDaemonProcess::ControlPath() const
{
    return m_strFolder + L"\\" + kControlFile;
}

bool CDaemonProcess::Start(std::wstring& strErr)
{
    Release();
    HandleList handles;
    const HANDLE hEmpty = handles.Keep(::CreateFileW(ControlPath().c_str(), GENERIC_WRITE,
                                                     kShareAll, nullptr, OPEN_ALWAYS,
                                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (hEmpty == INVALID_HANDLE_VALUE || !::SetEndOfFile(hEmpty)) {
        strErr = L"cannot empty " + ControlPath() + L": " + ErrorText(::GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE aStd[2] = {
        handles.Keep(::CreateFileW(ControlPath().c_str(), GENERIC_READ, kShareAll, &inherit,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)),
        handles.Keep(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr))};
    if (aStd[0] == INVALID_HANDLE_VALUE || aStd[1] == INVALID_HANDLE_VALUE) {
        strErr = L"cannot open its standard handles: " + ErrorText(::GetLastError());
        return false;
    }
    InheritOnly inheritOnly(aStd, 2);
    if (inheritOnly.List() == nullptr) {
        strErr = L"cannot limit the handles it inherits: " + ErrorText(::GetLastError());
        return false;
    }
    STARTUPINFOEXW start = {};
    start.StartupInfo.cb = sizeof(start);
    start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    start.StartupInfo.hStdInput = aStd[0];
    start.StartupInfo.hStdOutput = aStd[1];
    start.StartupInfo.hStdError = aStd[1];
    start.lpAttributeList = inheritOnly.List();
    std::wstring strCommand = L"\"" + m_strProgram + L"\"";
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(m_strProgram.c_str(), &strCommand[0], nullptr, nullptr, TRUE,
                          EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW | CREATE_SUSPENDED |
                              CREATE_UNICODE_ENVIRONMENT,
                          nullptr, m_strFolder.c_str(), &start.StartupInfo, &process)) {
        strErr = ErrorText(::GetLastError());
        return false;
    }
    // Without a job (a host itself in a job that forbids nesting) the daemon
    // still runs; only the clean-up after a crashed host is lost.
    m_hJob = MakeJob();
    if (m_hJob != nullptr && !::AssignProcessToJobObject(m_hJob, process.hProcess)) {
        ::CloseHandle(m_hJob);
        m_hJob = nullptr;
    }
    (void)::ResumeThread(process.hThread);
    ::CloseHandle(process.hThread);
    m_hProcess = process.hProcess;
    m_nPid = process.dwProcessId;
    m_nExitCode = 0;
    return true;
}

void CDaemonProcess::Release()
{
    if (m_hProcess != nullptr)
        ::CloseHandle(m_hProcess);
    if (m_hJob != nullptr)
        ::CloseHandle(m_hJob);   // ends the daemon, should it still run
    m_hProcess = nullptr;
    m_hJob = nullptr;
    m_nPid = 0;
}

bool CDaemonProcess::SendQuit()
{
    const HANDLE hFile = ::CreateFileW(ControlPath().c_str(), FILE_APPEND_DATA, kShareAll,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD nWritten = 0;
    const bool bOk = ::WriteFile(hFile, "q", 1, &nWritten, nullptr) && nWritten == 1;
    ::CloseHandle(hFile);
    return bOk;
}

bool CDaemonProcess::WaitExit(unsigned nMs)
{
    if (m_hProcess == nullptr)
        return true;
    if (::WaitForSingleObject(m_hProcess, nMs) != WAIT_OBJECT_0)
        return false;
    DWORD nCode = 0;
    if (::GetExitCodeProcess(m_hProcess, &nCode))
        m_nExitCode = nCode;
    return true;
}

void CDaemonProcess::Terminate()
{
    if (m_hJob != nullptr)
        (void)::TerminateJobObject(m_hJob, kTerminatedExitCode);
    else if (m_hProcess != nullptr)
        (void)::TerminateProcess(m_hProcess, kTerminatedExitCode);
}

}  // namespace svc
}  // namespace velmora
