// The two ways velmora-search prints what it found.
#pragma once

#include <string>
#include <vector>

#include "SearchProto.h"

namespace velmora {
namespace search {

// A table with a heading line and one line per row; empty fields print "-"
// and control characters from the wire print as '?'. With nColumns (a
// terminal's width) the serial numbers are shortened (marked with "…", or
// "..." when bUtf8 is false) and the less needed columns left out until the
// table fits; 0 prints every column in full.
std::string FormatTable(const std::vector<ResponderRow>& vecRow, int nColumns = 0,
                        bool bUtf8 = true);

// One JSON object on one line (newline included). A field or port the replies
// did not carry is null; "forms" is an array of "json" and "binary". With
// cEvent (watch mode) it also has "event": "+", "=" or "-".
std::string FormatJsonLine(const ResponderRow& row, char cEvent = 0);

// One watch event as a line: the event's character, then the row's fields in
// the table's column order, each "-" when empty, two spaces apart.
std::string FormatWatchLine(char cEvent, const ResponderRow& row);

}  // namespace search
}  // namespace velmora
