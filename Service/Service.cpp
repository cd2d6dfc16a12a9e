#include "Service/Service.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string>

#include <pugixml.hpp>

#include "CUListen/AdapterTable.h"
#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "nox/PrintLog.h"

namespace {

const char kSrc[] = "Service/Service";
const char kLoadFn[] = "CServerConfig::LoadServerConf";

// Guards only the creation of the configuration singleton.
nox::Mutex g_configMutex;
std::atomic<CServerConfig*> g_pConfig{nullptr};

struct DefaultAddr {
    const char* szHost;
    int nPort;
};
const DefaultAddr kDefaultAddrs[CServerConfig::kListenCount] = {
    {"0.0.0.0", 37810},         {"0.0.0.0", 47810},         {"0.0.0.0", 57810},
    {"0.0.0.0", 5050},          {"0.0.0.0", 15050},         {"0.0.0.0", 25050},
    {"239.255.255.251", 37810}, {"239.255.255.251", 47810}, {"239.255.255.251", 57810},
};

const char* const kGroupNames[] = {"UdpListenInfo1", "UdpListenInfo2", "UdpListenInfo3"};
const char* const kPortNames[] = {"UdpPort1", "UdpPort2", "UdpPort3"};

std::string Trimmed(const std::string& strText)
{
    const size_t nFirst = strText.find_first_not_of(" \t\r\n");
    if (nFirst == std::string::npos)
        return std::string();
    return strText.substr(nFirst, strText.find_last_not_of(" \t\r\n") - nFirst + 1);
}

// "Accepted only from nMin to nMax": other values leave nField as it is.
void TakeIfInRange(int& nField, int nValue, int nMin, int nMax)
{
    if (nValue >= nMin && nValue <= nMax)
        nField = nValue;
}

}  // namespace

CServerConfig* CServerConfig::instance()
{
    CServerConfig* pConfig = g_pConfig.load(std::memory_order_acquire);
    if (pConfig == nullptr) {
        nox::MutexGuard guard(g_configMutex);
        pConfig = g_pConfig.load(std::memory_order_relaxed);
        if (pConfig == nullptr) {
            pConfig = new CServerConfig();
            g_pConfig.store(pConfig, std::memory_order_release);
        }
    }
    return pConfig;
}

CServerConfig::CServerConfig()
    : m_strVersionName("Server"),
      m_strVersionNum("3.0"),
      m_nThreadNum(8),
      m_nFilterInterval(2),
      webclientHttpPort(80),
      webclientHttpsPort(443),
      m_strProductType("Null"),
      m_strProxy("Null"),
      m_nFilterMaxHosts(65536),
      m_nQueueMaxRequests(1024),
      m_nReplyRateLimit(2000),
      m_nAnswerOnLinkOnly(0),
      m_nAdapterRefresh(1)
{
}

void CServerConfig::SetDefaultListenAddrs()
{
    m_vecListenAddr.resize(kListenCount);
    for (int i = 0; i < kListenCount; ++i) {
        m_vecListenAddr[i].m_strHost = kDefaultAddrs[i].szHost;
        m_vecListenAddr[i].m_nPort = kDefaultAddrs[i].nPort;
    }
}

