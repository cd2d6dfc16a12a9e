#include "SearchOptions.h"

#include <cmath>
#include <cstdlib>

#include "CUListen/Protocol.h"
#include "SearchProto.h"

namespace velmora {
namespace search {

namespace {

// A NUL-terminated field of a fixed-size record, bounded by the record.
template <size_t N>
std::string FieldText(const char (&szField)[N])
{
    size_t n = 0;
    while (n < N && szField[n] != '\0')
        ++n;
    return std::string(szField, n);
}

bool ParsePort(const std::string& strText, int* pPort)
{
    if (strText.empty() || strText.size() > 5)
        return false;
    int n = 0;
    for (char c : strText) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 65535)
        return false;
    *pPort = n;
    return true;
}

// Seconds, fractional allowed, more than 0 and at most one hour.
bool ParseTimeout(const std::string& strText, unsigned* pMs)
{
    if (strText.empty())
        return false;
    char* pEnd = nullptr;
    double d = std::strtod(strText.c_str(), &pEnd);
    if (pEnd == nullptr || *pEnd != '\0' || !std::isfinite(d) || d <= 0.0 || d > 3600.0)
        return false;
    unsigned nMs = static_cast<unsigned>(std::lround(d * 1000.0));
    *pMs = nMs == 0 ? 1 : nMs;
    return true;
}

bool ParseForm(const std::string& strText, int* pForms)
{
    if (strText == "json")
        *pForms = kFormJson;
    else if (strText == "binary")
        *pForms = kFormBinary;
    else if (strText == "both")
        *pForms = kFormJson | kFormBinary;
    else
        return false;
    return true;
}

const char kUsage[] =
    "Usage: velmora-search [OPTION]...\n"
    "Ask the discovery responders on the local network to identify themselves\n"
    "and print one row per responder and adapter.\n"
    "\n"
    "  -p, --port PORT        ask on this UDP port (repeatable; default 37810)\n"
    "  -i, --interface NAME   send to the group only out of this interface\n"
    "                         (repeatable; default every interface that is up)\n"
    "  -b, --broadcast        also send to each interface's broadcast address\n"
    "  -H, --host ADDR        ask this IPv4 host directly instead of the group\n"
    "                         (repeatable)\n"
    "  -f, --form FORM        json, binary or both (default both)\n"
    "  -t, --timeout SECONDS  how long to collect replies (default 2; fractions\n"
    "                         allowed)\n"
    "  -j, --json             one JSON object per line instead of a table\n"
    "  -v, --verbose          report skipped datagrams and send failures on stderr\n"
    "  -h, --help             print this help and exit\n"
    "  -V, --version          print the version and exit\n"
    "\n"
    "Exit status: 0 when a responder answered, 1 when none did, 2 on a usage error.\n"
    "A responder ignores a repeated request from the same host within its filter\n"
    "interval (2 seconds by default): a second run started sooner gets no answer.\n";

}  // namespace

std::string UsageText()
{
    return kUsage;
}

bool ParseIpv4(const std::string& strText, unsigned* pAddr)
{
    unsigned nAddr = 0;
    int nParts = 0;
    size_t nPos = 0;
    while (nParts < 4) {
        size_t nEnd = strText.find('.', nPos);
        std::string strPart = strText.substr(nPos, nEnd == std::string::npos ? nEnd : nEnd - nPos);
        if (strPart.empty() || strPart.size() > 3)
            return false;
        unsigned n = 0;
        for (char c : strPart) {
            if (c < '0' || c > '9')
                return false;
            n = n * 10 + static_cast<unsigned>(c - '0');
        }
        if (n > 255)
            return false;
        nAddr = (nAddr << 8) | n;
        ++nParts;
        if (nEnd == std::string::npos)
            break;
        if (nParts == 4)
            return false;   // a fifth part
        nPos = nEnd + 1;
    }
    if (nParts != 4)
        return false;
    if (pAddr)
        *pAddr = nAddr;
    return true;
}

std::string Ipv4Text(unsigned nAddr)
{
    return std::to_string((nAddr >> 24) & 0xFF) + "." + std::to_string((nAddr >> 16) & 0xFF) +
           "." + std::to_string((nAddr >> 8) & 0xFF) + "." + std::to_string(nAddr & 0xFF);
}

int ParseArgs(int argc, const char* const* argv, SearchOptions& out, std::string& strErr)
{
    out = SearchOptions();
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        std::string strValue;
        bool bInline = false;
        if (strArg.compare(0, 2, "--") == 0) {
            size_t nEq = strArg.find('=');
            if (nEq != std::string::npos) {
                strValue = strArg.substr(nEq + 1);
                strArg.resize(nEq);
                bInline = true;
            }
        }
        auto takeValue = [&](std::string& strOut) {
            if (bInline) {
                strOut = strValue;
                return true;
            }
            if (i + 1 >= argc) {
                strErr = "option " + strArg + " needs a value";
                return false;
            }
            strOut = argv[++i];
            return true;
        };
        auto noValue = [&]() {
            if (bInline)
                strErr = "option " + strArg + " takes no value";
            return !bInline;
        };

        std::string strVal;
        if (strArg == "-h" || strArg == "--help") {
            if (!noValue())
                return -1;
            out.bHelp = true;
        } else if (strArg == "-V" || strArg == "--version") {
            if (!noValue())
                return -1;
            out.bVersion = true;
        } else if (strArg == "-j" || strArg == "--json") {
            if (!noValue())
                return -1;
            out.bJson = true;
        } else if (strArg == "-v" || strArg == "--verbose") {
            if (!noValue())
                return -1;
            out.bVerbose = true;
        } else if (strArg == "-b" || strArg == "--broadcast") {
            if (!noValue())
                return -1;
            out.bBroadcast = true;
        } else if (strArg == "-p" || strArg == "--port") {
            int nPort = 0;
            if (!takeValue(strVal))
                return -1;
            if (!ParsePort(strVal, &nPort)) {
                strErr = "invalid port '" + strVal + "' (1 to 65535)";
                return -1;
            }
            out.vecPort.push_back(nPort);
        } else if (strArg == "-i" || strArg == "--interface") {
            if (!takeValue(strVal))
                return -1;
            if (strVal.empty()) {
                strErr = "empty interface name";
                return -1;
            }
            out.vecIface.push_back(strVal);
        } else if (strArg == "-H" || strArg == "--host") {
            if (!takeValue(strVal))
                return -1;
            if (!ParseIpv4(strVal, nullptr)) {
                strErr = "invalid host '" + strVal + "' (a dotted IPv4 address)";
                return -1;
            }
            out.vecHost.push_back(strVal);
        } else if (strArg == "-f" || strArg == "--form") {
            if (!takeValue(strVal))
                return -1;
            if (!ParseForm(strVal, &out.nForms)) {
                strErr = "invalid form '" + strVal + "' (json, binary or both)";
                return -1;
            }
        } else if (strArg == "-t" || strArg == "--timeout") {
            if (!takeValue(strVal))
                return -1;
            if (!ParseTimeout(strVal, &out.nTimeoutMs)) {
                strErr = "invalid timeout '" + strVal + "' (seconds, above 0, at most 3600)";
                return -1;
            }
        } else {
            strErr = "unknown argument '" + strArg + "'";
            return -1;
        }
    }
    return 0;
}

