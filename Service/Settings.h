// The optional settings of Velmora.xml, in one table that the daemon's loader
// (CServerConfig::LoadGuardConf) and velmoractl check-config both go through:
// the element's name and how its text becomes the value. A new setting is one
// line of GuardSettings() or AdapterSettings(), for example
//   WholeNumber<&CServerConfig::m_nFilterMaxHosts, 1, 16777216>("FilterMaxHosts"),
// or, for a text with a rule of its own,
//   {"AdapterInclude", &ReadPatterns<&C::m_strAdapterInclude>, &ShowText<&C::m_strAdapterInclude>, true},
#pragma once

#include <string>
#include <vector>

#include "Service/Service.h"

struct OptionalSetting {
    const char* szName;
    // Reads the element's text (never empty) into the configuration: "" when
    // taken, else why not (the value stays as it was).
    std::string (*pfnRead)(CServerConfig& config, const char* szText);
    // The value as the log shows it.
    std::string (*pfnShow)(const CServerConfig& config);
    // An empty element is read too (else it keeps the default unlogged).
    bool bTakesEmpty = false;
};

// Why szText is not a whole number from nMin to nMax ("" when it is one;
// blanks around it are allowed); its value in nValue.
std::string ParseWholeNumber(const char* szText, long nMin, long nMax, long& nValue);

template <int CServerConfig::*pField>
std::string ShowNumber(const CServerConfig& config)
{
    return std::to_string(config.*pField);
}

template <int CServerConfig::*pField, long nMin, long nMax>
std::string ReadWholeNumber(CServerConfig& config, const char* szText)
{
    long nValue = 0;
    std::string strWhy = ParseWholeNumber(szText, nMin, nMax, nValue);
    if (strWhy.empty())
        config.*pField = static_cast<int>(nValue);
    return strWhy;
}

// A setting that takes a whole number from nMin to nMax.
template <int CServerConfig::*pField, long nMin, long nMax>
constexpr OptionalSetting WholeNumber(const char* szName)
{
    return {szName, &ReadWholeNumber<pField, nMin, nMax>, &ShowNumber<pField>};
}

template <nox::Str CServerConfig::*pField>
std::string ShowText(const CServerConfig& config)
{
    return (config.*pField).str();
}

// Name patterns: taken as written, the blanks between them made single.
std::string JoinPatterns(const char* szText);

template <nox::Str CServerConfig::*pField>
std::string ReadPatterns(CServerConfig& config, const char* szText)
{
    config.*pField = JoinPatterns(szText).c_str();
    return std::string();
}

// The optional settings, in the order their loader reads them: the limits for
// untrusted networks and the log folder's cap (LoadGuardConf), the adapter
// table's (LoadAdapterConf).
const std::vector<OptionalSetting>& GuardSettings();
const std::vector<OptionalSetting>& AdapterSettings();

// The elements LoadServerConf reads under the root, and those of each
// UdpListenInfo group.
extern const char* const kServerElements[9];
extern const char* const kListenGroupElements[4];
