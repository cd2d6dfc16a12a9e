// Set-up for the listener and handler tests: the default endpoints, no
// workers unless a test asks, a fake engine, a fake host (one adapter, eth0
// 10.0.0.5), a fake clock and a log capture at debug level.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "CUListen/CUHandle.h"
#include "ConfigFixture.h"
#include "FakeNetEngine.h"
#include "Requests.h"
#include "nox/testing/ScopedClock.h"
#include "nox/testing/ScopedHost.h"

class HandlerFixture : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kWait{10000};

    void SetUp() override
    {
        CServerConfig& config = *CServerConfig::instance();
        config = CServerConfig();
        const int anPort[] = {37810, 47810, 57810, 5050, 15050, 25050, 37810, 47810, 57810};
        config.m_vecListenAddr.resize(9);
        for (size_t i = 0; i < 9; ++i) {
            config.m_vecListenAddr[i].m_strHost = i < 6 ? "0.0.0.0" : velmora::kMulticastGroup;
            config.m_vecListenAddr[i].m_nPort = anPort[i];
        }
        config.m_nThreadNum = 0;   // tests step HandleRequest themselves
        config.m_nAdapterRefresh = 0;   // tests call RefreshAdapters themselves
        nox::PrintLog::instance().SetStderr(false);
        nox::PrintLog::instance().SetLevel(nox::kLogDebug);
        m_host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter(
            "eth0", "00:11:22:33:44:55", "10.0.0.5", "255.255.255.0", "10.0.0.1")};
    }
    void TearDown() override
    {
        if (m_pHandler) {
            m_pHandler->StopHandler();
            m_pHandler->JoinWorkers();
        }
        nox::PrintLog::instance().SetLevel(nox::kLogInfo);
    }

    void StartHandler()   // without a listener
    {
        m_pHandler = new CCUHandler(&m_engine, nullptr);
        EXPECT_EQ(0, m_pHandler->StartHandler());
        m_log.Clear();
    }
    void Deliver(const std::string& strData, const char* szHost = "10.0.0.9", int nPort = 5000,
                 nox::SOCKID sock = 7)
    {
        m_pHandler->OnData(sock, strData.data(), static_cast<int>(strData.size()), szHost, nPort);
    }
    size_t QueueSize()
    {
        nox::MutexGuard guard(m_pHandler->m_dataMutex);
        return m_pHandler->m_waitHandleData.size();
    }
    // One request from 10.0.0.9:5000 on socket 7, past any filter window,
    // through intake and the worker step; the replies sent.
    std::vector<FakeNetEngine::Sent> Answer(const std::string& strReq)
    {
        m_clock.AdvanceMs(10000);
        Deliver(strReq);
        while (QueueSize() > 0)
            m_pHandler->HandleRequest();
        return m_engine.TakeSent();
    }
    // Queues strData from 10.0.0.9:5000 and takes it back as a worker would.
    nox::Ref<reqBuffer> MakeReq(const std::string& strData)
    {
        m_pHandler->PushRequest(7, strData.data(), static_cast<int>(strData.size()), "10.0.0.9", 5000);
        nox::MutexGuard guard(m_pHandler->m_dataMutex);
        nox::Ref<reqBuffer> req = m_pHandler->m_waitHandleData.back();
        m_pHandler->m_waitHandleData.pop_back();
        return req;
    }
    std::vector<std::string> LinesOf(const char* szFunc) const { return ::LinesOf(m_log, szFunc); }

    FakeNetEngine m_engine;
    nox::testing::ScopedHost m_host;
    nox::testing::ScopedClock m_clock{100 * 1000};
    nox::testing::LogCapture m_log;
    nox::Ref<CCUHandler> m_pHandler;
};
