#include "Service/CheckConfig.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include <pugixml.hpp>

#include "CUListen/AdapterTable.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/Status.h"
#include "nox/Str.h"

namespace fs = std::filesystem;

namespace {

const char* const kGroupNames[] = {"UdpListenInfo1", "UdpListenInfo2", "UdpListenInfo3"};
const char* const kPortNames[] = {"UdpPort1", "UdpPort2", "UdpPort3"};
const std::vector<std::string> kRootChildren = {
    "UdpListenInfo1", "UdpListenInfo2", "UdpListenInfo3", "VersionName",    "VersionNum",
    "ThreadNum",      "FilterInterval", "ProductType",    "Proxy",          "AdapterRefresh",
    "AdapterInclude", "AdapterExclude"};
const std::vector<std::string> kGroupChildren = {"UdpHost", "UdpPort1", "UdpPort2", "UdpPort3"};

// Keeps the error lines of the daemon's loader instead of printing them.
class ErrorLines : public nox::detail::LogObserver {
public:
    explicit ErrorLines(std::vector<std::string>& vecOut) : m_vecOut(vecOut) {}
    void OnLine(int nLevel, const char*, int, const char*, const char* szText) override
    {
        if (nLevel >= nox::kLogError)
            m_vecOut.push_back(szText);
    }

private:
    std::vector<std::string>& m_vecOut;
};

size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> vecRow(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        vecRow[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t nDiag = vecRow[0];
        vecRow[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t nUp = vecRow[j];
            const bool bSame = std::tolower(a[i - 1] & 0xFF) == std::tolower(b[j - 1] & 0xFF);
            vecRow[j] = std::min({vecRow[j] + 1, vecRow[j - 1] + 1, nDiag + (bSame ? 0 : 1)});
            nDiag = nUp;
        }
    }
    return vecRow[b.size()];
}

// The known name that strName looks like a typo of, else "".
std::string LookAlike(const std::string& strName, const std::vector<std::string>& vecKnown)
{
    for (const std::string& strKnown : vecKnown) {
        if (EditDistance(strName, strKnown) <= (strKnown.size() >= 6 ? 2u : 1u))
            return strKnown;
    }
    return std::string();
}

// atoi's reading of the text and whether the whole text is that number
// (blanks around it allowed).
bool IsWholeNumber(const std::string& strText)
{
    size_t i = 0;
    while (i < strText.size() && std::isspace(strText[i] & 0xFF))
        ++i;
    if (i < strText.size() && (strText[i] == '+' || strText[i] == '-'))
        ++i;
    const size_t nDigits = i;
    while (i < strText.size() && std::isdigit(strText[i] & 0xFF))
        ++i;
    if (i == nDigits)
        return false;
    while (i < strText.size() && std::isspace(strText[i] & 0xFF))
        ++i;
    return i == strText.size();
}

bool IsIpv4(const std::string& strText)
{
    std::istringstream in(strText);
    std::string strPart;
    int nParts = 0;
    while (std::getline(in, strPart, '.')) {
        if (strPart.empty() || strPart.size() > 3 ||
            !std::all_of(strPart.begin(), strPart.end(),
                         [](char c) { return std::isdigit(c & 0xFF); }) ||
            std::stoi(strPart) > 255)
            return false;
        ++nParts;
    }
    return nParts == 4 && strText.back() != '.';
}

// Looks the parsed file over; every finding carries the node's position.
class Checker {
public:
    Checker(const std::string& strText, ConfigReport& report) : m_strText(strText), m_report(report)
    {
    }

    void Run(const pugi::xml_document& doc)
    {
        const pugi::xml_node root = doc.child("Velmora");
        if (!root) {
            const pugi::xml_node top = doc.document_element();
            const std::string strLike = LookAlike(top.name(), {"Velmora"});
            Add(true, top, "no root element <Velmora>" +
                               (strLike.empty() ? std::string() : " (is <" +
                                    std::string(top.name()) + "> a typo?)") +
                               ": the daemon keeps every default");
            return;
        }
        CheckNames(root, kRootChildren);
        for (int g = 0; g < 3; ++g)
            CheckGroup(root, g);
        Required(root, "VersionName");
        Required(root, "VersionNum");
        CheckRange(Required(root, "ThreadNum"), 4, 7, 8);
        CheckRange(Required(root, "FilterInterval"), 2, 300, 2);
        const pugi::xml_node product = Required(root, "ProductType");
        if (product && product.child_value()[0] == '\0')
            Add(false, product, "<ProductType> is empty: it counts as set, so the replies carry "
                                "an empty name and the web ports");
        if (!root.child("Proxy"))
            Add(true, root, "missing <Proxy>: the daemon logs an error and reads the Tomcat "
                            "file unless <ProductType> is TRN V8");
        CheckAdapters(root);
    }

