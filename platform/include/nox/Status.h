// Host queries: network adapters and the machine's serial number.
#pragma once

#include <string>
#include <vector>

namespace nox {

// One network adapter; every field is NUL-terminated text.
struct AdapterInfo {
    char adapterName[260];
    char macAddr[32];      // "aa:bb:cc:dd:ee:ff"
    char hostAddr[32];     // first IPv4 address, dotted
    char subNetMask[32];   // dotted
    char gateWayAddr[32];  // default route through this adapter, else "0.0.0.0"
};
static_assert(sizeof(AdapterInfo) == 388, "AdapterInfo is a fixed 388-byte record");

class Status {
public:
    static Status& instance();
    // One row per interface that is up, not loopback and has an IPv4 address,
    // in interface-index order. 0 on success.
    int getAdapterInfo(std::vector<AdapterInfo>& vecOut);
    // The machine's serial text into szBuf (NUL-terminated, bounded by nSize).
    // 0 on success. Sources, first readable wins: the environment variable
    // kSerialEnv (a privileged start step read the serial and handed it over),
    // product serial, board serial, and else an id derived from the machine
    // id (/etc/machine-id; on Windows the MachineGuid), never the machine id
    // itself (see kSerialAppId in common/HostText.h). Cheap when called again:
    // on each thread the file source that answered is read again only when
    // the file has changed, which is looked at (one stat) at most once a
    // second; after none answered they are tried again a second later.
    int getSerialNum(char* szBuf, int nSize);
    static constexpr const char* kSerialEnv = "NOX_HOST_SERIAL";
};

namespace detail {
// The queries behind Status; tests swap in their own (nox_testing ScopedHost).
class HostQueries {
public:
    virtual ~HostQueries() = default;
    virtual int Adapters(std::vector<AdapterInfo>& vecOut) = 0;
    virtual int SerialNum(char* szBuf, int nSize) = 0;
};
// Installs pQueries (null: the real host) and returns the previous one.
HostQueries* SwapHostQueries(HostQueries* pQueries);
#ifdef _WIN32
// The serial derived from a MachineGuid (32 hex digits, dashes and braces
// allowed); "" for text that is none.
std::string MachineGuidAppId(const std::string& strGuid);
#endif
}  // namespace detail

}  // namespace nox
