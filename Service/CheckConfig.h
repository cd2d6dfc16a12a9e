// The configuration check of velmoractl: a working folder's Velmora.xml read
// by the daemon's own loader (LoadServerConf and LoadGuardConf, which note
// whatever makes the daemon log an error or keep a default), and the file
// looked over for what the loader does not judge (unknown and repeated
// elements, addresses and ports the listener cannot open), each finding with
// its line and column where the XML parser gives one.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ConfigFinding {
    std::string strFile;           // the file it is about
    int nLine = 0;                 // 0: no position
    int nCol = 0;
    bool bError = true;            // false: a warning
    std::string strText;
};

struct ConfigReport {
    std::string strFile;                    // the settings file as named
    std::string strRealFile;                // where it really is, when that differs
    bool bFolderRead = false;               // false: the folder could not be entered
    std::vector<ConfigFinding> vecFinding;
    int nLoadResult = 0;                    // CServerConfig::LoadServerConf's result
    std::string strFrontEnd;                // "nginx" or "Tomcat"; empty: not read
    std::string strWebFile;                 // its path as the daemon opens it
    std::string strWebPath;                 // the same, absolute
    bool bWebFileFound = false;
    int nHttpPort = 80;                     // the web ports the load stored
    int nHttpsPort = 443;
    bool bProductSet = false;               // replies then carry the web ports
    int nReplyPort = 0;                     // the JSON reply's "Port" otherwise
    std::vector<std::pair<std::string, int>> vecListen;   // endpoints as the daemon loads them
    std::string strLeftOut;                 // this host's adapters the name patterns leave out

    int Count(bool bError) const;
    // True when a finding is an error: the daemon would log one or keep a default.
    bool Fails() const { return Count(true) > 0; }
};

// Checks strFolder's Velmora.xml (and the web front end's file beside the
// folder) as the daemon started in strFolder would read them. The process's
// current folder is strFolder during the call and restored afterwards.
void CheckServerConf(const std::string& strFolder, ConfigReport& report);

// "FILE:LINE:COL: error: ..." lines, then the summary line
// "check-config: N errors, M warnings"; with bPriorities each line starts
// with its journal priority ("<3>" error, "<4>" warning, "<6>" a clean summary).
std::string FormatFindings(const ConfigReport& report, bool bPriorities);
// The files read and the web ports the replies would carry; empty when the
// folder could not be entered.
std::string FormatDetails(const ConfigReport& report);
