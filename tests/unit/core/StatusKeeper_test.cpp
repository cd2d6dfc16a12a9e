// The status file kept current: a state change and a command are written at
// once, changed figures at most every 5 s, and nothing when nothing changed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ScratchDir.h"
#include "Service/StatusKeeper.h"
#include "nox/testing/ScopedClock.h"

namespace {

class StatusKeeperTest : public ::testing::Test {
protected:
    StatusKeeper MakeKeeper()
    {
        DaemonStatus fixed;
        fixed.nPid = 42;
        return StatusKeeper(m_strPath, fixed, [this](DaemonStatus& status, bool bFigures) {
            status.strLogLevel = m_strLevel;
            status.vecEndpoint = {{"0.0.0.0", 37810, m_nEndpointResult, m_strNotJoined}};
            status.vecAdapter = {"eth0 00:11:22:33:44:55 10.0.0.5 255.255.255.0 10.0.0.1"};
            if (bFigures)
                status.vecCounter = {{"replies_sent", m_nReplies}};
            m_nFigureLooks += bFigures ? 1 : 0;
        });
    }
    DaemonStatus Read()
    {
        DaemonStatus status;
        std::string strErr;
        EXPECT_EQ(0, ReadStatusFile(m_strPath, status, strErr)) << strErr;
        return status;
    }

    velmora_test::ScratchDir m_dir;
    const std::string m_strPath = (m_dir.root / "Velmora.status").string();
    nox::testing::ScopedClock m_clock;
    std::string m_strLevel = "info";
    int m_nEndpointResult = 0;
    std::string m_strNotJoined;
    uint64_t m_nReplies = 0;
    int m_nFigureLooks = 0;
};

TEST_F(StatusKeeperTest, WritesChangesAtOnceAndFiguresAtMostEveryFiveSeconds)
{
    StatusKeeper keeper = MakeKeeper();
    ASSERT_TRUE(keeper.WriteNow("running", "start"));
    EXPECT_EQ("start", Read().strEvent);
    EXPECT_EQ(1, Read().nSeq);

    const struct {
        uint32_t nAdvanceMs;
        const char* szChange;   // "" none, "figures", "level", "endpoint"
        const char* szWritten;  // the event written, "" none
    } kSteps[] = {
        {1000, "", ""},
        {1000, "figures", ""},        // 2 s after the last write
        {2999, "", ""},
        {1, "", "figures"},           // 5 s after it
        {1000, "level", "change"},    // a state change does not wait
        {1000, "endpoint", "change"},
        {1000, "figures", ""},
        {5000, "", "figures"},
        {5000, "", ""},               // unchanged: looked at, not written
    };
    int nSeq = 1;
    for (const auto& step : kSteps) {
        m_clock.AdvanceMs(step.nAdvanceMs);
        const std::string strChange = step.szChange;
        m_nReplies += strChange == "figures" ? 1 : 0;
        m_strLevel = strChange == "level" ? (m_strLevel == "info" ? "debug" : "info") : m_strLevel;
        m_nEndpointResult -= strChange == "endpoint" ? 98 : 0;
        const bool bWrite = step.szWritten[0] != '\0';
        EXPECT_EQ(bWrite, keeper.Look()) << strChange;
        nSeq += bWrite ? 1 : 0;
        const DaemonStatus status = Read();
        EXPECT_EQ(nSeq, status.nSeq);
        if (bWrite) {
            EXPECT_EQ(step.szWritten, status.strEvent);
            EXPECT_EQ(m_nReplies, status.vecCounter.at(0).second);
            EXPECT_EQ(m_strLevel, status.strLogLevel);
        }
    }
    // Idle: the filter and counters are looked at once per 5 s, not per look.
    m_nFigureLooks = 0;
    for (int i = 0; i < 10; ++i) {
        m_clock.AdvanceMs(1000);
        EXPECT_FALSE(keeper.Look());
    }
    EXPECT_EQ(2, m_nFigureLooks);
    EXPECT_TRUE(keeper.WriteNow("stopped", "stop"));
    EXPECT_EQ("stopped", Read().strState);
}

// Each command is found by its own offset, results with blanks included; the
// last eight are kept.
// A state whose write failed is written at the next look, with nothing
// changed since; a group not joined everywhere is kept and degrades the state.
TEST_F(StatusKeeperTest, AFailedWriteIsDoneAgainAtTheNextLook)
{
    StatusKeeper keeper = MakeKeeper();
    ASSERT_TRUE(keeper.WriteNow("running", "start"));
    std::filesystem::create_directory(m_strPath + ".tmp");   // the temporary file cannot be made
    m_strNotJoined = "veth9 (ENOBUFS)";
    EXPECT_FALSE(keeper.Look() || keeper.Look() || Read().Degraded());
    std::filesystem::remove(m_strPath + ".tmp");
    EXPECT_TRUE(keeper.Look());
    EXPECT_EQ(m_strNotJoined, Read().vecEndpoint.at(0).strNotJoined);
    EXPECT_TRUE(Read().Degraded());
    EXPECT_FALSE(keeper.Look());
    m_strNotJoined.clear();
    EXPECT_TRUE(keeper.Look() && !Read().Degraded());
}

TEST_F(StatusKeeperTest, CommandsAreWrittenAtOnceAndFoundByTheirOffset)
{
    StatusKeeper keeper = MakeKeeper();
    ASSERT_TRUE(keeper.WriteNow("running", "start"));
    keeper.AddCommand(1, 'D', "debug");
    EXPECT_TRUE(keeper.Look());
    for (long long nPos = 2; nPos <= 9; ++nPos)
        keeper.AddCommand(nPos, 'd', "log/Velmora 42-" + std::to_string(nPos) + ".dmp");
    EXPECT_TRUE(keeper.Look());
    const DaemonStatus status = Read();
    ASSERT_EQ(DaemonStatus::kKeptCommands, status.vecCommand.size());
    EXPECT_EQ(nullptr, status.FindCommand(1));
    const DaemonStatus::Command* pCmd = status.FindCommand(5);
    ASSERT_NE(nullptr, pCmd);
    EXPECT_EQ('d', pCmd->ch);
    EXPECT_EQ("log/Velmora 42-5.dmp", pCmd->strResult);
    EXPECT_FALSE(keeper.Look());
}

}  // namespace
