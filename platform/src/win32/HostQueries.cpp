// Windows host queries: adapters from GetAdaptersAddresses, the serial
// number from the SMBIOS tables (system, then board serial) or else derived
// from the installation's MachineGuid (HMAC-SHA256 through CNG, as on Linux:
// the GUID itself is not sent).
#include "win32/AdapterList.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "common/HostText.h"
#include "common/RuntimeOs.h"
#include "nox/Status.h"
#include "nox/Str.h"

namespace nox {
namespace os {

namespace {

constexpr DWORD kRawSmbios = 0x52534D42;   // 'RSMB', the firmware table provider
constexpr size_t kSmbiosHeader = 8;        // RawSMBIOSData before the table
constexpr uint8_t kSystemInfo = 1;         // SMBIOS structure types
constexpr uint8_t kBoardInfo = 2;
constexpr uint8_t kEndOfTable = 127;
constexpr size_t kSerialField = 7;         // serial's string number, in both types

uint32_t MaskOf(unsigned nPrefixLen)
{
    return nPrefixLen == 0 ? 0u : ~0u << (32 - std::min(nPrefixLen, 32u));
}

std::string FirstIpv4Gateway(const IP_ADAPTER_ADDRESSES& adapter)
{
    for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* p = adapter.FirstGatewayAddress; p != nullptr;
         p = p->Next) {
        const SOCKADDR* pSa = p->Address.lpSockaddr;
        if (pSa != nullptr && pSa->sa_family == AF_INET)
            return DottedText(ntohl(reinterpret_cast<const sockaddr_in*>(pSa)->sin_addr.s_addr));
    }
    return "0.0.0.0";
}

// String number nIndex (1-based) of the structure whose strings start at
// nPos; "" when it is 0 or missing. The strings end with an empty one.
std::string SmbiosString(const std::vector<unsigned char>& vecTable, size_t nPos, uint8_t nIndex)
{
    for (uint8_t n = 1; nPos < vecTable.size() && vecTable[nPos] != 0; ++n) {
        const size_t nEnd = std::find(vecTable.begin() + static_cast<long>(nPos), vecTable.end(),
                                      0) - vecTable.begin();
        if (n == nIndex)
            return std::string(vecTable.begin() + static_cast<long>(nPos),
                               vecTable.begin() + static_cast<long>(nEnd));
        nPos = nEnd + 1;
    }
    return std::string();
}

// The serial text of the first structure of type nType, "" without one.
std::string SmbiosSerial(const std::vector<unsigned char>& vecTable, uint8_t nType)
{
    size_t nPos = 0;
    while (nPos + 4 <= vecTable.size()) {
        const uint8_t nThisType = vecTable[nPos];
        const size_t nFormatted = vecTable[nPos + 1];
        if (nFormatted < 4 || nPos + nFormatted > vecTable.size())
            break;
        const size_t nStrings = nPos + nFormatted;
        if (nThisType == nType && nFormatted > kSerialField)
            return SmbiosString(vecTable, nStrings, vecTable[nPos + kSerialField]);
        if (nThisType == kEndOfTable)
            break;
        // Next structure: after the strings' double NUL.
        size_t nNext = nStrings;
        while (nNext + 1 < vecTable.size() && (vecTable[nNext] != 0 || vecTable[nNext + 1] != 0))
            ++nNext;
        nPos = nNext + 2;
    }
    return std::string();
}

std::vector<unsigned char> SmbiosTable()
{
    std::vector<unsigned char> vecRaw;
    const UINT nSize = ::GetSystemFirmwareTable(kRawSmbios, 0, nullptr, 0);
    if (nSize <= kSmbiosHeader)
        return vecRaw;
    vecRaw.resize(nSize);
    if (::GetSystemFirmwareTable(kRawSmbios, 0, vecRaw.data(), nSize) != nSize)
        return std::vector<unsigned char>();
    DWORD nLen = 0;
    std::memcpy(&nLen, vecRaw.data() + 4, sizeof(nLen));
    const size_t nEnd = kSmbiosHeader + std::min<size_t>(nLen, nSize - kSmbiosHeader);
    return std::vector<unsigned char>(vecRaw.begin() + kSmbiosHeader,
                                      vecRaw.begin() + static_cast<long>(nEnd));
}

// HMAC-SHA256 of pData keyed with pKey, into aOut; false when CNG fails.
bool HmacSha256(const unsigned char* pKey, ULONG nKeyLen, const unsigned char* pData,
                ULONG nDataLen, unsigned char (&aOut)[32])
{
    BCRYPT_ALG_HANDLE hAlg = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&hAlg, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                      BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        return false;
    BCRYPT_HASH_HANDLE hHash = nullptr;
    const bool bOk =
        BCRYPT_SUCCESS(::BCryptCreateHash(hAlg, &hHash, nullptr, 0, const_cast<PUCHAR>(pKey),
                                          nKeyLen, 0)) &&
        BCRYPT_SUCCESS(::BCryptHashData(hHash, const_cast<PUCHAR>(pData), nDataLen, 0)) &&
        BCRYPT_SUCCESS(::BCryptFinishHash(hHash, aOut, sizeof(aOut), 0));
    if (hHash != nullptr)
        ::BCryptDestroyHash(hHash);
    ::BCryptCloseAlgorithmProvider(hAlg, 0);
    return bOk;
}

std::string MachineGuid()
{
    char szGuid[64] = "";
    DWORD nSize = sizeof(szGuid);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Cryptography", "MachineGuid",
                       RRF_RT_REG_SZ, nullptr, szGuid, &nSize) != ERROR_SUCCESS)
        return std::string();
    return szGuid;
}

}  // namespace

