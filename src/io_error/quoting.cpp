#include <algorithm>
#include <charconv>
#include <cstdint>

#include "io_error/io_error.hpp"
#include "base/unicode_class.hpp"
#include "base/utf8.hpp"

namespace trellune {
namespace {

// The two-character escapes; empty for every other character.
std::string_view short_escape(char32_t code_point) {
  switch (code_point) {
    case U'"':
      return "\\\"";
    case U'\\':
      return "\\\\";
    case U'\0':
      return "\\0";
    case U'\t':
      return "\\t";
    case U'\n':
      return "\\n";
    case U'\r':
      return "\\r";
    default:
      return {};
  }
}

bool is_written_as_itself(char32_t code_point) {
  if (code_point < 0x80) return code_point >= 0x20 && code_point != 0x7F && short_escape(code_point).empty();
  // An extender written as itself would fuse with the quote or escape before
  // it, so it is escaped even where it is printable.
  if (code_point >= 0x300 && is_grapheme_extender(code_point)) return false;
  return is_printable(code_point);
}

bool write_hex_escape(TextSink& sink, std::string_view prefix, std::uint32_t value, std::string_view suffix) {
  // Longest: "\u{10ffff}".
  char buffer[16];
  char* out = std::copy(prefix.begin(), prefix.end(), buffer);
  out = std::to_chars(out, buffer + sizeof buffer, value, 16).ptr;
  out = std::copy(suffix.begin(), suffix.end(), out);
  return sink.append({buffer, static_cast<std::size_t>(out - buffer)});
}

bool write_escaped(TextSink& sink, char32_t code_point) {
  const std::string_view escape = short_escape(code_point);
  if (!escape.empty()) return sink.append(escape);
  return write_hex_escape(sink, "\\u{", code_point, "}");
}

// Bytes that are not UTF-8 have no code point to show; each is written as
// \xNN (two lowercase hex digits) so the rendering stays valid UTF-8 and
// still tells which bytes were there.
bool write_invalid_bytes(TextSink& sink, std::string_view bytes) {
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    if (!write_hex_escape(sink, value < 0x10 ? "\\x0" : "\\x", value, "")) return false;
  }
  return true;
}

}  // namespace

bool write_quoted(TextSink& sink, std::string_view text) {
  if (!sink.append("\"")) return false;
  // Characters written as themselves are passed on in runs, not one by one.
  std::size_t run_start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const Utf8Sequence sequence = decode_utf8_sequence(text.substr(i));
    if (sequence.well_formed && is_written_as_itself(sequence.code_point)) {
      i += sequence.length;
      continue;
    }
    if (i > run_start && !sink.append(text.substr(run_start, i - run_start))) return false;
    const bool written = sequence.well_formed ? write_escaped(sink, sequence.code_point)
                                              : write_invalid_bytes(sink, text.substr(i, sequence.length));
    if (!written) return false;
    i += sequence.length;
    run_start = i;
  }
  if (i > run_start && !sink.append(text.substr(run_start, i - run_start))) return false;
  return sink.append("\"");
}

}  // namespace trellune