    void AddAt(bool bError, ptrdiff_t nOffset, const std::string& strText)
    {
        ConfigFinding finding;
        finding.bError = bError;
        finding.strText = strText;
        if (nOffset >= 0 && static_cast<size_t>(nOffset) <= m_strText.size()) {
            const std::string strBefore = m_strText.substr(0, static_cast<size_t>(nOffset));
            const size_t nLineStart = strBefore.rfind('\n');
            finding.nLine = 1 + static_cast<int>(std::count(strBefore.begin(), strBefore.end(), '\n'));
            finding.nCol = static_cast<int>(
                nLineStart == std::string::npos ? nOffset + 1 : nOffset - nLineStart);
        }
        m_report.vecFinding.push_back(finding);
    }

private:
    void Add(bool bError, const pugi::xml_node& node, const std::string& strText)
    {
        // An element's offset is that of its name; the column points at '<'.
        const ptrdiff_t nOffset = node.offset_debug();
        AddAt(bError, nOffset > 0 ? nOffset - 1 : nOffset, strText);
    }

    int LineOf(const pugi::xml_node& node)
    {
        const ptrdiff_t nOffset = node.offset_debug();
        if (nOffset < 0 || static_cast<size_t>(nOffset) > m_strText.size())
            return 0;
        return 1 + static_cast<int>(
                       std::count(m_strText.begin(), m_strText.begin() + nOffset, '\n'));
    }

    // Unknown names that look like a known one, and repeated known names.
    void CheckNames(const pugi::xml_node& parent, const std::vector<std::string>& vecKnown)
    {
        std::map<std::string, pugi::xml_node> mapSeen;
        for (const pugi::xml_node& child : parent.children()) {
            if (child.type() != pugi::node_element)
                continue;
            const std::string strName = child.name();
            if (std::find(vecKnown.begin(), vecKnown.end(), strName) == vecKnown.end()) {
                const std::string strLike = LookAlike(strName, vecKnown);
                if (!strLike.empty())
                    Add(false, child, "unknown element <" + strName +
                                          "> is ignored: did you mean <" + strLike + ">?");
            } else if (mapSeen.count(strName) != 0) {
                Add(false, child, "second <" + strName + "> is ignored: the first, on line " +
                                      std::to_string(LineOf(mapSeen[strName])) + ", counts");
            } else {
                mapSeen[strName] = child;
            }
        }
    }

    // The element, or a finding and an empty node. The first missing one
    // ends the daemon's reading.
    pugi::xml_node Required(const pugi::xml_node& parent, const char* szName)
    {
        const pugi::xml_node node = parent.child(szName);
        if (!node) {
            Add(true, parent, std::string("missing <") + szName + ">" +
                                  (m_bStopped ? ""
                                              : ": the daemon stops reading here, so it and "
                                                "every later setting keep their defaults"));
            m_bStopped = true;
        }
        return node;
    }

    void CheckGroup(const pugi::xml_node& root, int g)
    {
        const std::string strGroup = std::string("<") + kGroupNames[g] + ">";
        const pugi::xml_node group = Required(root, kGroupNames[g]);
        if (!group)
            return;
        CheckNames(group, kGroupChildren);
        const pugi::xml_node host = group.child("UdpHost");
        const std::string strHost = host.child_value();
        if (strHost.empty())
            Add(true, host ? host : group, "<UdpHost> of " + strGroup +
                                               " is empty or missing: its three endpoints keep "
                                               "their defaults");
        else if (!IsIpv4(strHost))
            Add(true, host, "<UdpHost> of " + strGroup + " is not an IPv4 address: \"" +
                                strHost + "\"");
        for (const char* szPort : kPortNames) {
            const pugi::xml_node port = group.child(szPort);
            const std::string strText = port.child_value();
            if (strText.empty())
                continue;
            const int nPort = nox::Str(strText.c_str()).asInt();
            const std::string strWhat = std::string("<") + szPort + "> of " + strGroup;
            if (!IsWholeNumber(strText))
                Add(true, port, strWhat + " is not a number: \"" + strText +
                                    "\" (the daemon listens on port " + std::to_string(nPort) +
                                    ")");
            else if (nPort < 1 || nPort > 65535)
                Add(true, port, strWhat + " is out of range 1..65535: " + std::to_string(nPort));
        }
    }

