// The Windows runtime services: the log folder and line format, and the
// minidumps written on request and by the crash filter.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>

#include "ScratchDir.h"
#include "nox/BaseLib.h"
#include "nox/ExceptionHandler.h"
#include "nox/PrintLog.h"

namespace {

using velmora_test::ReadFile;

TEST(WinRuntimeTest, LogFolderIsCreatedAndLinesCarryTheThreadId)
{
    velmora_test::ScratchDir dir;
    const std::string strBase = (dir.root / "a" / "log").generic_string() + "/Velmora-7";
    ASSERT_EQ(0, nox::BaseLib::Init(strBase.c_str()));
    NOX_LOG("test/Runtime", "Fn", nox::kLogInfo, "hello %d", 5);
    nox::BaseLib::Uninit();
    const std::string strLine = ReadFile(strBase + ".log");
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} INFO \[)" +
                          std::to_string(::GetCurrentThreadId()) +
                          R"(\] test/Runtime:\d+ Fn: hello 5\n)");
    EXPECT_TRUE(std::regex_match(strLine, line)) << strLine;
}

TEST(WinRuntimeTest, RequestAndCrashWriteMinidumpsIntoTheLogFolder)
{
    velmora_test::ScratchDir dir;
    const std::string strFolder = (dir.root / "log").generic_string();
    ASSERT_EQ(0, nox::BaseLib::Init((strFolder + "/Velmora-9").c_str()));
    ASSERT_EQ(0, nox::ExceptionHandler::StartMonitor("nox_tests"));
    const std::regex name(std::regex_replace(strFolder, std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                             R"(\$&)") +
                          "/nox_tests-" + std::to_string(::GetCurrentProcessId()) +
                          R"(-\d{8}-\d{6}(-\d+)?\.dmp)");

    ASSERT_EQ(0, nox::ExceptionHandler::do_minidump(nullptr));
    const std::string strRequested = nox::ExceptionHandler::LastDumpPath();
    EXPECT_TRUE(std::regex_match(strRequested, name)) << strRequested;
    EXPECT_EQ("MDMP", ReadFile(strRequested).substr(0, 4));

    // The installed filter, called as the system calls it for a crash.
    const LPTOP_LEVEL_EXCEPTION_FILTER pFilter = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(pFilter);
    ASSERT_NE(nullptr, pFilter);
    CONTEXT context{};
    ::RtlCaptureContext(&context);
    EXCEPTION_RECORD record{};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
    EXCEPTION_POINTERS info{&record, &context};
    EXPECT_EQ(EXCEPTION_CONTINUE_SEARCH, pFilter(&info)) << "the process ends as it would have";
    const std::string strCrash = nox::ExceptionHandler::LastDumpPath();
    EXPECT_NE(strRequested, strCrash);
    EXPECT_TRUE(std::regex_match(strCrash, name)) << strCrash;
    EXPECT_EQ("MDMP", ReadFile(strCrash).substr(0, 4));
    nox::BaseLib::Uninit();
}

}  // namespace