int CServerConfig::LoadServerConf()
{
    SetDefaultListenAddrs();

    pugi::xml_document doc;
    if (!doc.load_file("Velmora.xml")) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Velmora Xml Load File Failed!");
        return kErrLoadFile;
    }
    pugi::xml_node root = doc.child("Velmora");
    if (root.empty()) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child Velmora Failed!");
        return kErrNoRoot;
    }

    for (int g = 0; g < 3; ++g) {
        pugi::xml_node group = root.child(kGroupNames[g]);
        if (group.empty()) {
            NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child %s Failed!", kGroupNames[g]);
            return kErrNoListenGroup;
        }
        const char* szHost = group.child_value("UdpHost");
        if (szHost[0] == '\0') {
            NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child %s UDPHost Failed!",
                    kGroupNames[g]);
            continue;
        }
        for (int k = 0; k < 3; ++k) {
            const char* szPort = group.child_value(kPortNames[k]);
            if (szPort[0] == '\0')
                continue;
            ListenAddr& addr = m_vecListenAddr[3 * g + k];
            addr.m_strHost = szHost;
            addr.m_nPort = nox::Str(szPort).asInt();
            NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "%s Listen%d[%s:%d]", kGroupNames[g], k + 1,
                    addr.m_strHost.c_str(), addr.m_nPort);
        }
    }

    pugi::xml_node node = root.child("VersionName");
    if (node.empty()) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child VersionName Failed!");
        return kErrNoVersion;
    }
    m_strVersionName = node.child_value();
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "VersionName[%s]", m_strVersionName.c_str());

    node = root.child("VersionNum");
    if (node.empty()) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child VersionNum Failed!");
        return kErrNoVersion;
    }
    m_strVersionNum = node.child_value();
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "VersionNum[%s]", m_strVersionNum.c_str());

    node = root.child("ThreadNum");
    if (node.empty()) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child ThreadNum Failed!");
        return kErrNoNumber;
    }
    nox::Str strThreadNum(node.child_value());
    const int nThreadNum = strThreadNum.asInt();
    TakeIfInRange(m_nThreadNum, nThreadNum, 4, 7);
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo,
            "ThreadNum [sThreadNum=%s, nThreadNum=%d, m_nThreadNum=%d]", strThreadNum.c_str(),
            nThreadNum, m_nThreadNum);

    node = root.child("FilterInterval");
    if (node.empty()) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child FilterInterval Failed!");
        return kErrNoNumber;
    }
    nox::Str strInterval(node.child_value());
    const int nInterval = strInterval.asInt();
    TakeIfInRange(m_nFilterInterval, nInterval, 2, 300);
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo,
            "FilterInterval [sFilterInterval=%s, nFilterInterval=%d, m_nFilterInterval=%d]",
            strInterval.c_str(), nInterval, m_nFilterInterval);

    node = root.child("ProductType");
    if (node.empty()) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Child ProductType Failed!");
        return kErrNoProductType;
    }
    m_strProductType = node.child_value();
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "ProductType[%s]", m_strProductType.c_str());

    node = root.child("Proxy");
    if (node.empty()) {
        NOX_LOG(kSrc, kLoadFn, nox::kLogError, "Load Childk Proxy Failed!");
    } else {
        m_strProxy = node.child_value();
        m_strProxy.tolower();
        NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "Proxy[%s]", m_strProxy.c_str());
    }

    return LoadWebPorts();
}

// Limits for untrusted networks: optional elements. Missing or empty keeps the
// default (level 4, with the value used); text that is not a whole number, or
// a number out of range, keeps the default (level 6).
int CServerConfig::LoadGuardConf()
{
    static const char kFn[] = "CServerConfig::LoadGuardConf";
    struct Setting {
        const char* szName;
        int* pField;
        long nMin;
        long nMax;
    };
    const Setting kSettings[] = {
        {"FilterMaxHosts", &m_nFilterMaxHosts, 1, 16777216},
        {"QueueMaxRequests", &m_nQueueMaxRequests, 1, 1048576},
        {"ReplyRateLimit", &m_nReplyRateLimit, 0, 10000000},
        {"AnswerOnLinkOnly", &m_nAnswerOnLinkOnly, 0, 1},
    };
    pugi::xml_document doc;
    const pugi::xml_node root =
        doc.load_file("Velmora.xml") ? doc.child("Velmora") : pugi::xml_node();
    for (const Setting& setting : kSettings) {
        const char* szText = root.child_value(setting.szName);
        if (szText[0] == '\0') {
            NOX_LOG(kSrc, kFn, nox::kLogInfo, "%s[%d] default", setting.szName, *setting.pField);
            continue;
        }
        char* pEnd = nullptr;
        errno = 0;
        const long nValue = std::strtol(szText, &pEnd, 10);
        while (pEnd != szText && std::isspace(static_cast<unsigned char>(*pEnd)))
            ++pEnd;
        if (pEnd == szText || *pEnd != '\0' || errno != 0 || nValue < setting.nMin ||
            nValue > setting.nMax) {
            NOX_LOG(kSrc, kFn, nox::kLogError, "%s [%s] not a number from %ld to %ld, kept %d",
                    setting.szName, szText, setting.nMin, setting.nMax, *setting.pField);
            continue;
        }
        *setting.pField = static_cast<int>(nValue);
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "%s[%d]", setting.szName, *setting.pField);
    }
    return 0;
}

