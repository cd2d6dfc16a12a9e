// File operations whose Windows form differs from the Linux one: replacing a
// file by renaming another over it, and reading a whole file without standing
// in the way of such a replacement.
#pragma once

#include <string>

namespace nox {

enum { kFileErr = -1, kFileHeld = -2 };

// Renames strFrom to strTo, replacing strTo. 0; kFileHeld when another
// program holds one of them open in a way that forbids it (Windows: opened
// without delete sharing; where the system lacks POSIX rename semantics, any
// open handle), which passes once it closes the file: worth trying again
// soon; kFileErr for any other failure. Why in strErr.
int RenameOver(const std::string& strFrom, const std::string& strTo, std::string& strErr);

// Reads the whole file into strOut, sharing it with writers and with a
// replacement or deletion (Windows: read, write and delete sharing). 0, or
// kFileErr with the system's reason in strErr and errno set (ENOENT when
// there is no such file, EACCES when it may not be read, else EIO or the
// read's own error).
int ReadWholeFile(const std::string& strPath, std::string& strOut, std::string& strErr);

}  // namespace nox
