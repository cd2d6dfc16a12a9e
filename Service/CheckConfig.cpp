#include "Service/CheckConfig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <system_error>

#include <pugixml.hpp>

#include "CUListen/AdapterTable.h"
#include "Service/Service.h"
#include "Service/Settings.h"
#include "nox/Status.h"
#include "nox/Str.h"

namespace fs = std::filesystem;

namespace {

const char* const kGroupNames[] = {"UdpListenInfo1", "UdpListenInfo2", "UdpListenInfo3"};
const char* const kPortNames[] = {"UdpPort1", "UdpPort2", "UdpPort3"};

// Every element the daemon reads under the root: LoadServerConf's and the
// optional settings'.
std::vector<std::string> RootElements()
{
    std::vector<std::string> vecOut(std::begin(kServerElements), std::end(kServerElements));
    for (const auto* pTable : {&GuardSettings(), &AdapterSettings()}) {
        for (const OptionalSetting& setting : *pTable)
            vecOut.push_back(setting.szName);
    }
    return vecOut;
}

struct LoadNote {
    std::string strPath, strWhat, strLogged;
};

// Keeps the loader's notes.
class NoteList : public ConfigNotes {
public:
    void Note(const std::string& strPath, const std::string& strWhat,
              const std::string& strLogged) override
    {
        m_vecNote.push_back({strPath, strWhat, strLogged});
    }
    std::vector<LoadNote> m_vecNote;
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
    const char* szText = strText.c_str();
    char* pEnd = nullptr;
    (void)std::strtol(szText, &pEnd, 10);   // blanks, a sign, digits: atoi's reading
    return pEnd != szText &&
           strText.find_first_not_of(" \t\n\v\f\r", static_cast<size_t>(pEnd - szText)) ==
               std::string::npos;
}

bool IsIpv4(const std::string& strText)
{
    std::istringstream in(strText);
    std::string strPart;
    int nParts = 0;
    while (std::getline(in, strPart, '.')) {
        if (strPart.empty() || strPart.size() > 3 || (strPart.size() > 1 && strPart[0] == '0') ||
            !std::all_of(strPart.begin(), strPart.end(),
                         [](char c) { return std::isdigit(c & 0xFF); }) ||
            std::stoi(strPart) > 255)
            return false;
        ++nParts;
    }
    return nParts == 4 && strText.back() != '.';
}

// "010.0.0.1", "10.0.0.01": octal to some readers, refused by the daemon.
bool HasLeadingZero(const std::string& strText)
{
    for (size_t i = 0; i + 1 < strText.size(); ++i) {
        if (strText[i] == '0' && (i == 0 || strText[i - 1] == '.') && std::isdigit(strText[i + 1] & 0xFF))
            return true;
    }
    return false;
}

// Turns the loader's notes into findings at their elements, and looks the
// parsed file over for what the loader does not judge.
class Checker {
public:
    Checker(const std::string& strText, ConfigReport& report) : m_strText(strText), m_report(report)
    {
    }

    // A note of the loader: at its element when the file has it, else at the
    // element that should hold it.
    void AddNote(const pugi::xml_document& doc, const LoadNote& note)
    {
        if (note.strPath == "web") {
            ConfigFinding finding;
            finding.strFile = m_report.strWebFile;
            finding.strText = note.strLogged + ": " + note.strWhat;
            m_report.vecFinding.push_back(finding);
            return;
        }
        if (note.strPath.empty()) {
            if (!m_bFileNoted)   // else the parser's reason says more, at its place
                AddAt(true, -1, note.strWhat);
            return;
        }
        const pugi::xml_node root = doc.child("Velmora");
        const size_t nSlash = note.strPath.find('/');
        const std::string strName =
            nSlash == std::string::npos ? note.strPath : note.strPath.substr(nSlash + 1);
        const std::string strShown =
            "<" + strName + ">" +
            (nSlash == std::string::npos ? "" : " of <" + note.strPath.substr(0, nSlash) + ">");
        const pugi::xml_node node = root.first_element_by_path(note.strPath.c_str());
        if (node) {
            Add(true, node, strShown + (node.child_value()[0] == '\0' ? " is empty: " : " ") +
                                note.strWhat);
            return;
        }
        const pugi::xml_node parent =
            nSlash == std::string::npos ? root
                                        : root.child(note.strPath.substr(0, nSlash).c_str());
        Add(true, parent ? parent : root, "missing " + strShown + ": " + note.strWhat);
    }

