// A file that names the process owning a folder, locked by that process for
// as long as it runs. The lock is the operating system's: it ends with the
// process however the process ends, so a file left behind by a crash never
// counts as a running owner.
#pragma once

#include <cstdint>
#include <string>

namespace nox {

class PidFile {
public:
    enum { kErrOpen = -1, kErrHeld = -2 };

    PidFile() = default;
    ~PidFile();                       // Release
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    // Creates or opens szPath, locks it and writes this process's id. 0;
    // kErrHeld when another process holds it (its id in nOwner, 0 when the
    // file names none); kErrOpen when the file cannot be made (why in strErr).
    int Acquire(const char* szPath, int& nOwner, std::string& strErr);
    // Removes the file and ends the lock; nothing when not acquired.
    void Release();

    // Whether a process holds szPath: 1 (its id in nOwner), 0 when no process
    // does or there is no file, -1 when it cannot be told (why in strErr).
    static int Probe(const char* szPath, int& nOwner, std::string& strErr);

private:
    intptr_t m_hFile = -1;
    std::string m_strPath;
};

}  // namespace nox
