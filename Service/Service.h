// The server object and the process-wide configuration.
#pragma once

#include <string>
#include <vector>

#include "nox/Compat.h"
#include "nox/Mutex.h"
#include "nox/NetEngine.h"
#include "nox/Str.h"

class CCUListen;
struct OptionalSetting;

// One UDP listen endpoint.
struct ListenAddr {
    int m_nPort = 0;
    nox::Str m_strHost;
};

// What a load finds that makes the daemon log an error or keep a default, one
// note per finding, for velmoractl check-config (the daemon passes none).
class ConfigNotes {
public:
    virtual ~ConfigNotes() = default;
    // strPath: the element under the root ("ThreadNum", "UdpListenInfo2/UdpHost"),
    // "" for the file itself, "web" for the web front end's file; strWhat:
    // what the daemon does about it; strLogged: the error line it logs ("" for none).
    virtual void Note(const std::string& strPath, const std::string& strWhat,
                      const std::string& strLogged) = 0;
};

// Settings read once at start from "Velmora.xml" and the web front end's port
// file, then only read (without a lock) by every thread. Reached through
// instance(); never destroyed.
class CServerConfig {
public:
    enum {
        kErrLoadFile = -1,
        kErrNoRoot = -2,
        kErrNoListenGroup = -3,
        kErrNoVersion = -5,
        kErrNoNumber = -6,
        kErrNoProductType = -7,
        // Web front end.
        kErrWebLoadFile = -101,
        kErrWebNoServer = -102,
        kErrWebNoService = -103,
        kErrWebNoConnector = -104,
        kErrWebSslDisabled = -105,
        kErrWebNoHttpPort = -106,
        kErrWebNoHttpsPort = -107,
    };
    static constexpr int kListenCount = 9;

    static CServerConfig* instance();
    CServerConfig();

    // Fills the settings from "Velmora.xml" in the current directory, then
    // the web ports. 0, or the first failure's code; fields read before a
    // failure stay, later ones keep their defaults.
    int LoadServerConf();
    // The optional settings of GuardSettings() (Settings.h: limits for
    // untrusted networks, the log folder's cap), from the same file; run
    // after LoadServerConf. Only settings present are logged: the value
    // taken, or the error and the value kept. Always 0.
    int LoadGuardConf();
    // The same for AdapterSettings() (AdapterRefresh, AdapterInclude,
    // AdapterExclude).
    int LoadAdapterConf();

    std::vector<ListenAddr> m_vecListenAddr;
    nox::Str m_strVersionName;
    nox::Str m_strVersionNum;
    int m_nThreadNum;
    int m_nFilterInterval;          // seconds
    int webclientHttpPort;
    int webclientHttpsPort;
    nox::Str m_strProductType;
    nox::Str m_strProxy;            // lower-cased
    // Limits for untrusted networks (LoadGuardConf).
    int m_nFilterMaxHosts;          // hosts kept by the duplicate filter, at most
    int m_nQueueMaxRequests;        // requests waiting for a worker, at most
    int m_nReplyRateLimit;          // replies per second over all sockets; 0: no limit
    int m_nAnswerOnLinkOnly;        // 1: drop requests from outside the adapters' subnets
    int m_nLogFolderMaxMB;          // the log folder's size cap; 0: none
    // The adapter table (LoadAdapterConf).
    int m_nAdapterRefresh;          // 1: follow the host's adapters; 0: read them once at start
    nox::Str m_strAdapterInclude;   // name patterns, blank-separated; empty: every adapter
    nox::Str m_strAdapterExclude;   // name patterns; empty: none
    ConfigNotes* m_pNotes = nullptr;   // set by check-config only

private:
    // Logs an error line of the load (szFmt with its arguments, at nLine)
    // and notes it with what the daemon does about it.
    void Failed(const char* szPath, const char* szWhat, int nLine, const char* szFmt, ...)
        NOX_PRINTF(5, 6);
    void Note(const char* szPath, const std::string& strWhat) const;
    void LoadOptional(const std::vector<OptionalSetting>& vecSetting, const char* szFn);
    void SetDefaultListenAddrs();
    int LoadWebPorts();             // nginx or Tomcat, by product type and proxy
    int LoadNginxPorts();
    int LoadTomcatPorts();
};

// Owns the network engine; starts the engine, the configuration and the
// listener, and stops them again. Main thread only.
class CServer {
public:
    CServer();
    // Takes ownership of pEngine (tests pass an engine of their own).
    explicit CServer(nox::NetEngine* pEngine);
    ~CServer();
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // 0 when the engine started and at least one listen socket is bound, else -1.
    int StartServer();
    // Closes the sockets, stops the handler and the engine, and waits for the
    // workers, so nothing touches the engine once this returns.
    void StopServer();

    nox::NetEngine* m_pEngine;
    CCUListen* m_pListen;
};
