// Text as printed in debug forms: double-quoted, with quotes, backslashes and control characters
// (C0, DEL and the C1 range) escaped as \", \\, \n, \r, \t, \0 or \u{hex}.
#pragma once

#include <string>
#include <string_view>

namespace veldrake {

// Appends `text` (UTF-8) to `out`, quoted and escaped.
void append_quoted(std::string& out, std::string_view text);

}  // namespace veldrake
