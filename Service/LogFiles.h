// Housekeeping of the per-process log files in the log folder.
#pragma once

#include <string>

// Keeps the log files of the nKeep newest processes in strFolder and removes
// the others: "Velmora-<pid>.log" and its rotations "Velmora-<pid>.<n>.log".
// A process counts by its most recently written file; nOwnPid is always kept.
// The number of files removed; strErr names the first file that could not be.
int PruneProcessLogs(const std::string& strFolder, size_t nKeep, int nOwnPid,
                     std::string& strErr);
