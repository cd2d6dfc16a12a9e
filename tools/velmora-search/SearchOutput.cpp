#include "SearchOutput.h"

#include <algorithm>
#include <memory>
#include <sstream>

#include <json/json.h>

namespace velmora {
namespace search {

namespace {

std::string Printable(const std::string& strText)
{
    if (strText.empty())
        return "-";
    std::string strOut = strText;
    for (char& c : strOut) {
        unsigned char uc = static_cast<unsigned char>(c);
        if (uc < 0x20 || uc == 0x7F)
            c = '?';
    }
    return strOut;
}

std::string PortText(int nPort)
{
    return nPort < 0 ? "-" : std::to_string(nPort);
}

Json::Value PortValue(int nPort)
{
    return nPort < 0 ? Json::Value() : Json::Value(nPort);
}

}  // namespace

std::string FormatTable(const std::vector<ResponderRow>& vecRow)
{
    typedef std::vector<std::string> Line;
    std::vector<Line> vecLine;
    vecLine.push_back({"RESPONDER", "ADDRESS", "MASK", "GATEWAY", "MAC", "NAME", "TYPE",
                       "VERSION", "SERIAL", "HTTP", "PORT", "FORMS"});
    for (const ResponderRow& row : vecRow) {
        const AdapterReply& r = row.info;
        vecLine.push_back({Printable(r.strResponder), Printable(r.strAddr), Printable(r.strMask),
                           Printable(r.strGateway), Printable(r.strMac),
                           Printable(r.strMachineName), Printable(r.strDeviceType),
                           Printable(r.strVersion), Printable(r.strSerial),
                           PortText(r.nHttpPort), PortText(r.nPort), row.FormsText()});
    }
    std::vector<size_t> vecWidth(vecLine[0].size(), 0);
    for (const Line& line : vecLine) {
        for (size_t i = 0; i < line.size(); ++i)
            vecWidth[i] = std::max(vecWidth[i], line[i].size());
    }
    std::string strOut;
    for (const Line& line : vecLine) {
        std::string strLine;
        for (size_t i = 0; i < line.size(); ++i) {
            strLine += line[i];
            if (i + 1 < line.size())
                strLine += std::string(vecWidth[i] - line[i].size() + 2, ' ');
        }
        strOut += strLine + "\n";
    }
    return strOut;
}

std::string FormatJsonLine(const ResponderRow& row)
{
    const AdapterReply& r = row.info;
    Json::Value obj(Json::objectValue);
    obj["responder"] = r.strResponder;
    obj["address"] = r.strAddr;
    obj["mask"] = r.strMask;
    obj["gateway"] = r.strGateway;
    obj["mac"] = r.strMac;
    obj["machineName"] = r.strMachineName;
    obj["deviceClass"] = r.strDeviceClass;
    obj["deviceType"] = r.strDeviceType;
    obj["version"] = r.strVersion;
    obj["serial"] = r.strSerial;
    obj["httpPort"] = PortValue(r.nHttpPort);
    obj["port"] = PortValue(r.nPort);
    obj["forms"] = row.FormsText();

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, obj) + "\n";
}

}  // namespace search
}  // namespace velmora
