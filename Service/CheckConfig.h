// The configuration check of velmoractl: a working folder's Velmora.xml read
// by the daemon's own loader, and the file looked over for what makes the
// daemon fall back to a default or ignore a setting, each with its line and
// column where the XML parser gives one.
#pragma once

#include <string>
#include <vector>

struct ConfigFinding {
    int nLine = 0;                 // 0: no position
    int nCol = 0;
    bool bError = true;            // false: a warning
    std::string strText;
};

struct ConfigReport {
    std::string strFile;                    // the settings file as named
    std::string strRealFile;                // where it really is, when that differs
    std::vector<ConfigFinding> vecFinding;
    std::vector<std::string> vecDaemonError;   // the error lines the daemon would log
    int nLoadResult = 0;                    // CServerConfig::LoadServerConf's result
    std::string strFrontEnd;                // "nginx" or "Tomcat"; empty: not read
    std::string strWebFile;                 // its path as the daemon opens it
    std::string strWebPath;                 // the same, absolute
    bool bWebFileFound = false;
    int nHttpPort = 80;                     // the web ports the load stored
    int nHttpsPort = 443;
    bool bProductSet = false;               // replies then carry the web ports
    int nReplyPort = 0;                     // the JSON reply's "Port" otherwise
    std::string strLeftOut;                 // this host's adapters the name patterns leave out

    int Count(bool bError) const;
    // True when the daemon would fall back to a default because of an error.
    bool Fails() const { return nLoadResult != 0 || Count(true) > 0; }
};

// Checks strFolder's Velmora.xml (and the web front end's file beside the
// folder) as the daemon started in strFolder would read them. The process's
// current folder is strFolder during the call and restored afterwards.
void CheckServerConf(const std::string& strFolder, ConfigReport& report);

// "FILE:LINE:COL: error: ..." lines, the daemon's error lines, the files read
// and the web ports the replies would carry, and a count.
std::string FormatReport(const ConfigReport& report);
