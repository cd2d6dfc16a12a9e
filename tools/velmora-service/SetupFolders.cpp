// The folders of setup: the layout check, the daemon folder and its
// Velmora.xml, and the access lists of both folders.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwctype>
#include <utility>
#include <vector>

#include "SetupInternal.h"
#include "WinText.h"

namespace velmora {
namespace svc {

namespace {

const wchar_t kDefaultSettings[] = L"Velmora.default.xml";
// The service SID of "Velmora": S-1-5-80- and the SHA-1 of the upper-case
// name in UTF-16LE as five little-endian numbers (what "sc showsid Velmora"
// prints). Written out, since the name does not resolve before the service
// exists and Wine resolves no service accounts at all.
const wchar_t kServiceSid[] = L"S-1-5-80-1990703558-2279695104-3027641266-3612483169-4283009413";
// The files of the programs' folder that get its rights; the rest of that
// folder (a server installation's own folders) is left alone.
const wchar_t* const kProgramFiles[] = {L"velmora.exe",      L"velmoractl.exe",
                                        L"velmora-search.exe", L"velmora-service.exe",
                                        L"README.txt",       kDefaultSettings};

std::wstring Lower(std::wstring strText)
{
    for (wchar_t& c : strText)
        c = static_cast<wchar_t>(std::towlower(c));
    return strText;
}

// Whether strPath is strFolder or lies inside it (full paths, any case).
bool Within(const std::wstring& strPath, const std::wstring& strFolder)
{
    const std::wstring strP = Lower(strPath), strF = Lower(strFolder);
    if (strF.empty() || strP.compare(0, strF.size(), strF) != 0)
        return false;
    return strP.size() == strF.size() || strP[strF.size()] == L'\\' || strF.back() == L'\\';
}

// One entry of a new access list: a SID in text form, the rights, the ACE
// flags (how it is inherited).
struct Entry {
    const wchar_t* szSid;
    DWORD nAccess;
    BYTE nFlags;
};

constexpr DWORD kFull = FILE_ALL_ACCESS;
constexpr DWORD kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
constexpr DWORD kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
constexpr BYTE kTree = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
constexpr BYTE kOnlyHere = 0;
// SYSTEM, Administrators, Users.
const wchar_t kSystem[] = L"S-1-5-18";
const wchar_t kAdmins[] = L"S-1-5-32-544";
const wchar_t kUsers[] = L"S-1-5-32-545";

// Replaces the access list of strPath with one allowing vecEntry alone, in
// that order, protected from what its parent passes down. bPropagate:
// through SetNamedSecurityInfo, which also renews what its files and
// subfolders inherit; otherwise the folder alone is set and what lies in it
// keeps its rights. 0 or a Windows error.
DWORD SetProtectedAccess(const std::wstring& strPath, const std::vector<Entry>& vecEntry,
                         bool bPropagate)
{
    std::vector<PSID> vecSid;
    DWORD nErr = ERROR_SUCCESS;
    DWORD nSize = sizeof(ACL);
    for (const Entry& entry : vecEntry) {
        PSID pSid = nullptr;
        if (!::ConvertStringSidToSidW(entry.szSid, &pSid)) {
            nErr = ::GetLastError();
            break;
        }
        vecSid.push_back(pSid);
        nSize += sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(pSid);
    }
    std::vector<DWORD> vecAcl((nSize + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* pAcl = reinterpret_cast<PACL>(vecAcl.data());
    if (nErr == ERROR_SUCCESS && !::InitializeAcl(pAcl, nSize, ACL_REVISION))
        nErr = ::GetLastError();
    for (size_t i = 0; nErr == ERROR_SUCCESS && i < vecSid.size(); ++i) {
        if (!::AddAccessAllowedAceEx(pAcl, ACL_REVISION, vecEntry[i].nFlags, vecEntry[i].nAccess,
                                     vecSid[i]))
            nErr = ::GetLastError();
    }
    const SECURITY_INFORMATION nInfo =
        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    if (nErr == ERROR_SUCCESS && bPropagate) {
        nErr = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(strPath.c_str()), SE_FILE_OBJECT,
                                       nInfo, nullptr, nullptr, pAcl, nullptr);
    } else if (nErr == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR descriptor;
        if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&descriptor, TRUE, pAcl, FALSE) ||
            !::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ||
            !::SetFileSecurityW(strPath.c_str(), nInfo, &descriptor))
            nErr = ::GetLastError();
    }
    for (PSID pSid : vecSid)
        ::LocalFree(pSid);
    return nErr;
}

}  // namespace

int CheckLayout(const std::wstring& strPrograms, const std::wstring& strFolder)
{
    if (Within(strPrograms, strFolder)) {
        Print(L"velmora-service: the daemon folder " + strFolder +
                  L" holds the programs (velmora-service.exe and velmora.exe), and the service "
                  L"may write there, so it could replace them. Move the four .exe files and "
                  L"README.txt one folder up (the Velmora folder with Velmora.xml then is the "
                  L"daemon folder beside them) and run velmora-service install from there, or "
                  L"install the MSI\n",
              true);
        return kExitFailed;
    }
    wchar_t szVolume[MAX_PATH];
    const auto trimmed = [](std::wstring strPath) {
        while (!strPath.empty() && strPath.back() == L'\\')
            strPath.pop_back();
        return Lower(strPath);
    };
    if (::GetVolumePathNameW(strPrograms.c_str(), szVolume, MAX_PATH) &&
        trimmed(szVolume) == trimmed(strPrograms)) {
        Print(L"velmora-service: the programs are in " + strPrograms +
                  L", a drive's root, whose rights setup will not replace: put them in a "
                  L"folder of their own\n",
              true);
        return kExitFailed;
    }
    return kExitDone;
}

void PrepareFolder(const SetupPlace& place, Warnings& vecWarning)
{
    const std::wstring& strFolder = place.strFolder;
    if (!IsFolder(strFolder) && !::CreateDirectoryW(strFolder.c_str(), nullptr))
        Warn(L"cannot create " + strFolder + L": " + ErrorText(::GetLastError()), vecWarning);
    const std::wstring strSettings = strFolder + L"\\Velmora.xml";
    const std::wstring strDefault = place.strPrograms + L"\\" + kDefaultSettings;
    if (IsFile(strSettings)) {
        Print(L"settings: " + strSettings + L" (kept)\n");
    } else if (IsFile(strDefault)) {
        if (::CopyFileW(strDefault.c_str(), strSettings.c_str(), TRUE))
            Print(L"settings: " + strSettings + L" (the default settings)\n");
        else
            Warn(L"cannot copy the default settings to " + strSettings + L": " +
                     ErrorText(::GetLastError()),
                 vecWarning);
    } else {
        Warn(strSettings + L" is missing: the daemon runs with its built-in defaults",
             vecWarning);
    }
}

bool SecureFolders(const SetupPlace& place)
{
    const std::vector<Entry> vecPrograms = {
        {kSystem, kFull, kTree}, {kAdmins, kFull, kTree}, {kUsers, kReadExecute, kTree}};
    const std::vector<Entry> vecProgram = {
        {kSystem, kFull, kOnlyHere}, {kAdmins, kFull, kOnlyHere},
        {kUsers, kReadExecute, kOnlyHere}};
    std::vector<Entry> vecData = vecPrograms;
    vecData.push_back({kServiceSid, kReadExecute | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY,
                       kOnlyHere});
    vecData.push_back({kServiceSid, kModify, kTree | INHERIT_ONLY_ACE});
    std::vector<Entry> vecSettings = vecProgram;
    vecSettings.push_back({kServiceSid, FILE_GENERIC_READ, kOnlyHere});

    std::vector<std::pair<std::wstring, DWORD>> vecResult;
    vecResult.emplace_back(place.strPrograms, SetProtectedAccess(place.strPrograms, vecPrograms, false));
    for (const wchar_t* szName : kProgramFiles) {
        const std::wstring strPath = place.strPrograms + L"\\" + szName;
        if (IsFile(strPath))
            vecResult.emplace_back(strPath, SetProtectedAccess(strPath, vecProgram, true));
    }
    vecResult.emplace_back(place.strFolder, SetProtectedAccess(place.strFolder, vecData, true));
    const std::wstring strSettings = place.strFolder + L"\\Velmora.xml";
    if (IsFile(strSettings))
        vecResult.emplace_back(strSettings, SetProtectedAccess(strSettings, vecSettings, true));
    bool bOk = true;
    for (const auto& result : vecResult) {
        if (result.second == ERROR_SUCCESS)
            continue;
        Print(L"velmora-service: the rights of " + result.first + L" not set: " +
                  ErrorText(result.second) + L"\n",
              true);
        bOk = false;
    }
    if (bOk)
        Print(L"rights: " + place.strPrograms + L" and its programs for administrators, " +
              place.strFolder + L" writable by " + kAccount + L" (Velmora.xml read only)\n");
    return bOk;
}

}  // namespace svc
}  // namespace velmora
