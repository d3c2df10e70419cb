// UTF-8 text helpers for the places where the native core handles text that came from Python
// or from a CSV file: segment names, column names and contract fields. They decode and encode
// code points, validate UTF-8, know the Unicode White_Space property, trim, and apply the full
// Unicode upper-case mapping (one code point may become up to three, as U+00DF becomes "SS").
//
// All functions are pure: they take views, return new strings or views into their argument,
// and keep no state, so they may be called from anywhere.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tidemark {

// One code point read from UTF-8 text.
struct Utf8Char {
  char32_t code_point = 0;  // meaningful only when `valid`
  std::size_t length = 1;   // bytes consumed; 1 for an invalid byte
  bool valid = false;
};

// Returns the code point that starts at text[pos] (pos < text.size()); a byte that does not
// start a well-formed sequence is returned as invalid with length 1.
Utf8Char decode_utf8_at(std::string_view text, std::size_t pos);

// Returns the code point that ends just before text[end] (0 < end <= text.size()); a
// malformed tail is returned as one invalid byte.
Utf8Char decode_utf8_before(std::string_view text, std::size_t end);

// Appends the UTF-8 form of `code_point` (at most U+10FFFF) to `out`.
void append_utf8(std::string& out, char32_t code_point);

// Returns true when `bytes` is well-formed UTF-8: no stray continuation bytes, no overlong
// forms, no surrogates, nothing above U+10FFFF, no truncated sequence at the end.
bool is_valid_utf8(std::string_view bytes);

// Returns true when `code_point` has the Unicode White_Space property.
bool is_unicode_white_space(char32_t code_point);

// Returns the part of `utf8` left after removing White_Space from both ends (a view into it).
std::string_view trim_white_space_view(std::string_view utf8);

// Returns a copy of `utf8` without White_Space at either end.
std::string trim_white_space(std::string_view utf8);

// Writes the full upper-case mapping of `code_point` to `out` and returns how many code points
// it has (1 to 3); a code point without an upper-case form maps to itself.
int upper_case_mapping(char32_t code_point, char32_t out[3]);

// Returns `utf8` with every code point replaced by its full upper-case mapping; bytes that are
// not valid UTF-8 are copied unchanged.
std::string to_upper_full(std::string_view utf8);

}  // namespace tidemark
