// The web front end's HTTP and HTTPS ports: the last stage of
// CServerConfig::LoadServerConf.
#include <exception>
#include <fstream>
#include <string>

#include <pugixml.hpp>

#include "Service/Service.h"
#include "nox/PrintLog.h"

namespace {

const char kSrc[] = "Service/Service";
const char kFn[] = "CServerConfig::LoadServerConf";
const char kKeepsPorts[] = "the web ports stay as they were (80 and 443 unless read before)";

}  // namespace

int CServerConfig::LoadWebPorts()
{
    if (m_strProductType == "TRN V8" || m_strProxy == "nginx")
        return LoadNginxPorts();
    return LoadTomcatPorts();
}

// Lines holding "listen" give a port, the HTTPS one when "ssl" is anywhere
// on the line; the last of each kind wins. 0 once read to its end, also
// when an exception ended the reading.
int CServerConfig::LoadNginxPorts()
{
    try {
        const std::string strPath = "../nginx/conf/port.conf";
        std::ifstream file(strPath);
        if (!file.good()) {
            Failed("web", kKeepsPorts, __LINE__, "Open nginx Conf %s failed.", strPath.c_str());
            return kErrWebLoadFile;
        }
        std::string strLine;
        while (std::getline(file, strLine)) {
            NOX_LOG(kSrc, kFn, nox::kLogDebug, "%s", strLine.c_str());
            const std::string::size_type nPos = strLine.find("listen");
            if (nPos == std::string::npos)
                continue;
            const std::string strRest = strLine.substr(nPos + 6);
            const int nPort = nox::Str(strRest.c_str()).asInt();
            if (nPort == 0) {
                Failed("web", "the line is skipped", __LINE__, "nginx port parse failed [%s]",
                       strRest.c_str());
                continue;
            }
            if (strLine.find("ssl") != std::string::npos) {
                webclientHttpsPort = nPort;
                NOX_LOG(kSrc, kFn, nox::kLogInfo, "nginx port load webclientHttpsPort[%d]",
                        webclientHttpsPort);
            } else {
                webclientHttpPort = nPort;
                NOX_LOG(kSrc, kFn, nox::kLogInfo, "nginx port load webclientHttpPort[%d]",
                        webclientHttpPort);
            }
        }
        file.close();
    } catch (const std::exception& e) {
        Failed("web", "reading stopped there", __LINE__, "std::exception what[%s]", e.what());
    } catch (...) {
        Failed("web", "reading stopped there", __LINE__, "unknown throw");
    }
    return 0;
}

// Connectors under the first Service: without "SSLEnabled" HTTP, with it
// true HTTPS, with it false an error; the last of each kind gives the port.
int CServerConfig::LoadTomcatPorts()
{
    pugi::xml_document doc;
    if (!doc.load_file("../WEBCLIENT/webclient/apache-tomcat/conf/server.xml")) {
        Failed("web", kKeepsPorts, __LINE__, "Webclient Xml Load File Failed!");
        return kErrWebLoadFile;
    }
    pugi::xml_node server = doc.child("Server");
    if (server.empty()) {
        Failed("web", kKeepsPorts, __LINE__, "Webclient Xml Load Child Server Failed!");
        return kErrWebNoServer;
    }
    pugi::xml_node service = server.child("Service");
    if (service.empty()) {
        Failed("web", kKeepsPorts, __LINE__, "Webclient Xml Load Child Service Failed!");
        return kErrWebNoService;
    }
    pugi::xml_node connector = service.first_element_by_path("Connector", '/');
    if (connector.empty()) {
        Failed("web", kKeepsPorts, __LINE__, "Webclient Xml Load Child Connector Failed!");
        return kErrWebNoConnector;
    }

    pugi::xml_attribute httpPort;
    pugi::xml_attribute httpsPort;
    for (; connector; connector = connector.next_sibling("Connector")) {
        pugi::xml_attribute ssl = connector.attribute("SSLEnabled");
        if (ssl.empty()) {
            httpPort = connector.attribute("port");
            NOX_LOG(kSrc, kFn, nox::kLogInfo, "Webclient Xml Load Child Connector HTTP");
        } else if (ssl.as_bool()) {
            httpsPort = connector.attribute("port");
            NOX_LOG(kSrc, kFn, nox::kLogInfo,
                    "Webclient Xml Load Child Connector HTTPS SSLEnabled=\"true\"");
        } else {
            Failed("web", kKeepsPorts, __LINE__,
                   "Webclient Xml Load Child Connector HTTPS SSLEnabled=\"false\"");
            return kErrWebSslDisabled;
        }
    }

    if (httpPort.empty()) {
        Failed("web", kKeepsPorts, __LINE__,
               "Webclient Xml Load Child Connector Attribute HTTP Port Failed!");
        return kErrWebNoHttpPort;
    }
    webclientHttpPort = httpPort.as_int();
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Webclient Xml Load Child Connector HTTP Port[%d]",
            webclientHttpPort);
    if (httpsPort.empty()) {
        Failed("web", "the HTTPS port stays 443", __LINE__,
               "Webclient Xml Load Child Connector Attribute HTTPS Port Failed!");
        return kErrWebNoHttpsPort;
    }
    webclientHttpsPort = httpsPort.as_int();
    NOX_LOG(kSrc, kFn, nox::kLogInfo, "Webclient Xml Load Child Connector HTTPS Port[%d]",
            webclientHttpsPort);
    return 0;
}
