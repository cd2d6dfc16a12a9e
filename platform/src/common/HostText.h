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

// The serial text without surrounding blanks; empty when nothing is left or
// it is one of the placeholders firmware fills unset fields with.
std::string UsableSerial(const std::string& strRaw);

}  // namespace os
}  // namespace nox
