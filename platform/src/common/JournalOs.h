// Whether standard error is a stream to the system journal. Each OS folder
// defines it (src/posix/Journal.cpp; where no journal exists it is false).
#pragma once

namespace nox {
namespace os {

// True when the service manager connected standard error to the journal, so
// each line may start with its priority ("<3>", "<6>", "<7>").
bool StderrIsJournal();

}  // namespace os
}  // namespace nox
