#include "contract_master.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "unicode_text.h"

namespace tidemark {

namespace {

// ---------------------------------------------------------------------------------------------
// Numbers

// Reads digits[0..] as an unsigned value no larger than `max`; nothing when a character is not
// a digit, there are no digits, or the value is too large.
std::optional<uint64_t> parse_digits(std::string_view digits, uint64_t max) {
  if (digits.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(ch - '0');
    if (value > (max - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

std::optional<uint64_t> parse_unsigned_up_to(std::string_view text, uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return parse_digits(text, max);
}

// ---------------------------------------------------------------------------------------------
// Lines and fields

// Drops every '\r' and '\n' at the end of a line.
std::string_view strip_line_end(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

bool is_blank(std::string_view line) { return trim_white_space_view(line).empty(); }

// Hands out the lines of a text one by one; a line ends at '\n', which is not part of it.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : rest_(text) {}

  bool next(std::string_view& line) {
    if (rest_.empty()) return false;
    const void* nl = std::memchr(rest_.data(), '\n', rest_.size());
    if (nl == nullptr) {
      line = rest_;
      rest_ = {};
    } else {
      const auto len = static_cast<std::size_t>(static_cast<const char*>(nl) - rest_.data());
      line = rest_.substr(0, len);
      rest_.remove_prefix(len + 1);
    }
    return true;
  }

 private:
  std::string_view rest_;
};

// Walks the comma-separated fields of one line (line ends already stripped). There is no
// quoting: every ',' separates. An empty line has one empty field.
class FieldReader {
 public:
  explicit FieldReader(std::string_view line) : line_(line) {}

  bool next(std::string_view& field) {
    if (done_) return false;
    const char* start = line_.data() + pos_;
    const std::size_t left = line_.size() - pos_;
    // Most fields are short: look at the first bytes directly and leave long fields to memchr.
    std::size_t len = 0;
    const std::size_t short_scan = left < 16 ? left : 16;
    while (len < short_scan && start[len] != ',') ++len;
    if (len == short_scan && len < left) {
      const void* comma = std::memchr(start + len, ',', left - len);
      len = comma == nullptr ? left
                             : static_cast<std::size_t>(static_cast<const char*>(comma) - start);
    }
    field = std::string_view(start, len);
    if (len == left) {
      done_ = true;
    } else {
      pos_ += len + 1;
    }
    return true;
  }

 private:
  std::string_view line_;
  std::size_t pos_ = 0;
  bool done_ = false;
};

// ---------------------------------------------------------------------------------------------
// Column names

enum Role : int { kToken, kSymbol, kName, kExpiry, kStrike, kOptionType, kLotSize, kRoleCount };

// No accepted name has a key longer than this (the longest has 16 characters), so longer
// header keys cannot match and are not built in full.
constexpr std::size_t kMaxNameKey = 32;
static_assert(kMaxNameKey < 64, "key lengths are kept in a 64-bit mask");

// Writes column_key(name) to `key` unless it would exceed `limit` characters; returns whether
// the key was written. Used so that one huge header field does not build a huge key.
bool column_key_into(std::string_view name, std::string& key, std::size_t limit) {
  key.clear();
  for (char ch : name) {
    if (ch >= 'A' && ch <= 'Z') {
      ch = static_cast<char>(ch - 'A' + 'a');
    } else if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9'))) {
      continue;
    }
    if (key.size() == limit) return false;
    key.push_back(ch);
  }
  return true;
}

bool key_in(const std::vector<std::string>& keys, const std::string& key) {
  for (const std::string& k : keys) {
    if (k == key) return true;
  }
  return false;
}

std::vector<std::string> keys_of(std::span<const std::string_view> names) {
  std::vector<std::string> keys;
  keys.reserve(names.size());
  for (std::string_view n : names) keys.push_back(column_key(n));
  return keys;
}

std::array<std::vector<std::string>, kRoleCount> role_keys() {
  return {keys_of(kTokenColumnNames),  keys_of(kSymbolColumnNames), keys_of(kNameColumnNames),
          keys_of(kExpiryColumnNames), keys_of(kStrikeColumnNames), keys_of(kOptionTypeColumnNames),
          keys_of(kLotSizeColumnNames)};
}

// What the header line tells: its shape and the column of each field found by name. It is
// gathered in one pass without keeping the fields, so a header of millions of fields costs
// no more memory than the file itself.
struct HeaderInfo {
  bool numeric = false;
  std::size_t field_count = 0;
  std::string_view field0;  // cleaned
  std::string_view field1;  // cleaned, when field_count >= 2
  std::array<std::optional<std::size_t>, kRoleCount> column;
};

HeaderInfo scan_header(std::string_view header_line) {
  const auto keys = role_keys();
  // Lengths of the accepted keys, so that most header names are ruled out without comparing.
  uint64_t key_lengths = 0;
  for (const auto& list : keys) {
    for (const std::string& k : list) key_lengths |= uint64_t{1} << k.size();
  }
  HeaderInfo info;
  bool any_value = false;
  bool all_numbers = true;
  std::string key;
  FieldReader fields(strip_line_end(header_line));
  std::string_view raw;
  for (std::size_t idx = 0; fields.next(raw); ++idx) {
    info.field_count = idx + 1;
    if (raw.empty()) continue;
    const std::string_view field = clean_field(raw);
    if (idx == 0) info.field0 = field;
    if (idx == 1) info.field1 = field;
    if (field.empty()) continue;
    any_value = true;
    if (all_numbers && !parse_unsigned64(field)) all_numbers = false;
    if (!column_key_into(field, key, kMaxNameKey)) continue;
    if (((key_lengths >> key.size()) & 1) == 0) continue;
    for (int role = 0; role < kRoleCount; ++role) {
      if (!info.column[role] && key_in(keys[role], key)) info.column[role] = idx;
    }
  }
  info.numeric = any_value && all_numbers;
  if (info.numeric) {
    // A line of numbers names no columns (no key of digits is an accepted name anyway).
    for (auto& c : info.column) c.reset();
  }
  return info;
}

// The header's cleaned fields joined with "," for the missing-token-column message.
std::string joined_header_fields(std::string_view header_line) {
  std::string out;
  out.reserve(header_line.size());  // cleaning only shortens
  FieldReader fields(strip_line_end(header_line));
  std::string_view raw;
  bool first = true;
  while (fields.next(raw)) {
    if (!first) out.push_back(',');
    first = false;
    if (!raw.empty()) out.append(clean_field(raw));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Rows

// Picks the fields at a few wanted positions out of a line, in one left-to-right walk that
// stops after the last wanted position; other fields are never looked at.
class FieldPicker {
 public:
  // `positions` are column positions in any order, duplicates allowed.
  void want(std::span<const std::size_t> positions) {
    count_ = 0;
    for (std::size_t p : positions) {
      bool seen = false;
      for (std::size_t i = 0; i < count_; ++i) seen = seen || wanted_[i] == p;
      if (!seen) wanted_[count_++] = p;
    }
    std::sort(wanted_.begin(), wanted_.begin() + count_);
  }

  // Splits `line` and records which wanted positions it has.
  void pick(std::string_view line) {
    found_ = 0;
    FieldReader fields(line);
    std::string_view raw;
    for (std::size_t idx = 0; found_ < count_ && fields.next(raw); ++idx) {
      if (idx == wanted_[found_]) raw_[found_++] = raw;
    }
  }

  // The cleaned field at `position` (one of the wanted ones), or nothing when the line is
  // shorter than that.
  std::optional<std::string_view> at(std::size_t position) const {
    for (std::size_t i = 0; i < found_; ++i) {
      if (wanted_[i] == position) return clean_field(raw_[i]);
    }
    return std::nullopt;
  }

 private:
  static constexpr std::size_t kMax = kRoleCount + 1;
  std::array<std::size_t, kMax> wanted_{};
  std::array<std::string_view, kMax> raw_{};
  std::size_t count_ = 0;
  std::size_t found_ = 0;
};

// Rows of the header layout: fields by the columns resolved from the header.
uint64_t load_header_rows(std::string_view first_row, std::string_view rest,
                          const HeaderInfo& header, std::size_t token_column,
                          ContractTable& table) {
  std::array<std::size_t, kRoleCount> positions{};
  std::size_t n = 0;
  positions[n++] = token_column;
  for (int role = kSymbol; role < kRoleCount; ++role) {
    if (header.column[role]) positions[n++] = *header.column[role];
  }
  FieldPicker picker;
  picker.want(std::span(positions.data(), n));

  // The value of a field for this row: resolved column, present in the row, not empty.
  auto value = [&](int role) -> std::optional<std::string_view> {
    if (!header.column[role]) return std::nullopt;
    auto v = picker.at(*header.column[role]);
    if (!v || v->empty()) return std::nullopt;
    return v;
  };

  uint64_t accepted = 0;
  auto take_row = [&](std::string_view line) {
    line = strip_line_end(line);
    if (is_blank(line)) return;
    picker.pick(line);
    const auto token_text = picker.at(token_column);
    if (!token_text) return;
    const auto token = parse_unsigned32(*token_text);
    if (!token) return;

    const auto symbol = value(kSymbol);
    const auto name = value(kName);
    ContractInfo info;
    if (symbol) {
      info.symbol = *symbol;
    } else if (name) {
      info.symbol = *name;
    } else {
      info.symbol = std::to_string(*token);
    }
    info.name = name ? std::string(*name) : symbol ? std::string(*symbol) : info.symbol;
    const auto option_type = value(kOptionType);
    info.option_type = option_type ? std::string(*option_type) : std::string("XX");
    if (const auto expiry = value(kExpiry)) info.expiry = format_expiry(*expiry);
    if (const auto strike_text = value(kStrike)) {
      if (const auto strike = parse_signed64(*strike_text)) info.strike = *strike / 100;
    }
    if (const auto lot_text = value(kLotSize)) {
      if (const auto lot = parse_unsigned32(*lot_text)) info.lot_size = *lot;
    }
    table.insert_or_assign(*token, std::move(info));
    ++accepted;
  };

  if (header.numeric) take_row(first_row);
  LineReader lines(rest);
  std::string_view line;
  while (lines.next(line)) take_row(line);
  return accepted;
}

// Rows of the positional layout: "C", ?, token, ?, symbol, ?, ?, option type, ...
uint64_t load_positional_rows(std::string_view rest, ContractTable& table) {
  constexpr std::size_t kPositions[] = {0, 2, 4, 7};
  FieldPicker picker;
  picker.want(kPositions);
  uint64_t accepted = 0;
  LineReader lines(rest);
  std::string_view line;
  while (lines.next(line)) {
    line = strip_line_end(line);
    if (is_blank(line)) continue;
    picker.pick(line);
    const auto marker = picker.at(0);
    const auto token_text = picker.at(2);
    const auto symbol = picker.at(4);
    if (!symbol) continue;  // fewer than 5 fields
    if (*marker != "C" && *marker != "c") continue;
    const auto token = parse_unsigned32(*token_text);
    if (!token) continue;

    ContractInfo info;
    info.symbol = symbol->empty() ? std::to_string(*token) : std::string(*symbol);
    info.name = info.symbol;
    const auto option_type = picker.at(7);
    info.option_type =
        option_type && !option_type->empty() ? std::string(*option_type) : std::string("XX");
    table.insert_or_assign(*token, std::move(info));
    ++accepted;
  }
  return accepted;
}

// True when the first non-blank line of `rest` starts with the record marker "C" or "c".
bool next_line_is_c_record(std::string_view rest) {
  LineReader lines(rest);
  std::string_view line;
  while (lines.next(line)) {
    line = strip_line_end(line);
    if (is_blank(line)) continue;
    FieldReader fields(line);
    std::string_view first;
    fields.next(first);
    first = clean_field(first);
    return first == "C" || first == "c";
  }
  return false;
}

// How many records to make room for before filling the table: one per line, but never more
// than one per 128 bytes of text, so that a file of empty lines does not reserve a great deal
// of memory for nothing. Rows beyond the estimate just grow the table as usual.
std::size_t estimated_rows(std::string_view text) {
  const std::size_t limit = text.size() / 128;
  std::size_t lines = 1;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (lines <= limit) {
    p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    if (p == nullptr) break;
    ++p;
    ++lines;
  }
  return std::min(lines, limit);
}

// Fills `table` from the text of a whole contract-master file (already valid UTF-8).
Result<uint64_t> load_contract_text(std::string_view text, const std::string& path,
                                    ContractTable& table) {
  // The header line runs up to and including the first '\n'.
  const void* nl = text.empty() ? nullptr : std::memchr(text.data(), '\n', text.size());
  const std::size_t header_len =
      nl == nullptr ? text.size()
                    : static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) + 1;
  const std::string_view header_line = text.substr(0, header_len);
  const std::string_view rest = text.substr(header_len);

  const HeaderInfo header = scan_header(header_line);
  const bool positional = header.numeric && next_line_is_c_record(rest);
  table.clear();
  if (positional) {
    table.reserve(estimated_rows(text));
    return load_positional_rows(rest, table);
  }

  std::optional<std::size_t> token_column = header.column[kToken];
  if (!token_column && header.numeric) {
    // No header row: the first line is data and the token is found by position.
    if (header.field_count >= 2 && parse_unsigned32(header.field1)) {
      token_column = 1;
    } else if (parse_unsigned32(header.field0)) {
      token_column = 0;
    }
  }
  if (!token_column) {
    return Status::error("cannot load symbol master from " + path +
                         ": CM_STREAM_INFO_SCHEMA_PATCH_ACTIVE: missing required token column. "
                         "Available columns: " +
                         joined_header_fields(header_line));
  }
  table.reserve(estimated_rows(text));
  return load_header_rows(header_line, rest, header, *token_column, table);
}

// ---------------------------------------------------------------------------------------------
// Reading the file

// A growable byte buffer that is not zero-filled, so reading a large file costs one pass.
// Large buffers are aligned to 2 MiB and offered to the kernel for huge pages: reading a
// contract master of tens of megabytes then takes a few dozen page faults instead of
// thousands, which is most of the cost of reading it.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::string_view view() const { return {data_, size_}; }
  void set_size(std::size_t size) { size_ = size; }

  // Makes room for at least `capacity` bytes, keeping the content; false when out of memory.
  bool reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    char* bigger = nullptr;
    if (capacity >= kHugeThreshold) {
      capacity = (capacity + kHugePage - 1) / kHugePage * kHugePage;
      bigger = static_cast<char*>(std::aligned_alloc(kHugePage, capacity));
      if (bigger != nullptr) ::madvise(bigger, capacity, MADV_HUGEPAGE);  // a hint only
    } else {
      bigger = static_cast<char*>(std::malloc(capacity));
    }
    if (bigger == nullptr) return false;
    if (size_ > 0) std::memcpy(bigger, data_, size_);
    std::free(data_);
    data_ = bigger;
    capacity_ = capacity;
    return true;
  }

 private:
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kHugeThreshold = std::size_t{4} << 20;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";

// Reads the whole file at `path` into `buffer`.
Status read_whole_file(const std::string& path, ByteBuffer& buffer) {
  if (path.find('\0') != std::string::npos) {
    // The system cannot name such a file; opening the text before the NUL would open
    // some other file.
    return Status::error("cannot open " + path + ": file name contained an unexpected NUL byte");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::error("cannot open " + path + ": " + os_error_text(errno));

  // Size the buffer from the file's size, plus one byte so that the end is seen without a
  // second allocation; files whose size is not known (pipes, /proc) grow by doubling.
  struct stat st;
  std::size_t hint = 64 * 1024;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    hint = static_cast<std::size_t>(st.st_size) + 1;
  }
  for (;;) {
    const std::size_t want =
        buffer.size() == buffer.capacity() ? std::max(hint, buffer.capacity() * 2) : 0;
    if (want != 0 && !buffer.reserve(want)) {
      ::close(fd);
      return Status::error(os_error_text(ENOMEM));
    }
    const ssize_t got =
        ::read(fd, buffer.data() + buffer.size(), buffer.capacity() - buffer.size());
    if (got > 0) {
      buffer.set_size(buffer.size() + static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0) break;
    if (errno == EINTR) continue;
    const int read_errno = errno;
    ::close(fd);
    // Lines completed before the failure are judged first, as a line-by-line reader would.
    const std::string_view done = buffer.view();
    const std::size_t last_nl = done.rfind('\n');
    if (last_nl != std::string_view::npos && !is_valid_utf8(done.substr(0, last_nl + 1))) {
      return Status::error(kInvalidUtf8);
    }
    return Status::error(os_error_text(read_errno));
  }
  ::close(fd);
  // '\n' never occurs inside a multi-byte sequence, so validating the whole text is the same
  // as validating each line.
  if (!is_valid_utf8(buffer.view())) return Status::error(kInvalidUtf8);
  return Status();
}

constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Appends `value` in decimal with at least `width` digits.
void append_padded(std::string& out, uint64_t value, int width) {
  std::string digits = std::to_string(value);
  for (int i = static_cast<int>(digits.size()); i < width; ++i) out.push_back('0');
  out += digits;
}

}  // namespace

// -----------------------------------------------------------------------------------------------
// ContractTable

void ContractTable::clear() {
  std::fill(slots_.begin(), slots_.end(), Slot{0, 0});
  records_.clear();
}

std::size_t ContractTable::slot_of(uint32_t token) const {
  // Multiplicative (Fibonacci) hashing: bits 32 and up of the product are well mixed, so
  // runs of consecutive tokens spread over the whole table.
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = static_cast<std::size_t>((token * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
  while (slots_[i].index != 0 && slots_[i].token != token) i = (i + 1) & mask;
  return i;
}

void ContractTable::reserve(std::size_t count) {
  records_.reserve(count);
  std::size_t want = slots_.empty() ? 64 : slots_.size();
  while (want < 2 * count) want *= 2;
  if (want > slots_.size()) rehash(want);
}

void ContractTable::grow() { rehash(slots_.empty() ? 64 : slots_.size() * 2); }

void ContractTable::rehash(std::size_t slot_count) {
  std::vector<Slot> old(slot_count, Slot{0, 0});
  old.swap(slots_);
  // Tokens are unique, so each old slot lands in an empty new one.
  for (const Slot& s : old) {
    if (s.index != 0) slots_[slot_of(s.token)] = s;
  }
}

void ContractTable::insert_or_assign(uint32_t token, ContractInfo info) {
  if (!slots_.empty()) {
    const std::size_t i = slot_of(token);
    if (slots_[i].index != 0) {
      records_[slots_[i].index - 1] = std::move(info);
      return;
    }
  }
  // New token: keep the load at most one half so that probes stay short.
  if ((records_.size() + 1) * 2 > slots_.size()) grow();
  const std::size_t i = slot_of(token);
  records_.push_back(std::move(info));
  slots_[i] = Slot{token, static_cast<uint32_t>(records_.size())};
}

const ContractInfo* ContractTable::find(uint32_t token) const {
  if (records_.empty()) return nullptr;
  const Slot& s = slots_[slot_of(token)];
  return s.index == 0 ? nullptr : &records_[s.index - 1];
}

// -----------------------------------------------------------------------------------------------
// Fields, names and numbers

std::string_view clean_field(std::string_view field) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  field = trim_white_space_view(field);
  while (field.starts_with(kByteOrderMark)) field.remove_prefix(kByteOrderMark.size());
  while (field.ends_with(kByteOrderMark)) field.remove_suffix(kByteOrderMark.size());
  while (!field.empty() && field.front() == '"') field.remove_prefix(1);
  while (!field.empty() && field.back() == '"') field.remove_suffix(1);
  while (!field.empty() && field.front() == '\'') field.remove_prefix(1);
  while (!field.empty() && field.back() == '\'') field.remove_suffix(1);
  return trim_white_space_view(field);
}

std::string column_key(std::string_view name) {
  std::string key;
  column_key_into(name, key, name.size());
  return key;
}

std::optional<std::size_t> find_column(std::span<const std::string_view> cleaned_header,
                                       std::span<const std::string_view> names) {
  const std::vector<std::string> keys = keys_of(names);
  for (std::size_t idx = 0; idx < cleaned_header.size(); ++idx) {
    const std::string key = column_key(cleaned_header[idx]);
    if (!key.empty() && key_in(keys, key)) return idx;
  }
  return std::nullopt;
}

std::optional<uint32_t> parse_unsigned32(std::string_view text) {
  const auto v = parse_unsigned_up_to(text, UINT32_MAX);
  if (!v) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

std::optional<uint64_t> parse_unsigned64(std::string_view text) {
  return parse_unsigned_up_to(text, UINT64_MAX);
}

std::optional<int64_t> parse_signed64(std::string_view text) {
  if (!text.empty() && text.front() == '-') {
    // The magnitude of INT64_MIN is one more than INT64_MAX.
    const auto magnitude = parse_digits(text.substr(1), uint64_t{INT64_MAX} + 1);
    if (!magnitude) return std::nullopt;
    return static_cast<int64_t>(0 - *magnitude);
  }
  const auto v = parse_unsigned_up_to(text, INT64_MAX);
  if (!v) return std::nullopt;
  return static_cast<int64_t>(*v);
}

bool is_numeric_line(std::string_view line) {
  bool any_value = false;
  FieldReader fields(strip_line_end(line));
  std::string_view raw;
  while (fields.next(raw)) {
    const std::string_view field = clean_field(raw);
    if (field.empty()) continue;
    if (!parse_unsigned64(field)) return false;
    any_value = true;
  }
  return any_value;
}

std::string format_expiry(std::string_view text) {
  const auto seconds = parse_signed64(text);
  if (!seconds) return std::string(text);
  if (*seconds <= 0) return std::string();

  // Civil date from a day count, by whole 400-year cycles of 146097 days. Days are counted
  // from 0000-03-01 so that a leap day is the last day of its (March-based) year. Every step
  // is constant time, whatever the year; positive input keeps every quantity non-negative.
  const int64_t days = *seconds / 86400;
  const int64_t z = days + 719468;  // days since 0000-03-01
  const int64_t era = z / 146097;   // whole 400-year cycles
  // Day within the cycle, 0..146096, and year within it, 0..399.
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  // Day within the March-based year, 0..365, and month counted from March, 0..11.
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_from_march = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  const int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

  std::string out;
  append_padded(out, static_cast<uint64_t>(day), 2);
  out.push_back('-');
  out += kMonthNames[month - 1];
  out.push_back('-');
  out += std::to_string(year);
  return out;
}

// -----------------------------------------------------------------------------------------------
// Loading

Result<uint64_t> load_contract_csv(const std::string& path, ContractTable& table) {
  ByteBuffer buffer;
  if (Status read = read_whole_file(path, buffer); !read.ok()) return read;
  return load_contract_text(buffer.view(), path, table);
}

Result<std::string> contract_master_path(std::string_view segment, uint32_t day, uint32_t month,
                                         uint32_t year, std::optional<std::string_view> base_path) {
  const std::string upper = to_upper_full(segment);
  std::string_view code;
  if (upper == "NSE_FO" || upper == "FO") {
    code = "FO";
  } else if (upper == "NSE_CM" || upper == "CM") {
    code = "CM";
  } else {
    return Status::error("unknown segment '" + upper +
                         "' \u2014 expected NSE_FO, FO, NSE_CM, or CM");
  }
  std::string date_folder;
  append_padded(date_folder, day, 2);
  date_folder.push_back('_');
  append_padded(date_folder, month, 2);
  date_folder.push_back('_');
  date_folder += std::to_string(year);

  std::string path(base_path.value_or("/nas/50.30"));
  path += "/CONTRACT/";
  path += date_folder;
  path += "/NSE_";
  path += code;
  path += "_contract_";
  append_padded(path, day, 2);
  append_padded(path, month, 2);
  path += std::to_string(year);
  path += ".csv";
  return path;
}

}  // namespace tidemark
