// The two ways velmora-search prints what it found.
#pragma once

#include <string>
#include <vector>

#include "SearchProto.h"

namespace velmora {
namespace search {

// A table with a heading line and one line per row; empty fields print "-"
// and control characters from the wire print as '?'.
std::string FormatTable(const std::vector<ResponderRow>& vecRow);

// One JSON object on one line (newline included). Unknown ports are null.
std::string FormatJsonLine(const ResponderRow& row);

}  // namespace search
}  // namespace velmora
