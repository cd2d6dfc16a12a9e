// Housekeeping of the log folder: the per-process log files and dumps.
#pragma once

#include <cstdint>
#include <string>

// Keeps the files of the nKeep newest processes in strFolder and removes the
// others' files: "Velmora-<pid>.log", its rotations "Velmora-<pid>.<n>.log"
// and its dumps "Velmora-<pid>-<YYYYMMDD-HHMMSS>[-<n>].dmp". A process counts
// by its most recently written file; nOwnPid is always kept. The number of
// files removed; strErr names the first file that could not be.
int PruneProcessLogs(const std::string& strFolder, size_t nKeep, int nOwnPid,
                     std::string& strErr);

// Removes those files, oldest first, until together they take at most
// nMaxBytes; strKeep (the log file being written) is never removed. The
// number of files removed; strErr names the first that could not be.
int CapLogFolder(const std::string& strFolder, uintmax_t nMaxBytes, const std::string& strKeep,
                 std::string& strErr);
