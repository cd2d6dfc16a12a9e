// The daemon velmora.exe as the service runs it: started in its folder with
// an emptied control file as standard input, standard output and error on
// the null device, no console window, only those three handles inherited,
// and inside a job object that ends it when the host ends (so a restarted
// host never finds an orphan holding the folder) and that turns Windows'
// error reporting dialog off for it. Used from the service's thread only.
#pragma once

#include <string>

#include <windows.h>

#include "StopSequence.h"

namespace velmora {
namespace svc {

extern const wchar_t kControlFile[];   // "Velmorainput"
constexpr unsigned long kTerminatedExitCode = 1;

class CDaemonProcess : public DaemonChild {
public:
    CDaemonProcess(std::wstring strProgram, std::wstring strFolder);
    ~CDaemonProcess() override;
    CDaemonProcess(const CDaemonProcess&) = delete;
    CDaemonProcess& operator=(const CDaemonProcess&) = delete;

    // Empties the control file (a q left from before must not stop the new
    // daemon) and starts the daemon. False with the reason in strErr.
    bool Start(std::wstring& strErr);
    // The process handle, signalled when the daemon ends; null before Start.
    HANDLE Handle() const { return m_hProcess; }
    unsigned long Pid() const { return m_nPid; }
    // Forgets an ended daemon (its exit code stays readable).
    void Release();

    bool SendQuit() override;
    bool WaitExit(unsigned nMs) override;
    void Terminate() override;
    unsigned long ExitCode() const override { return m_nExitCode; }

private:
    std::wstring ControlPath() const;

    std::wstring m_strProgram;
    std::wstring m_strFolder;
    HANDLE m_hProcess = nullptr;
    HANDLE m_hJob = nullptr;
    unsigned long m_nPid = 0;
    unsigned long m_nExitCode = 0;
};

}  // namespace svc
}  // namespace velmora