    // The file could not be read, or is no XML: why, at its place.
    void NotWellFormed(const pugi::xml_parse_result& result, bool bRead, const std::string& strWhy)
    {
        m_bFileNoted = true;
        if (!bRead)
            AddAt(true, -1, "cannot read the file: " + strWhy + ": the daemon keeps every default");
        else
            AddAt(true, result.offset, std::string("not well-formed XML: ") +
                                           result.description() +
                                           ": the daemon keeps every default");
    }

    void LookOver(const pugi::xml_document& doc)
    {
        const pugi::xml_node root = doc.child("Velmora");
        if (!root) {
            const pugi::xml_node top = doc.document_element();
            if (top && !LookAlike(top.name(), {"Velmora"}).empty())
                Add(false, top, "is <" + std::string(top.name()) + "> meant to be <Velmora>?");
            return;
        }
        CheckNames(root, RootElements());
        for (const char* szGroup : kGroupNames) {
            const pugi::xml_node group = root.child(szGroup);
            if (group)
                CheckGroup(group);
        }
        CheckTwice(root);
        const pugi::xml_node product = root.child("ProductType");
        if (product && product.child_value()[0] == '\0')
            Add(false, product, "<ProductType> is empty: it counts as set, so the replies carry "
                                "an empty name and the web ports");
        CheckAdapters(root);
    }

    void AddAt(bool bError, ptrdiff_t nOffset, const std::string& strText)
    {
        ConfigFinding finding;
        finding.strFile = m_report.strFile;
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
        if (static_cast<size_t>(nOffset) > m_strText.size())   // also -1, none known
            return 0;
        return 1 + static_cast<int>(
                       std::count(m_strText.begin(), m_strText.begin() + nOffset, '\n'));
    }

    // Unknown names (with the known one they look like) and repeated ones.
    void CheckNames(const pugi::xml_node& parent, const std::vector<std::string>& vecKnown)
    {
        std::map<std::string, pugi::xml_node> mapSeen;
        for (const pugi::xml_node& child : parent.children()) {
            if (child.type() != pugi::node_element)
                continue;
            const std::string strName = child.name();
            if (std::find(vecKnown.begin(), vecKnown.end(), strName) == vecKnown.end()) {
                const std::string strLike = LookAlike(strName, vecKnown);
                Add(false, child, "unknown element <" + strName + "> is ignored" +
                                      (strLike.empty() ? std::string()
                                                       : ": did you mean <" + strLike + ">?"));
            } else if (mapSeen.count(strName) != 0) {
                Add(false, child, "second <" + strName + "> is ignored: the first, on line " +
                                      std::to_string(LineOf(mapSeen[strName])) + ", counts");
            } else {
                mapSeen[strName] = child;
            }
        }
    }