    void CheckRange(const pugi::xml_node& node, int nMin, int nMax, int nKept)
    {
        if (!node)
            return;
        const std::string strText = node.child_value();
        const int nValue = nox::Str(strText.c_str()).asInt();
        const std::string strWhat = std::string("<") + node.name() + ">";
        const std::string strKeeps = "the daemon keeps " + std::to_string(nKept);
        if (!IsWholeNumber(strText))
            Add(true, node, strWhat + " is not a number: \"" + strText + "\" (" + strKeeps + ")");
        else if ((nValue < nMin || nValue > nMax) && nValue != nKept)
            Add(true, node, strWhat + " " + std::to_string(nValue) + " is outside " +
                                std::to_string(nMin) + ".." + std::to_string(nMax) + ": " +
                                strKeeps);
    }

    // AdapterRefresh is 0 or 1; the name patterns, tried on this host's
    // adapters, must leave at least one of them.
    void CheckAdapters(const pugi::xml_node& root)
    {
        const pugi::xml_node refresh = root.child("AdapterRefresh");
        const std::string strRefresh = refresh.child_value();
        const size_t nFirst = strRefresh.find_first_not_of(" \t\r\n");
        const std::string strValue =
            nFirst == std::string::npos
                ? std::string()
                : strRefresh.substr(nFirst, strRefresh.find_last_not_of(" \t\r\n") - nFirst + 1);
        if (refresh && strValue != "0" && strValue != "1")
            Add(true, refresh, "<AdapterRefresh> is not 0 or 1: \"" + strRefresh +
                                   "\" (the daemon keeps 1)");
        const pugi::xml_node include = root.child("AdapterInclude");
        const pugi::xml_node exclude = root.child("AdapterExclude");
        if (!include && !exclude)
            return;
        std::vector<nox::AdapterInfo> vecInfo;
        if (nox::Status::instance().getAdapterInfo(vecInfo) != 0 || vecInfo.empty())
            return;
        std::vector<std::string> vecLeftOut;
        const velmora::AdapterFilter filter(include.child_value(), exclude.child_value());
        const std::vector<AdapterEntry> vecRow = velmora::MakeRows(vecInfo, filter, &vecLeftOut);
        std::string strNames;
        for (const std::string& strName : vecLeftOut)
            strNames += (strNames.empty() ? "" : ", ") + strName;
        if (vecRow.empty())
            Add(false, include ? include : exclude,
                "<AdapterInclude> and <AdapterExclude> leave out every adapter of this host (" +
                    strNames + "): nothing would be announced");
        else if (!vecLeftOut.empty())
            m_report.strLeftOut = strNames;
    }

    const std::string& m_strText;
    ConfigReport& m_report;
    bool m_bStopped = false;
};

void LoadAsDaemon(const fs::path& folder, ConfigReport& report)
{
    std::error_code ec;
    const fs::path previous = fs::current_path(ec);
    fs::current_path(folder, ec);
    if (ec) {
        report.vecFinding.push_back({0, 0, true, "cannot enter " + folder.u8string() + ": " +
                                                     ec.message()});
        report.nLoadResult = CServerConfig::kErrLoadFile;
        return;
    }
    CServerConfig config;
    ErrorLines lines(report.vecDaemonError);
    nox::detail::LogObserver* pPrevious = nox::detail::SwapLogObserver(&lines);
    report.nLoadResult = config.LoadServerConf();
    (void)config.LoadAdapterConf();
    nox::detail::SwapLogObserver(pPrevious);

    if (report.nLoadResult == 0 || report.nLoadResult <= CServerConfig::kErrWebLoadFile) {
        const bool bNginx = config.m_strProductType == "TRN V8" || config.m_strProxy == "nginx";
        report.strFrontEnd = bNginx ? "nginx" : "Tomcat";
        report.strWebFile = bNginx ? "../nginx/conf/port.conf"
                                   : "../WEBCLIENT/webclient/apache-tomcat/conf/server.xml";
        report.strWebPath = fs::absolute(report.strWebFile, ec).lexically_normal().u8string();
        report.bWebFileFound = fs::exists(report.strWebFile, ec);
    }
    report.nHttpPort = config.webclientHttpPort;
    report.nHttpsPort = config.webclientHttpsPort;
    report.bProductSet = !(config.m_strProductType == "Null");
    report.nReplyPort = config.m_vecListenAddr[1].m_nPort;
    fs::current_path(previous, ec);
}

}  // namespace

