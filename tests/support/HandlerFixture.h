// Common set-up for the listener and handler tests: a known configuration
// (nine default endpoints, no workers unless a test asks), a fake engine,
// fake host, fake clock and a log capture at debug level.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "CUListen/CUHandle.h"
#include "CUListen/Protocol.h"
#include "FakeNetEngine.h"
#include "Requests.h"
#include "Service/Service.h"
#include "nox/PrintLog.h"
#include "nox/testing/LogCapture.h"
#include "nox/testing/ScopedClock.h"
#include "nox/testing/ScopedHost.h"

inline std::vector<ListenAddr> DefaultListenAddrs()
{
    const char* const aszHost[] = {"0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0",
                                   "0.0.0.0", velmora::kMulticastGroup, velmora::kMulticastGroup,
                                   velmora::kMulticastGroup};
    const int anPort[] = {37810, 47810, 57810, 5050, 15050, 25050, 37810, 47810, 57810};
    std::vector<ListenAddr> vecOut(9);
    for (size_t i = 0; i < vecOut.size(); ++i) {
        vecOut[i].m_strHost = aszHost[i];
        vecOut[i].m_nPort = anPort[i];
    }
    return vecOut;
}

struct Logged {
    int nLevel;
    std::string strText;
    bool operator==(const Logged& other) const
    {
        return nLevel == other.nLevel && strText == other.strText;
    }
};

inline std::ostream& operator<<(std::ostream& os, const Logged& line)
{
    return os << line.nLevel << " \"" << line.strText << "\"";
}

class HandlerFixture : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kWait{10000};
    static constexpr int kFilterInterval = 2;

    void SetUp() override
    {
        CServerConfig* pConfig = CServerConfig::instance();
        pConfig->m_vecListenAddr = DefaultListenAddrs();
        pConfig->m_strVersionName = "Server";
        pConfig->m_strVersionNum = "3.0";
        pConfig->m_nThreadNum = 0;
        pConfig->m_nFilterInterval = kFilterInterval;
        pConfig->webclientHttpPort = 80;
        pConfig->webclientHttpsPort = 443;
        pConfig->m_strProductType = "Null";
        pConfig->m_strProxy = "Null";
        nox::PrintLog::instance().SetStderr(false);
        nox::PrintLog::instance().SetLevel(nox::kLogDebug);
        m_host.m_vecAdapter = {
            nox::testing::ScopedHost::MakeAdapter("eth0", "00:11:22:33:44:55", "10.0.0.5",
                                                  "255.255.255.0", "10.0.0.1")};
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

    size_t QueueSize()
    {
        nox::MutexGuard guard(m_pHandler->m_dataMutex);
        return m_pHandler->m_waitHandleData.size();
    }

    // Queues strData through PushRequest and takes it back as a worker would.
    nox::Ref<reqBuffer> MakeReq(const std::string& strData, const char* szHost = "10.0.0.9",
                                int nPort = 5000)
    {
        m_pHandler->PushRequest(7, strData.data(), static_cast<int>(strData.size()), szHost,
                                nPort);
        nox::MutexGuard guard(m_pHandler->m_dataMutex);
        nox::Ref<reqBuffer> req = m_pHandler->m_waitHandleData.back();
        m_pHandler->m_waitHandleData.pop_back();
        return req;
    }

    std::vector<Logged> LinesOf(const char* szFunc) const
    {
        std::vector<Logged> vecOut;
        for (const auto& line : m_log.Lines()) {
            if (line.strFunc == szFunc)
                vecOut.push_back({line.nLevel, line.strText});
        }
        return vecOut;
    }

    FakeNetEngine m_engine;
    nox::testing::ScopedHost m_host;
    nox::testing::ScopedClock m_clock;
    nox::testing::LogCapture m_log;
    nox::Ref<CCUHandler> m_pHandler;
};