    // What the listener cannot open: a host that is no IPv4 address, a port
    // that is no number or outside 1 to 65535.
    void CheckGroup(const pugi::xml_node& group)
    {
        const std::string strGroup = std::string("<") + group.name() + ">";
        CheckNames(group, std::vector<std::string>(std::begin(kListenGroupElements),
                                                   std::end(kListenGroupElements)));
        const std::string strHost = group.child_value("UdpHost");
        if (strHost.empty())
            return;   // the loader's note: the ports are not read
        if (!IsIpv4(strHost))
            Add(true, group.child("UdpHost"),
                "<UdpHost> of " + strGroup + " is not an IPv4 address: \"" + strHost + "\"" +
                    (HasLeadingZero(strHost) ? " (no number may start with 0)" : "") +
                    ": the group's endpoints cannot be opened");
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

    // Endpoints share a port (the wildcard, groups, addresses of the host),
    // but one address and port held twice cannot open the second time.
    void CheckTwice(const pugi::xml_node& root)
    {
        const auto& vecListen = m_report.vecListen;
        for (size_t j = 0; j < vecListen.size(); ++j) {
            for (size_t i = 0; i < j; ++i) {
                if (vecListen[i] != vecListen[j])
                    continue;
                const pugi::xml_node group = root.child(kGroupNames[j / 3]);
                const pugi::xml_node port = group.child(kPortNames[j % 3]);
                Add(true, port ? port : group ? group : root,
                    vecListen[j].first + ":" + std::to_string(vecListen[j].second) +
                        " is an endpoint twice (endpoints " + std::to_string(i + 1) + " and " +
                        std::to_string(j + 1) + "): the second cannot be opened");
                break;
            }
        }
    }

    // The name patterns, tried on this host's adapters, must leave at least
    // one of them.
    void CheckAdapters(const pugi::xml_node& root)
    {
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
    bool m_bFileNoted = false;
};

// Loads the folder's files as the daemon would, with its notes; false when
// the folder cannot be entered.
bool LoadAsDaemon(const fs::path& folder, ConfigReport& report, NoteList& notes)
{
    std::error_code ec;
    const fs::path previous = fs::current_path(ec);
    fs::current_path(folder, ec);
    if (ec) {
        report.vecFinding.push_back(
            {folder.u8string(), 0, 0, true, "cannot enter the folder: " + ec.message()});
        return false;
    }
    CServerConfig config;
    config.m_pNotes = &notes;
    report.nLoadResult = config.LoadServerConf();
    (void)config.LoadGuardConf();   // the daemon reads them whatever the result
    (void)config.LoadAdapterConf();

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
    for (const ListenAddr& addr : config.m_vecListenAddr)
        report.vecListen.emplace_back(addr.m_strHost.c_str(), addr.m_nPort);
    fs::current_path(previous, ec);
    return true;
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

    NoteList notes;
    report.bFolderRead = LoadAsDaemon(fs::u8path(strFolder), report, notes);
    if (!report.bFolderRead)
        return;

    std::string strWhy;
    errno = 0;
    std::ifstream in(file, std::ios::binary);   // a path: wide names on Windows too
    const bool bRead = static_cast<bool>(in);
    if (!bRead)
        strWhy = errno != 0 ? std::strerror(errno) : "cannot be opened";
    std::ostringstream text;
    text << in.rdbuf();
    const std::string strText = text.str();
    Checker checker(strText, report);
    pugi::xml_document doc;
    const pugi::xml_parse_result result =
        doc.load_buffer(strText.data(), strText.size());   // as load_file parses it
    if (!bRead || !result)
        checker.NotWellFormed(result, bRead, strWhy);
    for (const LoadNote& note : notes.m_vecNote)
        checker.AddNote(doc, note);
    if (bRead && result)
        checker.LookOver(doc);
    std::stable_sort(report.vecFinding.begin(), report.vecFinding.end(),
                     [](const ConfigFinding& a, const ConfigFinding& b) {
                         if (a.strFile != b.strFile)
                             return b.strFile < a.strFile;   // Velmora.xml before "../..."
                         return a.nLine != b.nLine ? a.nLine < b.nLine : a.nCol < b.nCol;
                     });
}

std::string FormatFindings(const ConfigReport& report, bool bPriorities)
{
    std::ostringstream out;
    for (const ConfigFinding& f : report.vecFinding) {
        if (bPriorities)
            out << (f.bError ? "<3>" : "<4>");
        out << f.strFile;
        if (f.nLine > 0)
            out << ":" << f.nLine << ":" << f.nCol;
        out << ": " << (f.bError ? "error" : "warning") << ": " << f.strText << "\n";
    }
    const int nErrors = report.Count(true);
    const int nWarnings = report.Count(false);
    if (bPriorities)
        out << (nErrors > 0 ? "<3>" : nWarnings > 0 ? "<4>" : "<6>");
    out << "check-config: " << nErrors << (nErrors == 1 ? " error, " : " errors, ") << nWarnings
        << (nWarnings == 1 ? " warning" : " warnings") << "\n";
    return out.str();
}

std::string FormatDetails(const ConfigReport& report)
{
    if (!report.bFolderRead)
        return std::string();
    std::ostringstream out;
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
    return out.str();
}