int HostAdapters(std::vector<AdapterInfo>& vecOut)
{
    vecOut.clear();
    AdapterList list;
    const int nRet = list.Load(GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST |
                               GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER);
    if (nRet != 0)
        return nRet;
    std::vector<std::pair<ULONG, AdapterInfo>> vecRows;
    for (const IP_ADAPTER_ADDRESSES* p = list.First(); p != nullptr; p = p->Next) {
        uint32_t nAddr = 0;
        unsigned nPrefixLen = 0;
        if (p->OperStatus != IfOperStatusUp || p->IfType == IF_TYPE_SOFTWARE_LOOPBACK ||
            !FirstIpv4(*p, &nAddr, &nPrefixLen))
            continue;
        AdapterInfo info;
        std::memset(&info, 0, sizeof(info));
        Str::strcpy_x(info.adapterName, sizeof(info.adapterName), AdapterText(*p).c_str());
        Str::strcpy_x(info.macAddr, sizeof(info.macAddr),
                      MacText(p->PhysicalAddress, p->PhysicalAddressLength).c_str());
        Str::strcpy_x(info.hostAddr, sizeof(info.hostAddr), DottedText(nAddr).c_str());
        Str::strcpy_x(info.subNetMask, sizeof(info.subNetMask),
                      DottedText(MaskOf(nPrefixLen)).c_str());
        Str::strcpy_x(info.gateWayAddr, sizeof(info.gateWayAddr), FirstIpv4Gateway(*p).c_str());
        vecRows.emplace_back(p->IfIndex, info);
    }
    std::stable_sort(vecRows.begin(), vecRows.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& row : vecRows)
        vecOut.push_back(row.second);
    return 0;
}

std::string MachineAppId(const std::string& strMachineId)
{
    unsigned char aKey[16];
    size_t nDigits = 0;
    for (char c : strMachineId) {
        if (c == '-' || c == '{' || c == '}')
            continue;
        const int nValue = c >= '0' && c <= '9'   ? c - '0'
                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
        if (nValue < 0 || nDigits >= 32)
            return std::string();
        aKey[nDigits / 2] = static_cast<unsigned char>(
            nDigits % 2 == 0 ? nValue << 4 : (aKey[nDigits / 2] | nValue));
        ++nDigits;
    }
    unsigned char aMac[32];
    if (nDigits != 32 || !HmacSha256(aKey, sizeof(aKey), kSerialAppId, sizeof(kSerialAppId), aMac))
        return std::string();
    aMac[6] = static_cast<unsigned char>((aMac[6] & 0x0F) | 0x40);   // version 4
    aMac[8] = static_cast<unsigned char>((aMac[8] & 0x3F) | 0x80);   // RFC 4122 variant
    static const char kHex[] = "0123456789abcdef";
    std::string strOut;
    for (int i = 0; i < 16; ++i) {
        strOut += kHex[aMac[i] >> 4];
        strOut += kHex[aMac[i] & 0x0F];
    }
    return strOut;
}

int HostSerialNum(char* szBuf, int nSize)
{
    const std::vector<unsigned char> vecTable = SmbiosTable();
    const std::string strGuid = UsableSerial(MachineGuid());
    for (const std::string& strRaw : {SmbiosSerial(vecTable, kSystemInfo),
                                      SmbiosSerial(vecTable, kBoardInfo),
                                      strGuid.empty() ? strGuid : MachineAppId(strGuid)}) {
        const std::string strText = UsableSerial(strRaw);
        if (!strText.empty()) {
            Str::strcpy_x(szBuf, nSize, strText.c_str());
            return 0;
        }
    }
    szBuf[0] = '\0';
    return -1;
}

}  // namespace os

namespace detail {
std::string MachineGuidAppId(const std::string& strGuid)
{
    return os::MachineAppId(strGuid);
}
}  // namespace detail

}  // namespace nox
