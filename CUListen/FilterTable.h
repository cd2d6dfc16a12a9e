// The duplicate filter's table: per source IPv4 address, the second of the
// last accepted request of each head. Fixed capacity, open addressing, no
// allocation per request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

// One (host, head) of the table, as the state dump prints it.
struct FilterRow {
    std::string strHost;   // dotted text
    int nKey;              // the head as a signed byte: 0xA3 is -93, 0x20 is 32
    unsigned int nSeconds;
};

// Holds at most nMaxHosts hosts. A host's slot is found by hashing its
// address into a table of at least twice as many slots (linear probing, and
// a removed slot's followers shifted back, so a look-up never passes a hole);
// the hosts are also linked in the order of their last accepted request, and
// at the cap the oldest host gives its place to the new one. The two heads
// the handler accepts have a second each; any other head counts as 0x20.
// Not thread-safe: the caller holds the filter's lock.
class FilterTable {
public:
    explicit FilterTable(size_t nMaxHosts);
    ~FilterTable();
    FilterTable(const FilterTable&) = delete;
    FilterTable& operator=(const FilterTable&) = delete;

    // A request of host nAddr with head nKey at nNow seconds. A duplicate
    // (false) when the same host and head was accepted 0 to nInterval seconds
    // before (unsigned difference, not negative as a signed value); it changes
    // nothing. Otherwise (true) nNow is recorded and the host becomes the
    // newest; a new host at the cap takes the oldest one's place, and when
    // that one could still have dropped a request nEvicted counts it.
    bool Accept(uint32_t nAddr, int nKey, uint32_t nNow, uint32_t nInterval, uint64_t& nEvicted);

    // Fetches the slot where a look-up of nAddr begins. Needs no lock: it
    // reads only what the constructor set.
    void Prefetch(uint32_t nAddr) const { __builtin_prefetch(&m_pSlot[Home(nAddr)]); }

    size_t size() const { return m_nUsed; }   // hosts
    size_t Entries() const;                    // (host, head) pairs
    // Every (host, head), hosts in plain string order of their text and a
    // host's heads by their signed key (0xA3 before 0x20).
    std::vector<FilterRow> SortedRows() const;

    // The address of a dotted IPv4 text; 0 for text that is none (the engine
    // delivers only such texts).
    static uint32_t AddressOf(const char* szHost);

private:
    struct Host {
        uint32_t nAddr;
        uint32_t anSeconds[2];   // per head: [0] 0xA3, [1] 0x20
        uint8_t nHeads;          // bit per head that has a second
        int32_t nOlder;          // the order of acceptance: -1 at either end
        int32_t nNewer;
    };

    size_t Home(uint32_t nAddr) const;
    size_t Find(uint32_t nAddr) const;   // the slot holding it, or the empty slot where it would go
    void Unlink(int32_t nHost);
    void LinkNewest(int32_t nHost);
    void EraseSlot(size_t nSlot);

    // A slot keeps its host's address beside the index, so that probes and
    // the shifts of a removal never read the hosts themselves (every request
    // from a new source would otherwise miss the cache once per probe).
    struct Slot {
        uint32_t nAddr;
        int32_t nHost;   // host index + 1; 0: empty
    };

    const size_t m_nMax;
    size_t m_nMask;
    std::unique_ptr<Slot[], void (*)(void*)> m_pSlot;
    std::unique_ptr<Host[], void (*)(void*)> m_pHost;
    size_t m_nUsed = 0;
    int32_t m_nOldest = -1;
    int32_t m_nNewest = -1;
};

}  // namespace velmora
