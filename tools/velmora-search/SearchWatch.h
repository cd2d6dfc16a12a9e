// The watch mode of velmora-search: what one round of replies changed since
// the rounds before it. Pure logic, no I/O; main runs the rounds.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SearchProto.h"

namespace velmora {
namespace search {

// '+' an adapter answered for the first time (or again after it was gone),
// '=' it answered with other values, '-' it missed the stated rounds.
struct WatchEvent {
    char cKind = '+';
    ResponderRow row;             // the new values; for '-' the last ones seen
};

// An adapter is known by its MAC (a responder's address may change); one
// without a MAC by its responder and address.
std::string WatchKey(const ResponderRow& row);
// True when every value a user sees is the same (the forms and the local
// interface included).
bool SameValues(const ResponderRow& a, const ResponderRow& b);

// The adapters seen so far. At most nMaxEntries are followed: a row beyond
// that is counted in Ignored() and reported nowhere else, so a flood of
// forged replies cannot grow it.
class WatchTable {
public:
    WatchTable(int nGoneAfter, size_t nMaxEntries) : m_nGoneAfter(nGoneAfter),
                                                     m_nMaxEntries(nMaxEntries) {}

    // One round's rows, in arrival order. Returns '+' and '=' in the order of
    // vecRow, then '-' for each adapter that has now missed nGoneAfter rounds
    // in a row (it is forgotten).
    std::vector<WatchEvent> Round(const std::vector<ResponderRow>& vecRow);
    size_t Size() const { return m_vecEntry.size(); }
    size_t Ignored() const { return m_nIgnored; }

private:
    struct Entry {
        std::string strKey;
        ResponderRow row;
        int nMissed = 0;
        bool bSeen = false;       // answered in the current round
    };
    const int m_nGoneAfter;
    const size_t m_nMaxEntries;
    std::vector<Entry> m_vecEntry;
    size_t m_nIgnored = 0;
};

// How long the rounds of a watch wait: each round collects for the timeout,
// then waits the rest of the interval. Milliseconds.
unsigned WatchPause(unsigned nIntervalMs, unsigned nTimeoutMs);

}  // namespace search
}  // namespace velmora
