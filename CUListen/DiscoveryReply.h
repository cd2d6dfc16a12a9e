// Pure builders of the two discovery replies: an adapter row and the reply
// settings in, reply bytes out. No log line, no lock, no engine; the handler
// sends what they return, and tests check their bytes directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "CUListen/CUHandle.h"
#include "CUListen/Protocol.h"

class CServerConfig;

namespace velmora {

// What a reply says about the host besides the adapter row.
struct ReplySettings {
    std::string strSerial;        // JSON "SerialNo"
    std::string strVersion;       // JSON "Version"
    int nHttpPort = 0;            // JSON "HttpPort", binary offset 94
    int nPort = 0;                // JSON "Port", binary offset 98
    std::string strMachineName;   // JSON "MachineName" and "DeviceClass"; the binary name
    std::string strDeviceType;    // JSON "DeviceType"
};

// The product type counts as set when it is not the literal "Null"; then the
// web front end's ports and the product type are used. Otherwise HTTP port 80,
// the version name, and the port of listen entry 1 (JSON) or entry 0 (binary).
ReplySettings JsonSettings(const CServerConfig& config, const char* szSerial);
ReplySettings BinarySettings(const CServerConfig& config);

// The "client.notifyDevInfo" object for one row, as jsoncpp's styled text
// (final newline included).
std::string BuildJsonText(const AdapterEntry& row, const ReplySettings& settings);

// The JSON reply datagram: the 32 header bytes of the request with the text
// length L written little-endian at 16/17 and 24/25, then the text; exactly
// 32 + L bytes, into strOut. pHeader must point at kJsonHeaderLen readable
// bytes.
void BuildJsonReply(const char* pHeader, const std::string& strText, std::string& strOut);

// The binary reply record for one row: a zeroed record of kBinRecordMax bytes
// laid out as below; returns the length to send, kBinNameOffset + N. byEcho1
// and byEcho16 are request bytes 1 and 16.
//   0  0xB3             1  byEcho1          2  (17 + N) & 0xFF    4  0x58
//   16 byEcho16         56 host octets      60 mask octets        64 gateway octets
//   94 HTTP port LE     98 port LE          120 17 MAC bytes      137 N name bytes
// A name longer than kBinNameMax (375) bytes is cut to 375, so the record
// never outgrows its 512 bytes.
size_t BuildBinaryReply(const AdapterEntry& row, const ReplySettings& settings,
                        uint8_t byEcho1, uint8_t byEcho16, uint8_t (&abRecord)[kBinRecordMax]);

// Dotted address text to four octets (low 8 bits of each piece, converted
// like atoi). Pieces beyond the fourth are ignored; missing ones are 0, so an
// empty text gives 0.0.0.0.
void AddressToOctets(const char* szAddr, uint8_t (&abOctets)[4]);

}  // namespace velmora
