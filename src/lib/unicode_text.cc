#include "unicode_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tidemark {

namespace {

struct UpperSingle {
  char32_t from;
  char32_t to;
};

struct UpperMulti {
  char32_t from;
  char32_t to[3];  // unused trailing places are 0
};

#include "unicode_upper_table.inc"

constexpr bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

constexpr bool is_ascii_white_space(unsigned char byte) {
  return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}

// Reads the eight bytes at p as one word, so that eight ASCII bytes can be checked at once.
inline uint64_t load_word(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

constexpr uint64_t kHighBits = 0x8080808080808080ULL;

}  // namespace

Utf8Char decode_utf8_at(std::string_view text, std::size_t pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const std::size_t avail = text.size() - pos;
  const unsigned char b0 = s[0];
  if (b0 < 0x80) return {b0, 1, true};

  // The lead byte fixes the length and the allowed range of the second byte; the range
  // excludes overlong forms (E0, F0), surrogates (ED) and values past U+10FFFF (F4).
  std::size_t length;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return {};
  }
  if (avail < length) return {};
  if (s[1] < lo || s[1] > hi) return {};
  cp = (cp << 6) | (s[1] & 0x3F);
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(s[i])) return {};
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  return {cp, length, true};
}

Utf8Char decode_utf8_before(std::string_view text, std::size_t end) {
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 && is_continuation(static_cast<unsigned char>(text[start]))) {
    --start;
  }
  Utf8Char c = decode_utf8_at(text, start);
  if (c.valid && start + c.length == end) return c;
  return {};
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_valid_utf8(std::string_view bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Contract files are almost all ASCII: skip it eight bytes at a time.
    while (i + 8 <= n && (load_word(bytes.data() + i) & kHighBits) == 0) i += 8;
    if (i >= n) break;
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const Utf8Char c = decode_utf8_at(bytes, i);
    if (!c.valid) return false;
    i += c.length;
  }
  return true;
}

bool is_unicode_white_space(char32_t cp) {
  if (cp < 0x80) return is_ascii_white_space(static_cast<unsigned char>(cp));
  switch (cp) {
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

std::string_view trim_white_space_view(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const auto b = static_cast<unsigned char>(text[begin]);
    if (b < 0x80) {
      if (!is_ascii_white_space(b)) break;
      ++begin;
    } else {
      const Utf8Char c = decode_utf8_at(text.substr(0, end), begin);
      if (!c.valid || !is_unicode_white_space(c.code_point)) break;
      begin += c.length;
    }
  }
  while (end > begin) {
    const auto b = static_cast<unsigned char>(text[end - 1]);
    if (b < 0x80) {
      if (!is_ascii_white_space(b)) break;
      --end;
    } else {
      const Utf8Char c = decode_utf8_before(text.substr(begin, end - begin), end - begin);
      if (!c.valid || !is_unicode_white_space(c.code_point)) break;
      end -= c.length;
    }
  }
  return text.substr(begin, end - begin);
}

std::string trim_white_space(std::string_view utf8) {
  return std::string(trim_white_space_view(utf8));
}

int upper_case_mapping(char32_t cp, char32_t out[3]) {
  if (cp < 0x80) {
    out[0] = (cp >= 'a' && cp <= 'z') ? cp - 32 : cp;
    return 1;
  }
  const auto single =
      std::lower_bound(std::begin(kUpperSingle), std::end(kUpperSingle), cp,
                       [](const UpperSingle& entry, char32_t key) { return entry.from < key; });
  if (single != std::end(kUpperSingle) && single->from == cp) {
    out[0] = single->to;
    return 1;
  }
  const auto multi =
      std::lower_bound(std::begin(kUpperMulti), std::end(kUpperMulti), cp,
                       [](const UpperMulti& entry, char32_t key) { return entry.from < key; });
  if (multi != std::end(kUpperMulti) && multi->from == cp) {
    int count = 0;
    for (char32_t t : multi->to) {
      if (t == 0) break;
      out[count++] = t;
    }
    return count;
  }
  out[0] = cp;
  return 1;
}

std::string to_upper_full(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out.push_back(b >= 'a' && b <= 'z' ? static_cast<char>(b - 32) : static_cast<char>(b));
      ++i;
      continue;
    }
    const Utf8Char c = decode_utf8_at(utf8, i);
    if (!c.valid) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    char32_t mapped[3];
    const int count = upper_case_mapping(c.code_point, mapped);
    for (int k = 0; k < count; ++k) append_utf8(out, mapped[k]);
    i += c.length;
  }
  return out;
}

}  // namespace tidemark
