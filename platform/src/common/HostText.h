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

// The serial text without surrounding blanks; empty when nothing is left or
// it is one of the placeholders firmware fills unset fields with.
std::string UsableSerial(const std::string& strRaw);

}  // namespace os
}  // namespace nox
