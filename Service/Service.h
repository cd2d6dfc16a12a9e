// The server object and the process-wide configuration.
#pragma once

#include <vector>

#include "nox/Mutex.h"
#include "nox/NetEngine.h"
#include "nox/Str.h"

class CCUListen;

// One UDP listen endpoint.
struct ListenAddr {
    int m_nPort = 0;
    nox::Str m_strHost;
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
    // The optional limits for untrusted networks, from the same file; run
    // after LoadServerConf. Each value used is logged; always 0.
    int LoadGuardConf();
    // The optional adapter settings (AdapterRefresh, AdapterInclude,
    // AdapterExclude), from the same file; run after LoadServerConf. Only the
    // elements present are logged; always 0.
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
    // The adapter table (LoadAdapterConf).
    int m_nAdapterRefresh;          // 1: follow the host's adapters; 0: read them once at start
    nox::Str m_strAdapterInclude;   // name patterns, blank-separated; empty: every adapter
    nox::Str m_strAdapterExclude;   // name patterns; empty: none

private:
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
