// The console window on Windows: its system menu loses the Close item, so the
// service is stopped through its control file instead.
#include "nox/Process.h"

#include <windows.h>

namespace nox {

void Process::RemoveConsoleClose()
{
    const HWND hWnd = ::GetConsoleWindow();
    if (hWnd == nullptr)
        return;
    const HMENU hMenu = ::GetSystemMenu(hWnd, FALSE);
    if (hMenu != nullptr)
        (void)::DeleteMenu(hMenu, SC_CLOSE, MF_BYCOMMAND);
    (void)::DrawMenuBar(hWnd);
}

}  // namespace nox
