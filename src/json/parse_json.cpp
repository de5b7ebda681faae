// A one-pass recursive-descent parser for RFC 8259 JSON text.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/internal/parse_number.hpp"
#include "json/internal/string_scan.hpp"
#include "json/internal/tree_build.hpp"
#include "json/json_value.hpp"

namespace trellune {
namespace {

using json_internal::find_string_stop;
using json_internal::is_digit;
using json_internal::scan_number;
using json_internal::Slot;
using json_internal::TreeAccess;
using Kind = JsonParseErrorKind;

// Nesting budget: the 128th nested container on one path fails.
constexpr std::uint8_t kDepthBudget = 128;
// Slots of the parse stack kept inside the parser, on the caller's stack:
// enough for most requests, so that they need no heap block for it.
constexpr std::size_t kInlineSlots = 128;

// Per byte: its value as a hex digit, or 0xFF, whose high nibble no digit has.
constexpr std::array<std::uint8_t, 256> kHexValue = [] {
  std::array<std::uint8_t, 256> table{};
  for (auto& value : table) value = 0xFF;
  for (int c = '0'; c <= '9'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c - 'A' + 10);
  return table;
}();

// Per byte after a reverse solidus: the byte it stands for, or 0 ('u' and
// anything not an escape).
constexpr std::array<char, 256> kEscapeDecoded = [] {
  std::array<char, 256> table{};
  for (const json_internal::ShortEscape& escape : json_internal::kShortEscapes) {
    table[static_cast<unsigned char>(escape.letter)] = escape.byte;
  }
  table['/'] = '/';
  return table;
}();

// UTF-8 per RFC 3629; `code_point` is a scalar value. Returns the end.
char* put_utf8(char* out, std::uint32_t code_point) {
  if (code_point < 0x80) {
    *out++ = static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code_point >> 6));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (code_point >> 12));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code_point >> 18));
    *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

// The parse keeps every finished value on one stack of handle slots: an
// array's elements, or an object's keys and values in turn, sit on top while
// it is open and move into one exactly sized block when it closes. Slots are
// plain words, so moving them is a copy; the stack owns what they point to
// until then, and releases it if the parse fails.
class Parser {
 public:
  Parser(std::string_view text, JsonParseOptions options)
      : begin_(text.data()),
        p_(text.data()),
        end_(text.data() + text.size()),
        top_level_spare_(options.reserve_one_member ? 1 : 0),
        stack_(inline_stack_) {}

  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  ~Parser() {
    for (std::size_t i = 0; i < top_; ++i) {
      if ((stack_[i].meta & TreeAccess::kOwnsBlock) != 0) json_internal::release_words(stack_[i].word, stack_[i].meta);
    }
    if (stack_ != inline_stack_) ::operator delete(stack_);
  }

  JsonParseResult run() {
    if (!parse_value()) return error();
    skip_white_space();
    if (p_ != end_) {
      fail(Kind::TrailingText);
      return error();
    }
    JsonValue value;
    TreeAccess::set(value, stack_[0].word, stack_[0].meta);
    top_ = 0;
    return JsonParseResult(std::move(value));
  }

 private:
  JsonParseError error() const { return JsonParseError{error_kind_, error_offset_}; }

  bool fail(Kind kind) {
    error_kind_ = kind;
    error_offset_ = static_cast<std::size_t>(p_ - begin_);
    return false;
  }

