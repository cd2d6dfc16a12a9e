// Text helpers of the service host: UTF-16 and UTF-8, the system's texts for
// error codes, numbers as text, and output that shows any script on a
// console (UTF-8 into a pipe or a file).
#pragma once

#include <string>

namespace velmora {
namespace svc {

std::string Utf8(const std::wstring& strText);
std::wstring Wide(const std::string& strText);
// "Access is denied. (5)": FormatMessage's text and the code.
std::wstring ErrorText(unsigned long nErr);
std::wstring Number(unsigned long long nValue);
// Writes to standard output (bError: standard error), or to the sink set.
void Print(const std::wstring& strText, bool bError = false);
// Sends every later Print to pSink instead (nullptr: the standard handles
// again); the installer's custom action passes its log this way.
using PrintSink = void (*)(const std::wstring& strText, bool bError);
void SetPrintSink(PrintSink pSink);

// This program's full path, and the folder that holds it (no trailing
// separator).
std::wstring ProgramPath();
std::wstring ProgramFolder();
// strPath made absolute, without a trailing separator (a drive root keeps it).
std::wstring FullPath(const std::wstring& strPath);
bool IsFolder(const std::wstring& strPath);
bool IsFile(const std::wstring& strPath);

}  // namespace svc
}  // namespace velmora
