// Arguments shared by the native functions of the replay tables: the feed
// paths, the selected tokens and the exch_ts range of the rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding.h"
#include "feed_input.h"
#include "replay_engine.h"

namespace tidemark::py {

// Sets ValueError "argument '{name}': {text}"; returns nullptr.
PyObject* raise_argument_value(const char* name, const std::string& text);

// Reads argument i, a str or a list or tuple of str, into `out` (at least
// one path). Returns true, or false with an exception naming the argument.
bool take_paths(const Args& args, std::size_t i, std::vector<std::string>& out);

// Reads argument i, None or a list or tuple of tokens, into `out`.
bool take_tokens(const Args& args, std::size_t i, std::optional<std::vector<uint32_t>>& out);

// Reads tokens (argument i), start and end (i + 1, i + 2; None or an int of
// nanoseconds) into `out`.
bool take_row_selection(const Args& args, std::size_t i, arrow::RowSelection& out);

// Reads follow_flush_ns (argument i) and idle_timeout_ns (i + 1), None or
// ints of nanoseconds: a flush interval given means following, with a new
// stop flag. Returns false with an exception set.
bool take_follow(const Args& args, std::size_t i, std::optional<input::FollowOptions>& out);

// Reads argument i, the number of shard threads (absent: 1), into `out`:
// from 1 to arrow::kMaxShards.
bool take_threads(const Args& args, std::size_t i, uint64_t& out);

// Opens and checks every path (checked_input); returns false with an
// exception set (a RuntimeError names the file when there are several).
// With `follow`, the last file (every file with `follow_all`) is followed
// as it grows.
bool check_inputs(const std::vector<std::string>& paths, arrow::ReplayEngine::Inputs& out,
                  const input::FollowOptions* follow = nullptr, bool follow_all = false);

}  // namespace tidemark::py
