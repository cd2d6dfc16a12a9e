// A byte string that can always be read as a NUL-terminated C string.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "nox/Compat.h"

namespace nox {

class Str {
public:
    Str() = default;
    Str(const char* sz, int nLen = -1);            // nLen -1: up to the NUL; null: empty
    Str(const Str&) = default;
    Str& operator=(const Str&) = default;
    Str& operator=(const char* sz);

    const char* c_str() const { return m_str.c_str(); }
    int length() const { return static_cast<int>(m_str.size()); }
    bool empty() const { return m_str.empty(); }

    Str& assignfmt(const char* szFmt, ...) NOX_PRINTF(2, 3);
    Str& append(const char* sz, int nLen = -1);     // nLen -1: up to the NUL
    // Up to nLen bytes from nPos (nLen -1: to the end); a position past the
    // end gives an empty text.
    Str substr(int nPos, int nLen = -1) const;
    // The byte at nIndex; 0 for an index outside the text.
    char operator[](int nIndex) const;
    // Like C atoi: leading white space, an optional sign, then digits up to
    // the first other character; 0 when there are no digits. A value beyond
    // the int range saturates at INT_MIN or INT_MAX.
    int asInt() const;
    Str& tolower();                                 // ASCII letters, in place

    bool operator==(const char* sz) const;          // byte-exact, case-sensitive
    bool operator!=(const char* sz) const { return !(*this == sz); }
    bool operator==(const Str& other) const { return m_str == other.m_str; }
    bool operator!=(const Str& other) const { return m_str != other.m_str; }

    // 0 when equal ignoring ASCII case; <0 or >0 like strcmp otherwise.
    static int stricmp(const char* szA, const char* szB);
    // Bounded by nSize, always NUL-terminated when nSize > 0. Return the
    // length written (without the NUL), or -1 when nSize <= 0 or a pointer is null.
    static int sprintf_x(char* szBuf, int nSize, const char* szFmt, ...) NOX_PRINTF(3, 4);
    static int strcpy_x(char* szBuf, int nSize, const char* szSrc);

    // The text of a fixed-size field of a record: up to its first NUL, and
    // never beyond the field, also when it lacks one.
    template <size_t N>
    static std::string field(const char (&szField)[N])
    {
        return std::string(szField, std::find(szField, szField + N, '\0'));
    }

    const std::string& str() const { return m_str; }

private:
    std::string m_str;
};

}  // namespace nox
