#include "core/compact/results_loader.hpp"

#include <atomic>
#include <exception>
#include <memory>

#include "core/parallel/pool.hpp"

namespace brandor::compact {

namespace {

using json::Parser;
using json::ValueType;

bool spans_enabled_for(std::string_view text) { return text.size() <= kMaxSpanSnapshot; }

// Reads one record at the parser's position and appends it; a builder error
// stands just after the record.
void append_record(Parser& parser, ColumnBuilder& builder) {
    const Record record = read_record(parser);
    const std::string_view error = builder.append(record);
    if (!error.empty()) parser.fail_message(std::string(error));
}

// After the first record of a run that starts at `start`: reserve for the
// records a run of `length` bytes is likely to hold, with some slack.
void reserve_from_first(ColumnBuilder& builder, std::size_t length, std::size_t start, std::size_t first_end) {
    const std::size_t first = first_end > start ? first_end - start : 1;
    const std::size_t q = length / first;
    builder.reserve(q + q / 8 + 16);
}

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_whitespace(std::string_view text, std::size_t i) {
    while (i < text.size() && is_whitespace(text[i])) ++i;
    return i;
}

// The next '{' at or after `from` that follows '}' ',' with optional
// whitespace around the comma; text.size() when there is none.
std::size_t next_boundary(std::string_view text, std::size_t from) {
    for (std::size_t i = text.find('}', from); i != std::string_view::npos; i = text.find('}', i + 1)) {
        std::size_t j = skip_whitespace(text, i + 1);
        if (j >= text.size() || text[j] != ',') continue;
        j = skip_whitespace(text, j + 1);
        if (j < text.size() && text[j] == '{') return j;
    }
    return text.size();
}

// Parses the records of one piece, [start, end). A piece other than the last
// must stop exactly at `end` after a ','; only the last may close the array.
ColumnBuilder parse_piece(std::string_view text, std::size_t start, std::size_t end, bool last,
                          const std::atomic<bool>& abandoned) {
    ColumnBuilder builder(LoadMode::Results, spans_enabled_for(text));
    Parser parser(text, start, 1);  // inside the top-level array
    append_record(parser, builder);
    reserve_from_first(builder, end - start, start, parser.offset());
    for (;;) {
        if (!parser.next_element()) {
            if (!last) throw std::runtime_error("piece closed the array early");
            parser.finish();
            return builder;
        }
        if (!last && parser.offset() >= end) {
            if (parser.offset() != end) throw std::runtime_error("piece overran its end");
            return builder;
        }
        if (abandoned.load(std::memory_order_relaxed)) throw std::runtime_error("split abandoned");
        append_record(parser, builder);
    }
}

}  // namespace

void read_record_array(Parser& parser, ColumnBuilder& builder) {
    if (parser.peek_value() != ValueType::Array) parser.fail_invalid_type("bbox annotations");
    const std::size_t start = parser.offset();
    parser.begin_array();
    bool first = true;
    while (parser.next_element()) {
        append_record(parser, builder);
        if (first) {
            reserve_from_first(builder, parser.text().size() - start, start, parser.offset());
            first = false;
        }
    }
}

CompactColumns load_results_sequential(std::string_view text) {
    ColumnBuilder builder(LoadMode::Results, spans_enabled_for(text));
    Parser parser(text);
    read_record_array(parser, builder);
    parser.finish();
    return std::move(builder).finish();
}

std::vector<std::size_t> split_pieces(std::string_view text, std::size_t pieces) {
    std::size_t i = skip_whitespace(text, 0);
    if (i >= text.size() || text[i] != '[') return {};
    i = skip_whitespace(text, i + 1);
    if (i >= text.size() || text[i] != '{') return {};
    std::vector<std::size_t> starts{i};
    for (std::size_t k = 1; k < pieces; ++k) {
        const std::size_t candidate = std::max(text.size() / pieces * k, starts.front() + 1);
        const std::size_t at = next_boundary(text, candidate);
        if (at < text.size() && at > starts.back()) starts.push_back(at);
    }
    return starts;
}

std::optional<CompactColumns> load_results_in_pieces(std::string_view text, const std::vector<std::size_t>& starts) {
    const std::size_t n = starts.size();
    std::vector<std::unique_ptr<ColumnBuilder>> built(n);
    std::atomic<bool> failed{false};
    auto run = [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
            if (failed.load(std::memory_order_relaxed)) return;
            const bool last = k + 1 == n;
            try {
                built[k] = std::make_unique<ColumnBuilder>(
                    parse_piece(text, starts[k], last ? text.size() : starts[k + 1], last, failed));
            } catch (...) {
                // Any failure (a split inside a string, a syntax or builder
                // error) is settled by the sequential pass.
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    parallel::run_chunks(n, 1, parallel::ChunkFn(run));
    if (failed.load()) return std::nullopt;
    std::vector<ColumnBuilder> pieces;
    pieces.reserve(n);
    for (auto& b : built) pieces.push_back(std::move(*b));
    built.clear();
    return ColumnBuilder::join(std::move(pieces));
}

CompactColumns load_results(std::string_view text, std::size_t threads) {
    if (text.size() >= kParallelThreshold && threads > 1) {
        const std::vector<std::size_t> starts = split_pieces(text, kPiecesPerThread * threads);
        if (!starts.empty()) {
            if (auto columns = load_results_in_pieces(text, starts)) return std::move(*columns);
        }
    }
    return load_results_sequential(text);
}

}  // namespace brandor::compact
