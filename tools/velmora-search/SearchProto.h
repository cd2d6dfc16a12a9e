// The discovery client's side of the protocol: the two request datagrams,
// the decoding of both reply forms, and the merge of one responder's answers
// into one row per responder and adapter. Pure functions, no I/O.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace velmora {
namespace search {

enum Form { kFormJson = 1, kFormBinary = 2 };

// {"method":"KQDiscover.search"} behind the 32-byte header.
std::string MakeJsonSearchRequest();
// 0xA3 followed by 31 zero bytes.
std::string MakeBinarySearchRequest();

// What one reply says about one adapter of the responder. Fields the reply
// form does not carry stay empty (ports: -1).
struct AdapterReply {
    std::string strResponder;     // source address of the datagram
    int nForm = 0;                // kFormJson or kFormBinary
    std::string strAddr;
    std::string strMask;
    std::string strGateway;
    std::string strMac;
    std::string strMachineName;
    std::string strDeviceClass;
    std::string strDeviceType;
    std::string strVersion;
    std::string strSerial;
    int nHttpPort = -1;
    int nPort = -1;
    int nHttpsPort = -1;          // "Port" when the reply says it is the HTTPS port
    std::string strIface;         // the local interface whose subnet holds strResponder
};

enum DecodeResult {
    kDecodeOk = 0,
    kDecodeForeign = -1,     // not a reply of either form (unknown head, a request)
    kDecodeTruncated = -2,   // shorter than its own header or length fields say
    kDecodeMalformed = -3,   // right head and length, unusable content
};

// Decodes one datagram of nLen bytes. Reads nothing beyond nLen. On failure
// strWhy (when non-null) gets a short reason for the verbose report.
int DecodeReply(const char* pData, size_t nLen, const std::string& strSource,
                AdapterReply& out, std::string* pWhy = nullptr);

// One responder adapter, all forms merged.
struct ResponderRow {
    AdapterReply info;            // fields of the first reply, gaps filled by later ones
    int nForms = 0;               // kFormJson | kFormBinary
    std::string FormsText() const;   // "json", "binary" or "json,binary"
};

// Collects decoded replies in arrival order; a reply with the same responder
// address and MAC as an earlier one joins that row. At most kMaxRows rows: a
// reply that would start one more is dropped.
class ResponderTable {
public:
    static constexpr size_t kMaxRows = 4096;
    void Add(const AdapterReply& reply);
    const std::vector<ResponderRow>& Rows() const { return m_vecRow; }

private:
    std::vector<ResponderRow> m_vecRow;
};

// The MAC text as a merge key: lower case, at most 17 characters.
std::string MacKey(const std::string& strMac);

}  // namespace search
}  // namespace velmora
