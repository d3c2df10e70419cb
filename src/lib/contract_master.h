// The contract master: the exchange's CSV file that names the contract behind each numeric
// instrument token. load_contract_csv reads one such file, recognises its columns by name (or,
// in the positional layout whose rows start with the marker "C", by position) and refills a
// ContractTable with one ContractInfo per token; the last row of a token wins.
//
// Ownership: a ContractTable owns its records outright and copies deeply, so a SymbolMaster
// owns one table and a streaming loader can keep an independent snapshot of it. The loader
// keeps nothing between calls; it only writes the table it is given. Pointers returned by
// ContractTable::find stay valid until the table is next changed.
//
// Plain C++ with no Python in it; failures come back as Status / Result, never as exceptions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"

namespace tidemark {

// One contract of the master, keyed in a ContractTable by its token.
struct ContractInfo {
  std::string symbol;       // trading symbol; else the name; else the token in decimal
  std::string name;         // instrument name; else the symbol
  std::string option_type;  // as written in the file; "XX" when the file gives none
  std::string expiry;       // "DD-Mon-YYYY" from epoch seconds, the file's own text, or empty
  int64_t strike = -1;      // the file's strike / 100, truncated toward zero; -1 when none
  uint32_t lot_size = 0;    // the file's lot size; 0 when none

  bool operator==(const ContractInfo&) const = default;
};

// Map from token to ContractInfo: open addressing over (token, record index) slots with the
// records themselves kept densely, so lookups stay in a small array and copies are deep.
class ContractTable {
 public:
  // Removes every record (keeps the allocated capacity).
  void clear();

  // Makes room for `count` records, so that filling the table up to that size does not regrow.
  void reserve(std::size_t count);

  // Stores `info` under `token`, replacing the record already there.
  void insert_or_assign(uint32_t token, ContractInfo info);

  // Returns the record of `token`, or nullptr when there is none.
  const ContractInfo* find(uint32_t token) const;

  // Returns the number of distinct tokens.
  std::size_t size() const { return records_.size(); }

  // Returns the position, from 0 to size() - 1, of a record that find()
  // returned; it stays the record's position until the table next changes.
  std::size_t position_of(const ContractInfo* record) const {
    return static_cast<std::size_t>(record - records_.data());
  }

  // Returns true when the table holds no record.
  bool empty() const { return records_.empty(); }

  // Returns every record, in table order (position_of gives the same order).
  const std::vector<ContractInfo>& records() const { return records_; }

 private:
  struct Slot {
    uint32_t token;
    uint32_t index;  // 0 for an empty slot, else 1 + position in records_
  };

  std::size_t slot_of(uint32_t token) const;
  void grow();
  void rehash(std::size_t slot_count);

  std::vector<Slot> slots_;  // size is 0 or a power of two
  std::vector<ContractInfo> records_;
};

// Header names accepted for each field. Names are compared through column_key, so case,
// blanks and punctuation in a file's header do not matter.
inline constexpr std::array<std::string_view, 12> kTokenColumnNames = {
    "FinInstrmId",  "FinInstrmID", "InstrumentToken", "InstrumentId",
    "InstrumentID", "Token",       "TokenNo",         "TokenNumber",
    "Tkn",          "Tk",          "SecurityToken",   "SecToken"};
inline constexpr std::array<std::string_view, 13> kSymbolColumnNames = {
    "TckrSymb",    "TickerSymbol",  "Ticker",        "Symbol",           "Sym",
    "TokenSymbol", "TradingSymbol", "Tradingsymbol", "InstrumentSymbol", "SecuritySymbol",
    "ScripName",   "StockNm",       "Name"};
inline constexpr std::array<std::string_view, 10> kNameColumnNames = {
    "StockNm",     "Name",        "SecurityName",  "ScripName", "InstrumentName",
    "Description", "TokenSymbol", "TradingSymbol", "Symbol",    "TckrSymb"};
inline constexpr std::array<std::string_view, 5> kExpiryColumnNames = {
    "XpryDt", "Expiry", "ExpiryDt", "ExpiryDate", "ExpDt"};
inline constexpr std::array<std::string_view, 4> kStrikeColumnNames = {"StrkPric", "StrikePrice",
                                                                       "Strike", "StrkPrice"};
inline constexpr std::array<std::string_view, 6> kOptionTypeColumnNames = {
    "OptnTp", "OptionType", "OptionTyp", "OptType", "OptnType", "InstrumentType"};
inline constexpr std::array<std::string_view, 6> kLotSizeColumnNames = {
    "NewBrdLotQty", "MinLot", "LotSize", "BoardLotQty", "BrdLotQty", "MarketLot"};

// Returns a CSV field without surrounding white space, byte-order marks, double quotes and
// single quotes (each stripped in that order, then white space once more); a view into it.
std::string_view clean_field(std::string_view field);

// Returns the comparison key of a column name: ASCII letters lower-cased, every character
// that is not an ASCII letter or digit dropped.
std::string column_key(std::string_view name);

// Returns the position of the leftmost cleaned header field whose key equals the key of any
// of `names`, or nothing when no field matches.
std::optional<std::size_t> find_column(std::span<const std::string_view> cleaned_header,
                                       std::span<const std::string_view> names);

// Returns the value of an unsigned decimal number ('+' allowed) that fits 32 bits, or nothing.
std::optional<uint32_t> parse_unsigned32(std::string_view text);

// Returns the value of an unsigned decimal number ('+' allowed) that fits 64 bits, or nothing.
std::optional<uint64_t> parse_unsigned64(std::string_view text);

// Returns the value of a decimal number with an optional '+' or '-' that fits a signed 64-bit
// integer, or nothing.
std::optional<int64_t> parse_signed64(std::string_view text);

// Returns true when the line has a non-empty cleaned field and every non-empty cleaned field
// is an unsigned 64-bit number (a line of numbers rather than of column names).
bool is_numeric_line(std::string_view line);

// Returns the expiry text of a contract: a positive epoch-seconds number becomes its UTC date
// as "DD-Mon-YYYY" (any year), zero or a negative number becomes "", other text is unchanged.
std::string format_expiry(std::string_view text);

// Reads the contract master at `path` and refills `table` with its rows. Returns the number of
// rows accepted (later rows of a token replace earlier ones, so it may exceed the table size),
// or the failure text. The table is untouched when the file cannot be opened or read, and left
// empty when no token column can be found.
Result<uint64_t> load_contract_csv(const std::string& path, ContractTable& table);

// Returns the dated contract-master path
// "{base}/CONTRACT/{DD}_{MM}_{YYYY}/NSE_{FO|CM}_contract_{DD}{MM}{YYYY}.csv" for a segment
// ("NSE_FO", "FO", "NSE_CM" or "CM" in any case, not trimmed), or the unknown-segment failure.
// The base (default "/nas/50.30") is used exactly as given; no calendar check is made.
Result<std::string> contract_master_path(std::string_view segment, uint32_t day, uint32_t month,
                                         uint32_t year, std::optional<std::string_view> base_path);

}  // namespace tidemark
