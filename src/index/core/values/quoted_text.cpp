#include "index/core/values/quoted_text.h"

#include <cstdio>

namespace veldrake {
namespace {

void append_unicode_escape(std::string& out, unsigned code) {
  char escaped[12];
  std::snprintf(escaped, sizeof escaped, "\\u{%x}", code);
  out += escaped;
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    const auto byte = static_cast<unsigned char>(c);
    const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
    if (byte < 0x20 || byte == 0x7F) {
      append_unicode_escape(out, byte);
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // The C1 controls U+0080..U+009F, encoded as C2 80..C2 9F.
      append_unicode_escape(out, next);
      ++i;
    } else {
      out += c;
    }
  }
  out += '"';
}

void append_quoted_bytes(std::string& out, std::string_view bytes) {
  out += '"';
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace veldrake
