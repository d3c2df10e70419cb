// A feed file as Arrow record batches: one row per order or trade message,
// in file order, read with the streaming loader's framing (padding, skipped
// records of other types, the same end-of-file rules and error texts).
//
// Row i holds message i's fields as the message dict of get_next_msg shows
// them, with null where that dict has no such key; with a contract table,
// six contract columns follow, filled as an attached master enriches the
// dict and null where it writes nothing. A decode error in the middle of the
// file ends the stream with the decoder's text after the rows read before it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "batch_source.h"
#include "contract_master.h"
#include "feed_decoder.h"
#include "status.h"

namespace tidemark::arrow {

// msg_type is always one of the four decoded types (N, M, X, T), so every
// source writes it as a dictionary-encoded column with this dictionary.
extern const std::vector<std::string> kMsgTypeDictionary;
// Returns the index in kMsgTypeDictionary of a decoded message's type byte.
inline uint8_t msg_type_index(uint8_t msg_type) {
  return msg_type == 'N' ? 0 : msg_type == 'M' ? 1 : msg_type == 'X' ? 2 : 3;
}

// Returns the columns of a scan, with the six contract columns when
// `with_contracts` is set.
std::vector<ColumnSpec> feed_scan_columns(bool with_contracts);

// Opens `path` as a feed input (feed_input.h) and validates its first record
// header, as open_stream does without counting. Fails with the same texts.
// A binding checks with input::CheckedInput instead, whose pipe handle the
// stream then reads.
Status check_feed(const std::string& path);

// Starts a scan of `file` (at offset 0, from input::CheckedInput::take) in
// batches of at most `batch_rows` rows (at least 1). `contracts` may be null.
Result<std::unique_ptr<BatchSource>> open_feed_scan(std::unique_ptr<FeedFile> file,
                                                    std::shared_ptr<const ContractTable> contracts,
                                                    uint64_t batch_rows);

}  // namespace tidemark::arrow
