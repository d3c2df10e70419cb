#include "feed_path.h"

#include <sys/stat.h>

#include "unicode_text.h"

namespace tidemark {

namespace {

constexpr std::string_view kDefaultBase = "/nas/50.30";

// Appends `value` in decimal with at least `width` digits.
void append_padded(std::string& out, uint32_t value, int width) {
  const std::string digits = std::to_string(value);
  for (int i = static_cast<int>(digits.size()); i < width; ++i) out.push_back('0');
  out += digits;
}

// The failure of a value outside its range, e.g. "invalid day 32 — must be 1–31".
Status out_of_range(std::string_view what, uint32_t value, std::string_view bounds) {
  std::string text = "invalid ";
  text += what;
  text.push_back(' ');
  text += std::to_string(value);
  text += " \u2014 must be ";
  text += bounds;
  return Status::error(std::move(text));
}

}  // namespace

std::string_view feed_segment_long_name(FeedSegment segment) {
  return segment == FeedSegment::kCash ? "NSE_CM" : "NSE_FO";
}

std::string_view feed_segment_short_name(FeedSegment segment) {
  return segment == FeedSegment::kCash ? "CM" : "FO";
}

Result<FeedSegment> parse_feed_segment(std::string_view text) {
  const std::string upper = to_upper_full(trim_white_space_view(text));
  if (upper == "CM" || upper == "NSE_CM") return FeedSegment::kCash;
  if (upper == "FO" || upper == "NSE_FO") return FeedSegment::kFuturesOptions;
  return Status::error("unknown segment '" + upper +
                       "' \u2014 expected one of: NSE_CM, CM, NSE_FO, FO");
}

Result<std::string> compose_feed_path(std::string_view segment_text, uint32_t stream_id,
                                      uint32_t day, uint32_t month, uint32_t year,
                                      std::optional<std::string_view> base_path) {
  const Result<FeedSegment> segment = parse_feed_segment(segment_text);
  if (!segment.ok()) return segment.status();
  if (stream_id == 0) return Status::error("stream_id must be > 0");
  if (day < 1 || day > 31) return out_of_range("day", day, "1\u201331");
  if (month < 1 || month > 12) return out_of_range("month", month, "1\u201312");
  if (year < 2000 || year > 2100) return out_of_range("year", year, "2000\u20132100");

  std::string_view base = base_path.value_or(kDefaultBase);
  while (!base.empty() && base.back() == '/') base.remove_suffix(1);

  std::string path(base);
  path.push_back('/');
  path += feed_segment_long_name(segment.value());
  path += "/Feed_";
  path += feed_segment_short_name(segment.value());
  path += "_StreamID_";
  path += std::to_string(stream_id);
  path.push_back('_');
  append_padded(path, day, 2);
  path.push_back('_');
  append_padded(path, month, 2);
  path.push_back('_');
  append_padded(path, year, 4);
  path += ".bin";
  return path;
}

Status verify_path_exists(const std::string& path) {
  struct stat st;
  // A path with a NUL in it names no file; stat would see only the part before the NUL.
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) {
    return Status::error("file not found: " + path);
  }
  return Status();
}

}  // namespace tidemark
