// Linux has no console window with a system menu: nothing to remove.
#include "nox/Process.h"

namespace nox {

void Process::RemoveConsoleClose()
{
}

}  // namespace nox
