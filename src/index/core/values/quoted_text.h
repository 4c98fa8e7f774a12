// Text as printed in debug forms: double-quoted, with quotes, backslashes and control characters
// (C0, DEL and the C1 range) escaped as \", \\, \n, \r, \t, \0 or \u{hex}.
#pragma once

#include <string>
#include <string_view>

namespace veldrake {

// Appends `text` (UTF-8) to `out`, quoted and escaped.
void append_quoted(std::string& out, std::string_view text);
// Appends `bytes` (not text) to `out`, quoted, with quotes and backslashes escaped as above and
// every byte outside printable ASCII as \xHH.
void append_quoted_bytes(std::string& out, std::string_view bytes);

}  // namespace veldrake