// Adapter settings: optional elements, logged only when present. AdapterRefresh
// that is not 0 or 1 keeps 1 (level 6); the patterns are kept as written,
// blanks between them made single.
int CServerConfig::LoadAdapterConf()
{
    static const char kFn[] = "CServerConfig::LoadAdapterConf";
    pugi::xml_document doc;
    const pugi::xml_node root =
        doc.load_file("Velmora.xml") ? doc.child("Velmora") : pugi::xml_node();
    const pugi::xml_node refresh = root.child("AdapterRefresh");
    if (refresh) {
        const std::string strText = Trimmed(refresh.child_value());
        if (strText == "0" || strText == "1") {
            m_nAdapterRefresh = strText[0] - '0';
            NOX_LOG(kSrc, kFn, nox::kLogInfo, "AdapterRefresh[%d]", m_nAdapterRefresh);
        } else {
            NOX_LOG(kSrc, kFn, nox::kLogError, "AdapterRefresh [%s] not 0 or 1, kept %d",
                    refresh.child_value(), m_nAdapterRefresh);
        }
    }
    const struct {
        const char* szName;
        nox::Str* pField;
    } kPatterns[] = {{"AdapterInclude", &m_strAdapterInclude},
                     {"AdapterExclude", &m_strAdapterExclude}};
    for (const auto& setting : kPatterns) {
        const pugi::xml_node node = root.child(setting.szName);
        if (!node)
            continue;
        std::string strJoined;
        for (const std::string& strPattern : velmora::AdapterFilter::Split(node.child_value()))
            strJoined += (strJoined.empty() ? "" : " ") + strPattern;
        *setting.pField = strJoined.c_str();
        NOX_LOG(kSrc, kFn, nox::kLogInfo, "%s[%s]", setting.szName, strJoined.c_str());
    }
    return 0;
}

CServer::CServer() : CServer(new nox::NetEngine) {}

CServer::CServer(nox::NetEngine* pEngine) : m_pEngine(pEngine), m_pListen(nullptr) {}

CServer::~CServer()
{
    if (m_pEngine != nullptr) {
        delete m_pEngine;
        m_pEngine = nullptr;
    }
    m_pListen = nullptr;  // lives until the process ends, like its handler
}

int CServer::StartServer()
{
    static const char kFn[] = "CServer::StartServer";
    const int nRet = m_pEngine->StartEngine(nox::kNetEngineEvent, 2048, 4);
    if (nRet != 0) {
        NOX_LOG(kSrc, kFn, nox::kLogError, "StartEngine Failed! ret[%d]", nRet);
        return -1;
    }
    (void)CServerConfig::instance()->LoadServerConf();  // defaults stand in for failures
    (void)CServerConfig::instance()->LoadGuardConf();
    (void)CServerConfig::instance()->LoadAdapterConf();

    m_pListen = new CCUListen(m_pEngine);
    if (m_pListen->StartListen() != 0) {
        NOX_LOG(kSrc, kFn, nox::kLogError, "Start Server Failed!");
        return -1;
    }
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Start Server OK!");
    return 0;
}

void CServer::StopServer()
{
    static const char kFn[] = "CServer::StopServer";
    if (m_pListen != nullptr)
        (void)m_pListen->StopListen();
    (void)m_pEngine->StopEngine();
    // The signalled workers may still be sending; wait for them before the
    // engine can be destroyed.
    if (m_pListen != nullptr && m_pListen->m_pHandler) {
        m_pListen->m_pHandler->JoinWorkers();
        m_pListen->m_pHandler->PrintCounters();
    }
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Stop Server OK");
}
