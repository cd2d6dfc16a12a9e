// Texts of the host queries that every OS half formats alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nox {
namespace os {

// "aa:bb:cc:dd:ee:ff" (lowercase) for a 6-byte hardware address; all zeros
// for any other length.
std::string MacText(const unsigned char* pAddr, size_t nLen);

// "a.b.c.d" of an IPv4 address in host byte order.
std::string DottedText(uint32_t nAddr);
// The same into szOut (at least kDottedSize bytes, NUL-terminated).
constexpr size_t kDottedSize = 16;
void DottedText(uint32_t nAddr, char* szOut);
// The address of "a.b.c.d" in host byte order, read as inet_pton reads it:
// exactly four decimal numbers of 0 to 255 without leading zeros. False for
// anything else (null included).
bool ParseDotted(const char* szText, uint32_t* pAddr);

// The application id from which a private serial is derived when the serial
// falls back to the machine id (Linux /etc/machine-id, Windows MachineGuid):
// the machine id is never sent, only HMAC-SHA256(key: the machine id's 16
// bytes, data: this id), first 16 bytes, made a version 4 UUID, as 32
// lowercase hex digits. The same machine gives the same serial across
// restarts and reinstalls; another application's id of the machine tells
// nothing about this one.
constexpr unsigned char kSerialAppId[16] = {0xd4, 0xbe, 0xbe, 0x44, 0x3a, 0x15, 0x4a, 0x08,
                                            0xa2, 0x6f, 0x02, 0x59, 0xaf, 0xee, 0x45, 0x86};

// The serial text without surrounding blanks; empty when nothing is left or
// it is one of the placeholders firmware fills unset fields with.
std::string UsableSerial(const std::string& strRaw);

}  // namespace os
}  // namespace nox