int ConfigReport::Count(bool bError) const
{
    return static_cast<int>(std::count_if(vecFinding.begin(), vecFinding.end(),
                                          [&](const ConfigFinding& f) { return f.bError == bError; }));
}

void CheckServerConf(const std::string& strFolder, ConfigReport& report)
{
    report = ConfigReport();
    const fs::path file = fs::u8path(strFolder) / "Velmora.xml";   // UTF-8 text, any system
    report.strFile = file.u8string();
    std::error_code ec;
    const fs::path real = fs::canonical(file, ec);
    if (!ec && real != fs::absolute(file, ec).lexically_normal())
        report.strRealFile = real.u8string();

    LoadAsDaemon(fs::u8path(strFolder), report);

    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string strText = text.str();
    Checker checker(strText, report);
    pugi::xml_document doc;
    const pugi::xml_parse_result result = doc.load_file(file.c_str());
    if (!in)
        checker.AddAt(true, -1, "cannot read the file: the daemon keeps every default");
    else if (!result)
        checker.AddAt(true, result.offset,
                      std::string("not well-formed XML: ") + result.description() +
                          ": the daemon keeps every default");
    else
        checker.Run(doc);
    std::stable_sort(report.vecFinding.begin(), report.vecFinding.end(),
                     [](const ConfigFinding& a, const ConfigFinding& b) {
                         return a.nLine != b.nLine ? a.nLine < b.nLine : a.nCol < b.nCol;
                     });
}

std::string FormatReport(const ConfigReport& report)
{
    std::ostringstream out;
    for (const ConfigFinding& f : report.vecFinding) {
        out << report.strFile;
        if (f.nLine > 0)
            out << ":" << f.nLine << ":" << f.nCol;
        out << ": " << (f.bError ? "error" : "warning") << ": " << f.strText << "\n";
    }
    if (!report.vecDaemonError.empty()) {
        out << "the daemon would log these errors:\n";
        for (const std::string& strLine : report.vecDaemonError)
            out << "  " << strLine << "\n";
    }
    out << "settings: " << report.strFile;
    if (!report.strRealFile.empty())
        out << " (" << report.strRealFile << ")";
    out << "\n";
    if (report.strFrontEnd.empty())
        out << "web ports: not read (loading stopped before <ProductType>)\n";
    else
        out << "web ports: " << report.strFrontEnd << ", " << report.strWebFile << " ("
            << report.strWebPath << (report.bWebFileFound ? "" : ", missing") << "): HTTP "
            << report.nHttpPort << ", HTTPS " << report.nHttpsPort << "\n";
    if (report.bProductSet)
        out << "replies announce: HTTP " << report.nHttpPort << ", HTTPS " << report.nHttpsPort
            << "\n";
    else
        out << "replies announce: HTTP 80 and port " << report.nReplyPort
            << " (<ProductType> is Null, so the web ports are not announced)\n";
    if (!report.strLeftOut.empty())
        out << "adapters left out on this host: " << report.strLeftOut << "\n";
    const int nErrors = report.Count(true);
    const int nWarnings = report.Count(false);
    out << "check-config: " << nErrors << (nErrors == 1 ? " error, " : " errors, ") << nWarnings
        << (nWarnings == 1 ? " warning" : " warnings");
    if (report.nLoadResult != 0)
        out << "; loading ends with " << report.nLoadResult;
    out << "\n";
    return out.str();
}