int PlanDestinations(const SearchOptions& opt, const std::vector<nox::AdapterInfo>& vecIface,
                     std::vector<Destination>& vecOut, std::string& strErr)
{
    vecOut.clear();
    std::vector<const nox::AdapterInfo*> vecChosen;
    for (const std::string& strName : opt.vecIface) {
        const nox::AdapterInfo* pFound = nullptr;
        for (const nox::AdapterInfo& info : vecIface) {
            if (strName == FieldText(info.adapterName))
                pFound = &info;
        }
        if (pFound == nullptr) {
            strErr = "no usable IPv4 interface named '" + strName + "'";
            return -1;
        }
        vecChosen.push_back(pFound);
    }
    if (opt.vecIface.empty()) {
        for (const nox::AdapterInfo& info : vecIface)
            vecChosen.push_back(&info);
    }

    std::vector<int> vecPort = opt.vecPort;
    if (vecPort.empty())
        vecPort.push_back(kGroupPorts[0]);

    for (int nPort : vecPort) {
        for (const nox::AdapterInfo* pInfo : vecChosen) {
            const std::string strName = FieldText(pInfo->adapterName);
            const std::string strAddr = FieldText(pInfo->hostAddr);
            unsigned nAddr = 0;
            unsigned nMask = 0;
            if (!ParseIpv4(strAddr, &nAddr))
                continue;
            if (opt.vecHost.empty())
                vecOut.push_back({kMulticastGroup, nPort, strAddr, strName});
            const std::string strMask = FieldText(pInfo->subNetMask);
            if (opt.bBroadcast && ParseIpv4(strMask, &nMask) && nMask != 0xFFFFFFFFu)
                vecOut.push_back({Ipv4Text(nAddr | ~nMask), nPort, std::string(), strName});
        }
        for (const std::string& strHost : opt.vecHost)
            vecOut.push_back({strHost, nPort, std::string(), std::string()});
    }
    return 0;
}

}  // namespace search
}  // namespace velmora
