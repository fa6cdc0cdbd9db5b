// Reading annotation arrays into compact columns. A results file is parsed
// either in one sequential pass or, when it is large and the worker pool has
// several threads, speculatively in pieces cut at record boundaries found by
// a byte search; any failed piece discards the split and the sequential pass
// decides, so results and errors never depend on the split.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/compact/column_builder.hpp"
#include "core/json/parser.hpp"

namespace brandor::compact {

// Files from this size on are worth splitting.
inline constexpr std::size_t kParallelThreshold = 4u << 20;
// Pieces per pool thread.
inline constexpr std::size_t kPiecesPerThread = 4;

// Reads the array of Records at the parser's position into `builder`; a value
// that is not an array is an invalid-type error expecting "bbox annotations".
// The parser ends just after the closing ']'.
void read_record_array(json::Parser& parser, ColumnBuilder& builder);

// The sequential pass over a whole results file: one array, then only
// whitespace.
CompactColumns load_results_sequential(std::string_view text);

// Start offsets of the pieces of a results file for `pieces` pieces: the
// first is the '{' of the first record; an empty result when the file does not
// start with '[' and '{'.
std::vector<std::size_t> split_pieces(std::string_view text, std::size_t pieces);

// The parallel pass on the worker pool; nothing when any piece fails.
std::optional<CompactColumns> load_results_in_pieces(std::string_view text, const std::vector<std::size_t>& starts);

// The results loader: the parallel pass when the file is large enough and
// `threads` > 1 (pieces: kPiecesPerThread per thread), else or on failure the
// sequential one.
CompactColumns load_results(std::string_view text, std::size_t threads);

}  // namespace brandor::compact
