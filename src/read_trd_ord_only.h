// Whole-file decoding of a feed file for the message cache.
//
// load_feed_file reads a feed file in chunks, decodes every order and trade
// record into a FeedMessage and releases the file before it returns; the
// caller owns the resulting array, which is immutable and may be shared.
// scan_feed_buffer is the framing used for that, over any byte range: it
// reads the caller's bytes and appends copies to the caller's vector, keeping
// no reference to either. Both are plain functions with no state; they may be
// called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "feed_message.h"
#include "status.h"

namespace tidemark {

// The decoded messages of one feed file, in file order.
using FeedMessageArray = std::vector<FeedMessage>;

// Appends to `out` every order and trade record found in data[0, size), in
// order. Spaces before a record are padding; a record of unknown type is
// skipped by its msg_len (by 1 byte when msg_len is 0); an incomplete header
// or record at the end ends the scan silently.
void scan_feed_buffer(const uint8_t* data, std::size_t size, std::vector<FeedMessage>& out);

// Returns the messages of the first bytes of the file at `path`, as many as
// its size when it was opened, or the operating system's error text when the
// file cannot be opened, sized or read (a directory, which is offered to a
// mapping, fails with "No such device (os error 19)"). A file that another
// process truncates during the call gives the messages of the bytes that were
// read. No file handle or mapping outlives the call.
Result<std::shared_ptr<const FeedMessageArray>> load_feed_file(const std::string& path);

}  // namespace tidemark
