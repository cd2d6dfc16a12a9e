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

// A field the reply did not carry is null, as an unknown port is.
Json::Value TextValue(const std::string& strText)
{
    return strText.empty() ? Json::Value() : Json::Value(strText);
}

typedef std::vector<std::string> Line;
enum { kColSerial = 8 };
// Columns in the order a narrow terminal loses them: INTERFACE, PORT, FORMS,
// TYPE, GATEWAY, MASK, VERSION, RESPONDER, NAME, MAC, SERIAL. ADDRESS, HTTP
// and HTTPS always stay.
const size_t kDropOrder[] = {13, 11, 12, 6, 3, 2, 7, 0, 5, 4, kColSerial};

Line RowLine(const ResponderRow& row)
{
    const AdapterReply& r = row.info;
    return {Printable(r.strResponder), Printable(r.strAddr), Printable(r.strMask),
            Printable(r.strGateway), Printable(r.strMac), Printable(r.strMachineName),
            Printable(r.strDeviceType), Printable(r.strVersion), Printable(r.strSerial),
            PortText(r.nHttpPort), PortText(r.nHttpsPort), PortText(r.nPort), row.FormsText(),
            Printable(r.strIface)};
}

// Terminal columns the text takes: UTF-8 continuation bytes take none.
size_t TextWidth(const std::string& strText)
{
    size_t n = 0;
    for (char c : strText)
        n += (static_cast<unsigned char>(c) & 0xC0) == 0x80 ? 0 : 1;
    return n;
}

std::vector<size_t> Widths(const std::vector<Line>& vecLine)
{
    std::vector<size_t> vecWidth(vecLine[0].size(), 0);
    for (const Line& line : vecLine) {
        for (size_t i = 0; i < line.size(); ++i)
            vecWidth[i] = std::max(vecWidth[i], TextWidth(line[i]));
    }
    return vecWidth;
}

size_t TableWidth(const std::vector<Line>& vecLine, const std::vector<bool>& vecShown)
{
    const std::vector<size_t> vecWidth = Widths(vecLine);
    size_t nTotal = 0;
    for (size_t i = 0; i < vecWidth.size(); ++i)
        nTotal += vecShown[i] ? vecWidth[i] + (nTotal == 0 ? 0 : 2) : 0;
    return nTotal;
}

// Shortens the serial numbers to 8 characters and a mark ("…", or "..."
// where the terminal takes ASCII only), then drops columns, until the table
// fits nColumns.
void FitWidth(std::vector<Line>& vecLine, std::vector<bool>& vecShown, size_t nColumns, bool bUtf8)
{
    if (TableWidth(vecLine, vecShown) <= nColumns)
        return;
    const char* szMark = bUtf8 ? "\xE2\x80\xA6" : "...";
    for (size_t i = 1; i < vecLine.size(); ++i) {
        std::string& strSerial = vecLine[i][kColSerial];
        if (strSerial.size() > 9)
            strSerial = strSerial.substr(0, 8) + szMark;
    }
    for (size_t nCol : kDropOrder) {
        if (TableWidth(vecLine, vecShown) <= nColumns)
            return;
        vecShown[nCol] = false;
    }
}

}  // namespace

std::string FormatTable(const std::vector<ResponderRow>& vecRow, int nColumns, bool bUtf8)
{
    std::vector<Line> vecLine;
    vecLine.push_back({"RESPONDER", "ADDRESS", "MASK", "GATEWAY", "MAC", "NAME", "TYPE",
                       "VERSION", "SERIAL", "HTTP", "HTTPS", "PORT", "FORMS", "INTERFACE"});
    for (const ResponderRow& row : vecRow)
        vecLine.push_back(RowLine(row));
    std::vector<bool> vecShown(vecLine[0].size(), true);
    if (nColumns > 0)
        FitWidth(vecLine, vecShown, static_cast<size_t>(nColumns), bUtf8);
    const std::vector<size_t> vecWidth = Widths(vecLine);
    std::string strOut;
    for (const Line& line : vecLine) {
        std::string strLine;
        for (size_t i = 0; i < line.size(); ++i) {
            if (!vecShown[i])
                continue;
            if (!strLine.empty())
                strLine += "  ";
            strLine += line[i] + std::string(vecWidth[i] - TextWidth(line[i]), ' ');
        }
        while (!strLine.empty() && strLine.back() == ' ')
            strLine.pop_back();
        strOut += strLine + "\n";
    }
    return strOut;
}

std::string FormatWatchLine(char cEvent, const ResponderRow& row)
{
    std::string strOut(1, cEvent);
    for (const std::string& strField : RowLine(row))
        strOut += "  " + strField;
    return strOut + "\n";
}

std::string FormatJsonLine(const ResponderRow& row, char cEvent)
{
    const AdapterReply& r = row.info;
    Json::Value obj(Json::objectValue);
    obj["responder"] = TextValue(r.strResponder);
    obj["address"] = TextValue(r.strAddr);
    obj["mask"] = TextValue(r.strMask);
    obj["gateway"] = TextValue(r.strGateway);
    obj["mac"] = TextValue(r.strMac);
    obj["machineName"] = TextValue(r.strMachineName);
    obj["deviceClass"] = TextValue(r.strDeviceClass);
    obj["deviceType"] = TextValue(r.strDeviceType);
    obj["version"] = TextValue(r.strVersion);
    obj["serial"] = TextValue(r.strSerial);
    obj["httpPort"] = PortValue(r.nHttpPort);
    obj["httpsPort"] = PortValue(r.nHttpsPort);
    obj["port"] = PortValue(r.nPort);
    Json::Value forms(Json::arrayValue);
    if (row.nForms & kFormJson)
        forms.append("json");
    if (row.nForms & kFormBinary)
        forms.append("binary");
    obj["forms"] = forms;
    obj["interface"] = TextValue(r.strIface);
    if (cEvent != 0)
        obj["event"] = std::string(1, cEvent);

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, obj) + "\n";
}

}  // namespace search
}  // namespace velmora