  void skip_white_space() {
    // Compact text has none: one test for the common case.
    if (p_ == end_ || static_cast<unsigned char>(*p_) > ' ') return;
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  void push(std::uint64_t word, std::uint64_t meta) {
    if (top_ == capacity_) grow_stack();
#if defined(__SSE2__)
    // One 16-byte store: the slot is soon read whole (moved into a block or
    // the result), and a load that spans two separate stores cannot be
    // forwarded from them while they are in flight.
    // Built in registers: a vector built through memory would stall the same way.
    const __m128i slot = _mm_unpacklo_epi64(_mm_cvtsi64_si128(static_cast<long long>(word)),
                                            _mm_cvtsi64_si128(static_cast<long long>(meta)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(stack_ + top_), slot);
    ++top_;
#else
    stack_[top_++] = Slot{word, meta};
#endif
  }

  void push_number(JsonNumber number) {
    push(TreeAccess::number_word(number), TreeAccess::number_meta(number.kind()));
  }

  void grow_stack() {
    const std::size_t capacity = 2 * capacity_;
    auto* stack = static_cast<Slot*>(::operator new(capacity * sizeof(Slot)));
    std::memcpy(stack, stack_, top_ * sizeof(Slot));
    if (stack_ != inline_stack_) ::operator delete(stack_);
    stack_ = stack;
    capacity_ = capacity;
  }

  bool parse_value() {
    skip_white_space();
    if (p_ == end_) return fail(Kind::EndInValue);
    switch (*p_) {
      case '"':
        ++p_;
        return parse_string();
      case '[':
        return parse_array();
      case '{':
        return parse_object();
      case '-':
        ++p_;
        return parse_number(true);
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parse_number(false);
      case 'n':
        ++p_;
        if (!expect_letters("ull")) return false;
        push(0, TreeAccess::kNullMeta);
        return true;
      case 't':
        ++p_;
        if (!expect_letters("rue")) return false;
        push(1, TreeAccess::kBoolMeta);
        return true;
      case 'f':
        ++p_;
        if (!expect_letters("alse")) return false;
        push(0, TreeAccess::kBoolMeta);
        return true;
      default:
        return fail(Kind::NotAValue);
    }
  }

  // A value inside a container, p_ on its first byte. Numbers and strings,
  // the bulk of most documents, go straight to their routines rather than
  // through the recursive parse_value, whose frame costs more than they do.
  bool parse_element() {
    const char first = *p_;
    if (is_digit(first)) return parse_number(false);
    if (first == '-') {
      ++p_;
      return parse_number(true);
    }
    if (first == '"') {
      ++p_;
      return parse_string();
    }
    return parse_value();
  }

  // The rest of a literal; the byte after it is left for the caller.
  bool expect_letters(std::string_view letters) {
    for (char letter : letters) {
      if (p_ == end_) return fail(Kind::EndInValue);
      if (*p_++ != letter) return fail(Kind::BadLiteral);
    }
    return true;
  }

  // p_ is after the minus sign, if any, where the first digit is due.
  bool parse_number(bool negative) {
    JsonNumber number = JsonNumber::from_uint64(0);
    Kind kind = Kind::EndInValue;
    const bool ok = scan_number(begin_, p_, end_, negative, number, kind);
    if (!ok) return fail(kind);
    push_number(number);
    return true;
  }

  // The opening quotation mark is consumed. Pushes the string's slot and
  // leaves p_ after the closing one.
  bool parse_string() {
    const char* const start = p_;
    const char* stop = find_string_stop(p_, end_);
    if (stop != end_ && *stop == '"') [[likely]] {
      // No escape: the content is the input, which held no byte to escape.
      p_ = stop + 1;
      push_input_text(start, static_cast<std::size_t>(stop - start));
      return true;
    }
    // Bytes are written through a raw cursor; room is made once per run of
    // plain bytes and the escape after it (which decodes to at most four).
    char* decoded = scratch_.data();
    char* out = decoded;
    const char* segment = start;
    for (;;) {
      p_ = stop;
      if (stop == end_) return fail(Kind::EndInString);
      const auto byte = static_cast<unsigned char>(*stop);
      ++p_;
      const auto run = static_cast<std::size_t>(stop - segment);
      const auto used = static_cast<std::size_t>(out - decoded);
      if (scratch_.size() - used < run + 4) {
        scratch_.resize(std::max(used + run + 4, 2 * scratch_.size()));
        decoded = scratch_.data();
        out = decoded + used;
      }
      std::memcpy(out, segment, run);
      out += run;
      if (byte == '"') {
        const auto size = static_cast<std::size_t>(out - decoded);
        std::uint64_t word;
        std::uint64_t meta;
        TreeAccess::make_text(decoded, size, TreeAccess::plain_bit(decoded, size), word, meta);
        push(word, meta);
        return true;
      }
      if (byte < 0x20) return fail(Kind::ControlCharInString);
      if (!parse_escape(out)) return false;
      segment = p_;
      stop = find_string_stop(p_, end_);
    }
  }

  // A member's key, the opening quotation mark consumed. Keys are short and
  // rarely escaped: the plain case is decided here, without a call.
  bool parse_key() {
    const char* const stop = find_string_stop(p_, end_);
    if (stop == end_ || *stop != '"') [[unlikely]] return parse_string();
    const char* const start = p_;
    p_ = stop + 1;
    push_input_text(start, static_cast<std::size_t>(stop - start));
    return true;
  }

  // Text without escapes, taken from the input, which held no byte that
  // needs one.
  void push_input_text(const char* text, std::size_t size) {
    std::uint64_t word;
    std::uint64_t meta;
    // Short text straight from the input when 16 bytes can be read there.
    if (size <= TreeAccess::kMaxInline && end_ - text >= 16) {
      TreeAccess::inline_text_from_16(text, size, TreeAccess::kPlainText, word, meta);
    } else {
      TreeAccess::make_text(text, size, TreeAccess::kPlainText, word, meta);
    }
    push(word, meta);
  }

  // The reverse solidus is consumed; writes the escaped text at `out` and
  // moves it past.
  bool parse_escape(char*& out) {
    if (p_ == end_) return fail(Kind::EndInString);
    const char letter = *p_++;
    if (letter == 'u') return parse_unicode_escape(out);
    const char decoded = kEscapeDecoded[static_cast<unsigned char>(letter)];
    if (decoded == 0) return fail(Kind::BadEscape);
    *out++ = decoded;
    return true;
  }

  // After "\\u": one BMP code point, or a UTF-16 surrogate pair in two escapes.
  bool parse_unicode_escape(char*& out) {
    std::uint32_t unit = 0;
    if (!parse_hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(Kind::LoneSurrogate);
    if (unit < 0xD800 || unit > 0xDBFF) {
      out = put_utf8(out, unit);
      return true;
    }
    for (char expected : {'\\', 'u'}) {
      if (p_ == end_) return fail(Kind::EndInString);
      if (*p_++ != expected) return fail(Kind::IncompleteSurrogatePair);
    }
    std::uint32_t low = 0;
    if (!parse_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail(Kind::LoneSurrogate);
    out = put_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    return true;
  }

  bool parse_hex4(std::uint32_t& unit) {
    if (end_ - p_ < 4) {
      p_ = end_;
      return fail(Kind::EndInString);
    }
    const char* digits = p_;
    p_ += 4;
    const std::uint32_t a = kHexValue[static_cast<unsigned char>(digits[0])];
    const std::uint32_t b = kHexValue[static_cast<unsigned char>(digits[1])];
    const std::uint32_t c = kHexValue[static_cast<unsigned char>(digits[2])];
    const std::uint32_t d = kHexValue[static_cast<unsigned char>(digits[3])];
    if (((a | b | c | d) & 0xF0) != 0) return fail(Kind::BadEscape);
    unit = (a << 12) | (b << 8) | (c << 4) | d;
    return true;
  }

  bool enter_container() {
    if (--remaining_depth_ == 0) return fail(Kind::NestingTooDeep);
    ++p_;
    return true;
  }

  bool parse_array() {
    if (!enter_container()) return false;
    const std::size_t base = top_;
    skip_white_space();
    if (p_ == end_) return fail(Kind::EndInArray);
    if (*p_ != ']') {
      for (;;) {
        // p_ is on the element's first byte here.
        if (!parse_element()) return false;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInArray);
        if (*p_ == ',') {
          ++p_;
          skip_white_space();
          if (p_ == end_) return fail(Kind::EndInValue);
          if (*p_ == ']') return fail(Kind::CommaBeforeClose);
          continue;
        }
        if (*p_ == ']') break;
        return fail(Kind::MissingCommaOrBracket);
      }
    }
    ++remaining_depth_;
    ++p_;
    const Slot made = json_internal::make_array(stack_ + base, top_ - base);
    top_ = base;
    push(made.word, made.meta);
    return true;
  }

  bool parse_object() {
    if (!enter_container()) return false;
    const std::size_t base = top_;
    skip_white_space();
    if (p_ == end_) return fail(Kind::EndInObject);
    if (*p_ != '}') {
      if (*p_ != '"') return fail(Kind::KeyNotString);
      for (;;) {
        ++p_;
        if (!parse_key()) return false;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInObject);
        if (*p_ != ':') return fail(Kind::MissingColon);
        ++p_;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInValue);
        if (!parse_element()) return false;
        skip_white_space();
        if (p_ == end_) return fail(Kind::EndInObject);
        if (*p_ == ',') {
          ++p_;
          skip_white_space();
          if (p_ == end_) return fail(Kind::EndInValue);
          if (*p_ == '"') continue;
          return fail(*p_ == '}' ? Kind::CommaBeforeClose : Kind::KeyNotString);
        }
        if (*p_ == '}') break;
        return fail(Kind::MissingCommaOrBrace);
      }
    }
    ++remaining_depth_;
    ++p_;
    const std::size_t spare = remaining_depth_ == kDepthBudget ? top_level_spare_ : 0;
    const Slot made = json_internal::make_object(stack_ + base, (top_ - base) / 2, spare);
    top_ = base;
    push(made.word, made.meta);
    return true;
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  std::uint8_t remaining_depth_ = kDepthBudget;
  // Members of room beyond its own that the top-level object gets; beside
  // the depth, in what would be padding.
  const std::uint8_t top_level_spare_;
  Kind error_kind_ = Kind::EndInValue;
  std::size_t error_offset_ = 0;
  Slot* stack_;
  std::size_t top_ = 0;
  std::size_t capacity_ = kInlineSlots;
  // Assembles strings that contain escapes; its capacity serves the whole call.
  std::string scratch_;
  Slot inline_stack_[kInlineSlots];
};

}  // namespace

JsonParseResult parse_json(std::string_view text, JsonParseOptions options) { return Parser(text, options).run(); }

}  // namespace trellune
