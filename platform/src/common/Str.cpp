#include "nox/Str.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace nox {

namespace {

// vsnprintf into a std::string of exactly the formatted length.
void FormatInto(std::string& strOut, const char* szFmt, va_list args)
{
    strOut.clear();
    if (szFmt == nullptr)
        return;
    char szSmall[256];
    va_list copy;
    va_copy(copy, args);
    int nLen = vsnprintf(szSmall, sizeof(szSmall), szFmt, copy);
    va_end(copy);
    if (nLen < 0)
        return;
    if (static_cast<size_t>(nLen) < sizeof(szSmall)) {
        strOut.assign(szSmall, static_cast<size_t>(nLen));
        return;
    }
    std::vector<char> vecBuf(static_cast<size_t>(nLen) + 1);
    vsnprintf(vecBuf.data(), vecBuf.size(), szFmt, args);
    strOut.assign(vecBuf.data(), static_cast<size_t>(nLen));
}

bool IsCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

Str::Str(const char* sz, int nLen)
{
    append(sz, nLen);
}

Str& Str::operator=(const char* sz)
{
    if (sz == nullptr)
        m_str.clear();
    else
        m_str.assign(sz);  // safe when sz points into m_str: assign copies first
    return *this;
}

Str& Str::assignfmt(const char* szFmt, ...)
{
    va_list args;
    va_start(args, szFmt);
    std::string strNew;
    FormatInto(strNew, szFmt, args);
    va_end(args);
    m_str.swap(strNew);
    return *this;
}

Str& Str::append(const char* sz, int nLen)
{
    if (sz == nullptr || nLen == 0)
        return *this;
    if (nLen < 0)
        m_str.append(sz);
    else
        m_str.append(sz, static_cast<size_t>(nLen));
    return *this;
}

Str Str::substr(int nPos, int nLen) const
{
    Str out;
    if (nPos < 0 || nPos >= length() || nLen == 0)
        return out;
    size_t nCount = nLen < 0 ? std::string::npos : static_cast<size_t>(nLen);
    out.m_str = m_str.substr(static_cast<size_t>(nPos), nCount);
    return out;
}

char Str::operator[](int nIndex) const
{
    if (nIndex < 0 || nIndex >= length())
        return 0;
    return m_str[static_cast<size_t>(nIndex)];
}

int Str::asInt() const
{
    const char* p = m_str.c_str();
    while (IsCSpace(*p))
        ++p;
    bool bNeg = false;
    if (*p == '+' || *p == '-') {
        bNeg = (*p == '-');
        ++p;
    }
    // Accumulate as a negative number so INT_MIN fits; stop growing once out of range.
    long long nVal = 0;
    const long long kLimit = static_cast<long long>(INT_MAX) + 1;
    while (*p >= '0' && *p <= '9') {
        if (nVal < kLimit)
            nVal = nVal * 10 + (*p - '0');
        ++p;
    }
    if (bNeg)
        return nVal >= kLimit ? INT_MIN : static_cast<int>(-nVal);
    return nVal > INT_MAX ? INT_MAX : static_cast<int>(nVal);
}

Str& Str::tolower()
{
    for (char& c : m_str)
        c = LowerAscii(c);
    return *this;
}

bool Str::operator==(const char* sz) const
{
    if (sz == nullptr)
        return m_str.empty();
    return m_str == sz;
}

int Str::stricmp(const char* szA, const char* szB)
{
    if (szA == nullptr || szB == nullptr)
        return (szA == szB) ? 0 : (szA == nullptr ? -1 : 1);
    for (;; ++szA, ++szB) {
        const unsigned char a = static_cast<unsigned char>(LowerAscii(*szA));
        const unsigned char b = static_cast<unsigned char>(LowerAscii(*szB));
        if (a != b || a == 0)
            return static_cast<int>(a) - static_cast<int>(b);
    }
}

int Str::sprintf_x(char* szBuf, int nSize, const char* szFmt, ...)
{
    if (szBuf == nullptr || nSize <= 0 || szFmt == nullptr) {
        if (szBuf != nullptr && nSize > 0)
            szBuf[0] = '\0';
        return -1;
    }
    va_list args;
    va_start(args, szFmt);
    int nLen = vsnprintf(szBuf, static_cast<size_t>(nSize), szFmt, args);
    va_end(args);
    if (nLen < 0) {
        szBuf[0] = '\0';
        return -1;
    }
    return nLen < nSize ? nLen : nSize - 1;
}

int Str::strcpy_x(char* szBuf, int nSize, const char* szSrc)
{
    if (szBuf == nullptr || nSize <= 0)
        return -1;
    if (szSrc == nullptr) {
        szBuf[0] = '\0';
        return -1;
    }
    int n = 0;
    while (n < nSize - 1 && szSrc[n] != '\0') {
        szBuf[n] = szSrc[n];
        ++n;
    }
    szBuf[n] = '\0';
    return n;
}

}  // namespace nox
