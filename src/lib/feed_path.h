// Paths of recorded feed files on the shared store. A feed file lives at
// "{base}/{NSE_CM|NSE_FO}/Feed_{CM|FO}_StreamID_{stream}_{DD}_{MM}_{YYYY}.bin"; these functions
// check the parts of such a path, compose it, and check that the file is there.
//
// Nothing here keeps state or owns anything; the functions may be called from anywhere. Plain
// C++ with no Python in it; failures come back as Status / Result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "status.h"

namespace tidemark {

// The two market segments of the feed: cash and futures-and-options.
enum class FeedSegment { kCash, kFuturesOptions };

// Returns the directory name of a segment: "NSE_CM" or "NSE_FO".
std::string_view feed_segment_long_name(FeedSegment segment);

// Returns the name a segment has inside a file name: "CM" or "FO".
std::string_view feed_segment_short_name(FeedSegment segment);

// Returns the segment named by `text` ("NSE_CM", "CM", "NSE_FO" or "FO", in any case, with
// white space around it allowed), or the unknown-segment failure naming the trimmed,
// upper-cased text.
Result<FeedSegment> parse_feed_segment(std::string_view text);

// Returns the path of the feed file of one segment, stream and day under `base_path` (default
// "/nas/50.30", trailing '/' removed), or the failure of the first check that does not pass:
// segment, stream_id > 0, day 1-31, month 1-12, year 2000-2100.
Result<std::string> compose_feed_path(std::string_view segment, uint32_t stream_id, uint32_t day,
                                      uint32_t month, uint32_t year,
                                      std::optional<std::string_view> base_path);

// Returns success when the system can stat `path` (following symbolic links; a directory
// counts), else the failure "file not found: {path}".
Status verify_path_exists(const std::string& path);

}  // namespace tidemark
