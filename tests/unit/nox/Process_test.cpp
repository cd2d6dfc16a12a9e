// The console of the Windows daemon (Linux has no such window: nothing to test there).
#include "nox/Process.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>

namespace {

// Needs real Windows: Wine's console has no window menu.
TEST(ProcessTest, ConsoleMenuLosesItsCloseItem)
{
    ::AllocConsole();   // fails harmlessly when there is one already
    const HWND hWnd = ::GetConsoleWindow();
    const HMENU hMenu = hWnd != nullptr ? ::GetSystemMenu(hWnd, FALSE) : nullptr;
    if (hMenu == nullptr)
        GTEST_SKIP() << "needs real Windows: the console has no window menu here (Wine has none)";
    ASSERT_NE(static_cast<UINT>(-1), ::GetMenuState(hMenu, SC_CLOSE, MF_BYCOMMAND));
    nox::Process::RemoveConsoleClose();
    EXPECT_EQ(static_cast<UINT>(-1), ::GetMenuState(hMenu, SC_CLOSE, MF_BYCOMMAND));
}

}  // namespace
#endif
