// Common set-up for the listener and handler tests: the default
// configuration with no workers unless a test asks, a fake engine, fake
// host (one adapter, eth0 10.0.0.5), fake clock and a log capture at debug
// level.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "CUListen/CUHandle.h"
#include "CUListen/Protocol.h"
#include "ConfigFixture.h"
#include "FakeNetEngine.h"
#include "Requests.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/testing/LogCapture.h"
#include "nox/testing/ScopedClock.h"
#include "nox/testing/ScopedHost.h"

class HandlerFixture : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kWait{10000};

    void SetUp() override
    {
        CServerConfig* pConfig = CServerConfig::instance();
        *pConfig = CServerConfig();
        pConfig->m_vecListenAddr = DefaultListenAddrs();
        pConfig->m_nThreadNum = 0;
        nox::PrintLog::instance().SetStderr(false);
        nox::PrintLog::instance().SetLevel(nox::kLogDebug);
        m_host.m_vecAdapter = {nox::testing::ScopedHost::MakeAdapter(
            "eth0", "00:11:22:33:44:55", "10.0.0.5", "255.255.255.0", "10.0.0.1")};
        m_clock.SetMs(100 * 1000);
    }

    void TearDown() override
    {
        if (m_pHandler) {
            m_pHandler->StopHandler();
            m_pHandler->JoinWorkers();
        }
        nox::PrintLog::instance().SetLevel(nox::kLogInfo);
    }

    // A second adapter, eth1 192.168.1.10.
    void AddSecondAdapter()
    {
        m_host.m_vecAdapter.push_back(nox::testing::ScopedHost::MakeAdapter(
            "eth1", "66:77:88:99:aa:bb", "192.168.1.10", "255.255.0.0", "0.0.0.0"));
    }

    // A started handler with no listener (tests that need one make a CCUListen).
    CCUHandler& StartHandler()
    {
        m_pHandler = new CCUHandler(&m_engine, nullptr);
        EXPECT_EQ(0, m_pHandler->StartHandler());
        m_log.Clear();
        return *m_pHandler;
    }

    void Deliver(const std::string& strData, const char* szHost = "10.0.0.9", int nPort = 5000,
                 nox::SOCKID sock = 7)
    {
        m_pHandler->OnData(sock, strData.data(), static_cast<int>(strData.size()), szHost, nPort);
    }

    void RunWorkerUntilIdle()
    {
        for (int i = 0; i < 10000 && QueueSize() > 0; ++i)
            m_pHandler->HandleRequest();
    }

    // One request from 10.0.0.9:5000 on socket 7, past any filter window,
    // through intake and the worker step; the replies sent.
    std::vector<FakeNetEngine::Sent> Answer(const std::string& strReq)
    {
        m_clock.AdvanceMs(10000);
        Deliver(strReq);
        RunWorkerUntilIdle();
        return m_engine.TakeSent();
    }

    size_t QueueSize()
    {
        nox::MutexGuard guard(m_pHandler->m_dataMutex);
        return m_pHandler->m_waitHandleData.size();
    }

    // Queues strData through PushRequest and takes it back as a worker would.
    nox::Ref<reqBuffer> MakeReq(const std::string& strData)
    {
        m_pHandler->PushRequest(7, strData.data(), static_cast<int>(strData.size()), "10.0.0.9",
                                5000);
        nox::MutexGuard guard(m_pHandler->m_dataMutex);
        nox::Ref<reqBuffer> req = m_pHandler->m_waitHandleData.back();
        m_pHandler->m_waitHandleData.pop_back();
        return req;
    }

    std::vector<Logged> LinesOf(const char* szFunc) const { return ::LinesOf(m_log, szFunc); }

    static int Byte(const std::string& strData, size_t nOffset)
    {
        return static_cast<uint8_t>(strData.at(nOffset));
    }

    FakeNetEngine m_engine;
    nox::testing::ScopedHost m_host;
    nox::testing::ScopedClock m_clock;
    nox::testing::LogCapture m_log;
    nox::Ref<CCUHandler> m_pHandler;
};
