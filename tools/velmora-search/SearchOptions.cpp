#include "SearchOptions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include <CLI/CLI.hpp>

#include "CUListen/Protocol.h"
#include "SearchProto.h"
#include "nox/Str.h"

namespace velmora {
namespace search {

namespace {

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
bool ParseSeconds(const std::string& strText, unsigned* pMs)
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

const char kAbout[] =
    "Ask the discovery responders on the local network to identify themselves\n"
    "and print one row per responder and adapter.";
const char kFooter[] =
    "Options may repeat where ... follows them.\n"
    "Exit status: 0 when a responder answered, 1 when none did, 2 on a usage error;\n"
    "--watch ends with 0 on Ctrl-C (SIGINT) or SIGTERM.\n"
    "A responder ignores a repeated request from the same host within its filter\n"
    "interval (2 seconds by default): a second run started sooner gets no answer,\n"
    "and so does a retry within that interval (use --retry with a longer --timeout).";

// The raw texts of the options that take values; checked after parsing, so
// every value error reads the same whatever form the option was given in.
struct RawValues {
    std::vector<std::string> vecPort;
    std::vector<std::string> vecIface;
    std::vector<std::string> vecHost;
    std::string strForm;
    std::string strTimeout;
    std::string strInterval;
};

std::unique_ptr<CLI::App> MakeApp(SearchOptions& out, RawValues& raw)
{
    auto pApp = std::make_unique<CLI::App>(kAbout, "velmora-search");
    CLI::App& app = *pApp;
    app.footer(kFooter);
    app.set_help_flag("-h,--help", "print this help and exit");
    auto valueOption = [&](const char* szNames, std::string& strOut, const char* szType,
                           const char* szHelp) {
        app.add_option(szNames, strOut, szHelp)->type_name(szType);
    };
    auto listOption = [&](const char* szNames, std::vector<std::string>& vecOut,
                          const char* szType, const char* szHelp) {
        app.add_option(szNames, vecOut, szHelp)->type_name(szType)->allow_extra_args(false);
    };
    auto flag = [&](const char* szNames, bool& bOut, const char* szHelp) {
        app.add_flag(szNames, bOut, szHelp)->disable_flag_override();
    };
    listOption("-p,--port", raw.vecPort, "PORT", "ask on this UDP port (default 37810)");
    listOption("-i,--interface", raw.vecIface, "NAME",
               "send to the group only out of this interface");
    flag("-b,--broadcast", out.bBroadcast, "also send to each interface's broadcast address");
    listOption("-H,--host", raw.vecHost, "ADDR",
               "ask this IPv4 host instead of the group");
    valueOption("-f,--form", raw.strForm, "FORM", "json, binary or both (default both)");
    valueOption("-t,--timeout", raw.strTimeout, "SECONDS",
                "how long to collect replies (default 2)");
    app.add_option("-r,--retry", out.nRetry,
                   "send N more times over the timeout")
        ->type_name("N")
        ->check(CLI::Range(0, 20).description(""));
    flag("-j,--json", out.bJson, "one JSON object per line instead of a table");
    flag("-w,--wide", out.bWide, "every column in full, also on a narrow terminal");
    flag("-v,--verbose", out.bVerbose, "report skipped datagrams and send failures");
    flag("-W,--watch", out.bWatch,
         "keep asking; print rows that appear (+), change (=), go (-)");
    valueOption("--interval", raw.strInterval, "SECONDS",
                "with --watch: how often to ask (default 5)");
    app.add_option("--gone-after", out.nGoneAfter,
                   "with --watch: missed rounds before a row is gone (default 3)")
        ->type_name("N")
        ->check(CLI::Range(1, 100).description(""));
    flag("-V,--version", out.bVersion, "print the version and exit");
    return pApp;
}

// The checks of the value options, in the order the options are listed.
int CheckValues(const RawValues& raw, SearchOptions& out, std::string& strErr)
{
    for (const std::string& strPort : raw.vecPort) {
        int nPort = 0;
        if (!ParsePort(strPort, &nPort)) {
            strErr = "invalid port '" + strPort + "' (1 to 65535)";
            return -1;
        }
        out.vecPort.push_back(nPort);
    }
    for (const std::string& strIface : raw.vecIface) {
        if (strIface.empty()) {
            strErr = "empty interface name";
            return -1;
        }
        out.vecIface.push_back(strIface);
    }
    for (const std::string& strHost : raw.vecHost) {
        if (!ParseIpv4(strHost, nullptr)) {
            strErr = "invalid host '" + strHost + "' (a dotted IPv4 address)";
            return -1;
        }
        out.vecHost.push_back(strHost);
    }
    if (!raw.strForm.empty() && !ParseForm(raw.strForm, &out.nForms)) {
        strErr = "invalid form '" + raw.strForm + "' (json, binary or both)";
        return -1;
    }
    if (!raw.strTimeout.empty() && !ParseSeconds(raw.strTimeout, &out.nTimeoutMs)) {
        strErr = "invalid timeout '" + raw.strTimeout + "' (seconds, above 0, at most 3600)";
        return -1;
    }
    if (!raw.strInterval.empty() &&
        (!ParseSeconds(raw.strInterval, &out.nIntervalMs) || out.nIntervalMs < 1000)) {
        strErr = "invalid interval '" + raw.strInterval + "' (seconds, 1 to 3600)";
        return -1;
    }
    if (out.bWatch && raw.strTimeout.empty())
        out.nTimeoutMs = std::min(out.nTimeoutMs, out.nIntervalMs);
    if (out.bWatch && out.nTimeoutMs > out.nIntervalMs) {
        strErr = "the timeout must not be longer than the watch interval";
        return -1;
    }
    return 0;
}

}  // namespace

std::string UsageText()
{
    SearchOptions opt;
    RawValues raw;
    return MakeApp(opt, raw)->help();
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
    RawValues raw;
    std::unique_ptr<CLI::App> pApp = MakeApp(out, raw);
    try {
        pApp->parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out.bHelp = true;
        return 0;
    } catch (const CLI::ParseError& e) {
        strErr = e.what();
        return -1;
    }
    return CheckValues(raw, out, strErr);
}

std::string LocalInterface(const std::string& strSource,
                           const std::vector<nox::AdapterInfo>& vecIface)
{
    unsigned nSource = 0;
    if (!ParseIpv4(strSource, &nSource))
        return std::string();
    for (const nox::AdapterInfo& info : vecIface) {
        unsigned nAddr = 0;
        unsigned nMask = 0;
        if (ParseIpv4(nox::Str::field(info.hostAddr), &nAddr) &&
            ParseIpv4(nox::Str::field(info.subNetMask), &nMask) &&
            (nAddr & nMask) == (nSource & nMask))
            return nox::Str::field(info.adapterName);
    }
    return std::string();
}

int PlanDestinations(const SearchOptions& opt, const std::vector<nox::AdapterInfo>& vecIface,
                     std::vector<Destination>& vecOut, std::string& strErr)
{
    vecOut.clear();
    std::vector<const nox::AdapterInfo*> vecChosen;
    for (const std::string& strName : opt.vecIface) {
        const nox::AdapterInfo* pFound = nullptr;
        for (const nox::AdapterInfo& info : vecIface) {
            if (strName == nox::Str::field(info.adapterName))
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
            const std::string strName = nox::Str::field(pInfo->adapterName);
            const std::string strAddr = nox::Str::field(pInfo->hostAddr);
            unsigned nAddr = 0;
            unsigned nMask = 0;
            if (!ParseIpv4(strAddr, &nAddr))
                continue;
            if (opt.vecHost.empty())
                vecOut.push_back({kMulticastGroup, nPort, strAddr, strName});
            const std::string strMask = nox::Str::field(pInfo->subNetMask);
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
