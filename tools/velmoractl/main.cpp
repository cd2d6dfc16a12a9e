// velmoractl: status, control commands and configuration check of a Velmora
// daemon, through its working folder.
#include <cstdio>
#include <filesystem>
#include <string>

#include <CLI/CLI.hpp>

#include "Control.h"
#include "nox/PrintLog.h"

using namespace velmora::ctl;

namespace {

const char kFooter[] =
    "FOLDER is by default the installed one, " VELMORA_WORK_DIR ".\n"
    "Exit status: 0 done, 1 failed, 2 usage error, 3 no Velmora running there;\n"
    "status: 4 running but degraded (starting, an endpoint not open, or no adapter)\n"
    "or cannot tell.\n"
    "Commands go through the folder's control file (appended, never overwritten);\n"
    "the daemon reads one command per second.";

// The first word of the command line that names no command: "frob" in
// "velmoractl -C dir frob", else "". Option values are skipped.
std::string UnknownCommand(const CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (strArg == "-C" || strArg == "--folder" || strArg == "-t" || strArg == "--timeout") {
            ++i;
            continue;
        }
        if (strArg.empty() || strArg[0] == '-')
            continue;
        for (const CLI::App* pCommand : app.get_subcommands({}))
            if (pCommand->check_name(strArg))
                return std::string();
        return strArg;
    }
    return std::string();
}

}  // namespace

int main(int argc, char** argv)
{
    nox::PrintLog::instance().SetStderr(false);   // the loader's lines are reported, not printed

    CLI::App app{"Talks to the Velmora discovery responder running in a working folder.",
                 "velmoractl"};
    app.footer(kFooter);
    app.require_subcommand(1);
    std::string strFolder = VELMORA_WORK_DIR;
    app.add_option("-C,--folder", strFolder, "the daemon's working folder")
        ->type_name("FOLDER");
    app.set_version_flag("-V,--version", "velmoractl " VELMORA_VERSION);
    // Global options go before or after the command: a command's unknown
    // options fall through to here.
    app.fallthrough();
    double dTimeout = 0;
    app.add_option("-t,--timeout", dTimeout,
                   "how long to wait for the daemon (default 10, stop 15)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 3600.0).description(""));

    Wait wait;
    bool bJson = false;
    CLI::App* pStatus = app.add_subcommand(
        "status", "is it running: pid, endpoints, adapters, queue, counters");
    pStatus->add_flag("-n,--no-refresh", "no effect: the daemon keeps its status current")
        ->group("");
    pStatus->add_flag("-j,--json", bJson, "one JSON object, for scripts");

    std::string strTextfileDir;
    CLI::App* pMetrics = app.add_subcommand(
        "metrics", "its counters and gauges in Prometheus' text format");
    pMetrics->add_option("--textfile", strTextfileDir,
                         "write DIR/velmora.prom for node_exporter's textfile collector")
        ->type_name("DIR");

    Wait stopWait;
    stopWait.nTimeoutMs = 15000;
    CLI::App* pStop = app.add_subcommand("stop", "stop it (q) and wait until it has ended");

    std::string strLevel;
    CLI::App* pLevel = app.add_subcommand("log-level", "switch its log level (D or I)");
    pLevel->add_option("LEVEL", strLevel, "debug or info")
        ->required()
        ->check(CLI::IsMember({"debug", "info"}));

    CLI::App* pDump = app.add_subcommand("dump", "write a dump of the running process (d)");

    std::string strCheckFolder;
    CLI::App* pCheck = app.add_subcommand(
        "check-config", "check Velmora.xml as the daemon reads it");
    pCheck->add_option("FOLDER", strCheckFolder, "the folder to check (default: -C)");

    std::string strEnvFile;
    CLI::App* pSerial = app.add_subcommand(
        "serial", "print the serial number the daemon would report");
    pSerial->add_option("--env-file", strEnvFile,
                        "write it to FILE for the daemon's start (as root)")
        ->type_name("FILE");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {   // also --help and --version, exit 0
        const std::string strUnknown = UnknownCommand(app, argc, argv);
        if (e.get_exit_code() != 0 && !strUnknown.empty()) {
            std::fprintf(stderr, "velmoractl: unknown command %s\nRun with --help for more "
                                 "information.\n", strUnknown.c_str());
            return kExitUsage;
        }
        return app.exit(e) == 0 ? kExitDone : kExitUsage;
    }

    if (dTimeout > 0)
        wait.nTimeoutMs = stopWait.nTimeoutMs = static_cast<unsigned>(dTimeout * 1000.0);
    if (pCheck->parsed() && !strCheckFolder.empty())
        strFolder = strCheckFolder;
    std::error_code ec;
    std::filesystem::path folder =
        std::filesystem::absolute(std::filesystem::u8path(strFolder), ec).lexically_normal();
    if (!folder.has_filename() && folder != folder.root_path())
        folder = folder.parent_path();    // "dir/" names the folder "dir"
    strFolder = folder.u8string();
    if (pStatus->parsed())
        return Status(strFolder, bJson);
    if (pMetrics->parsed())
        return Metrics(strFolder, strTextfileDir, VELMORA_VERSION);
    if (pStop->parsed())
        return Stop(strFolder, stopWait);
    if (pLevel->parsed())
        return LogLevel(strFolder, strLevel == "debug", wait);
    if (pDump->parsed())
        return Dump(strFolder, wait);
    if (pCheck->parsed())
        return CheckConfig(strFolder);
    return Serial(strEnvFile);
}
