#include "Service/Service.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include <pugixml.hpp>

#include "CUListen/AdapterTable.h"
#include "CUListen/CUHandle.h"
#include "CUListen/CUListen.h"
#include "Service/Settings.h"
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

const char kStopsHere[] = "the daemon stops reading here: it and every later setting keep "
                         "their defaults";

// "Accepted only from nMin to nMax": other values leave nField as it is.
bool TakeIfInRange(int& nField, int nValue, int nMin, int nMax)
{
    if (nValue < nMin || nValue > nMax)
        return false;
    nField = nValue;
    return true;
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
      m_nLogFolderMaxMB(1024),
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

void CServerConfig::Failed(const char* szPath, const char* szWhat, int nLine,
                           const char* szFmt, ...)
{
    va_list args;
    va_start(args, szFmt);
    if (m_pNotes != nullptr) {
        char szLine[512];
        va_list copy;
        va_copy(copy, args);
        std::vsnprintf(szLine, sizeof(szLine), szFmt, copy);
        va_end(copy);
        m_pNotes->Note(szPath, szWhat, szLine);
    }
    nox::PrintLog::instance().LogV(kSrc, nLine, kLoadFn, "", nox::kLogError, szFmt, args);
    va_end(args);
}

void CServerConfig::Note(const char* szPath, const std::string& strWhat) const
{
    if (m_pNotes != nullptr)
        m_pNotes->Note(szPath, strWhat, std::string());
}

int CServerConfig::LoadServerConf()
{
    SetDefaultListenAddrs();

    pugi::xml_document doc;
    if (!doc.load_file("Velmora.xml")) {
        Failed("", "the daemon keeps every default", __LINE__, "Velmora Xml Load File Failed!");
        return kErrLoadFile;
    }
    pugi::xml_node root = doc.child("Velmora");
    if (root.empty()) {
        Failed("", "no root element <Velmora>: the daemon keeps every default", __LINE__,
               "Load Child Velmora Failed!");
        return kErrNoRoot;
    }

    for (int g = 0; g < 3; ++g) {
        pugi::xml_node group = root.child(kGroupNames[g]);
        if (group.empty()) {
            Failed(kGroupNames[g], kStopsHere, __LINE__, "Load Child %s Failed!",
                   kGroupNames[g]);
            return kErrNoListenGroup;
        }
        const char* szHost = group.child_value("UdpHost");
        if (szHost[0] == '\0') {
            const std::string strPath = std::string(kGroupNames[g]) + "/UdpHost";
            Failed(strPath.c_str(), "the group's three endpoints keep their defaults", __LINE__,
                   "Load Child %s UDPHost Failed!", kGroupNames[g]);
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
        Failed("VersionName", kStopsHere, __LINE__, "Load Child VersionName Failed!");
        return kErrNoVersion;
    }
    m_strVersionName = node.child_value();
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "VersionName[%s]", m_strVersionName.c_str());

    node = root.child("VersionNum");
    if (node.empty()) {
        Failed("VersionNum", kStopsHere, __LINE__, "Load Child VersionNum Failed!");
        return kErrNoVersion;
    }
    m_strVersionNum = node.child_value();
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "VersionNum[%s]", m_strVersionNum.c_str());

    node = root.child("ThreadNum");
    if (node.empty()) {
        Failed("ThreadNum", kStopsHere, __LINE__, "Load Child ThreadNum Failed!");
        return kErrNoNumber;
    }
    nox::Str strThreadNum(node.child_value());
    const int nThreadNum = strThreadNum.asInt();
    if (!TakeIfInRange(m_nThreadNum, nThreadNum, 4, 7) && nThreadNum != m_nThreadNum)
        Note("ThreadNum", "[" + strThreadNum.str() + "] is read as " + std::to_string(nThreadNum) +
                              ", outside 4 to 7: the daemon keeps " + std::to_string(m_nThreadNum));
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo,
            "ThreadNum [sThreadNum=%s, nThreadNum=%d, m_nThreadNum=%d]", strThreadNum.c_str(),
            nThreadNum, m_nThreadNum);

    node = root.child("FilterInterval");
    if (node.empty()) {
        Failed("FilterInterval", kStopsHere, __LINE__, "Load Child FilterInterval Failed!");
        return kErrNoNumber;
    }
    nox::Str strInterval(node.child_value());
    const int nInterval = strInterval.asInt();
    if (!TakeIfInRange(m_nFilterInterval, nInterval, 2, 300) && nInterval != m_nFilterInterval)
        Note("FilterInterval", "[" + strInterval.str() + "] is read as " +
                                   std::to_string(nInterval) +
                                   ", outside 2 to 300: the daemon keeps " +
                                   std::to_string(m_nFilterInterval));
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo,
            "FilterInterval [sFilterInterval=%s, nFilterInterval=%d, m_nFilterInterval=%d]",
            strInterval.c_str(), nInterval, m_nFilterInterval);

    node = root.child("ProductType");
    if (node.empty()) {
        Failed("ProductType", kStopsHere, __LINE__, "Load Child ProductType Failed!");
        return kErrNoProductType;
    }
    m_strProductType = node.child_value();
    NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "ProductType[%s]", m_strProductType.c_str());

    node = root.child("Proxy");
    if (node.empty()) {
        Failed("Proxy", "the web ports are read from Tomcat's file unless <ProductType> is "
                        "TRN V8", __LINE__, "Load Childk Proxy Failed!");
    } else {
        m_strProxy = node.child_value();
        m_strProxy.tolower();
        NOX_LOG(kSrc, kLoadFn, nox::kLogInfo, "Proxy[%s]", m_strProxy.c_str());
    }

    return LoadWebPorts();
}

// A present element is logged under szFn with the value taken (level 4), or
// with why its text was refused and the value kept (level 6); an absent one,
// or an empty one unless the setting takes empty text, keeps the default
// without a line.
void CServerConfig::LoadOptional(const std::vector<OptionalSetting>& vecSetting, const char* szFn)
{
    pugi::xml_document doc;
    const pugi::xml_node root =
        doc.load_file("Velmora.xml") ? doc.child("Velmora") : pugi::xml_node();
    for (const OptionalSetting& setting : vecSetting) {
        const pugi::xml_node node = root.child(setting.szName);
        const char* szText = node.child_value();
        if (!node || (szText[0] == '\0' && !setting.bTakesEmpty))
            continue;
        const std::string strWhy = setting.pfnRead(*this, szText);
        const std::string strValue = setting.pfnShow(*this);
        if (strWhy.empty()) {
            NOX_LOG(kSrc, szFn, nox::kLogInfo, "%s[%s]", setting.szName, strValue.c_str());
            continue;
        }
        const std::string strLine = std::string(setting.szName) + " [" + szText + "] " + strWhy +
                                    ", kept " + strValue;
        NOX_LOG(kSrc, szFn, nox::kLogError, "%s", strLine.c_str());
        if (m_pNotes != nullptr)
            m_pNotes->Note(setting.szName, "[" + std::string(szText) + "] is " + strWhy +
                                               ": the daemon keeps " + strValue,
                           strLine);
    }
}

int CServerConfig::LoadGuardConf()
{
    LoadOptional(GuardSettings(), "CServerConfig::LoadGuardConf");
    return 0;
}

int CServerConfig::LoadAdapterConf()
{
    LoadOptional(AdapterSettings(), "CServerConfig::LoadAdapterConf");
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
    if (m_pListen != nullptr && m_pListen->m_pHandler)
        m_pListen->m_pHandler->JoinWorkers();
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Stop Server OK");
}
