#pragma once

// A batch of ticks as the reader made it (brindle_tools.replay.native.road.Prepared): the columns the
// loop reads, handed over through the Arrow C data interface.

#include <memory>
#include <utility>
#include <vector>

#include "research/arrow_column.hpp"
#include "research/python.hpp"

namespace oxa::research {

struct ColumnBatch {
    py::object source, file;  // the reader's Batch and its TickFile
    ArrowColumn keys, days, lines, instruments, bad;  // time, trading day, line, instrument, skipped
    bool has_bad = false;
    std::int64_t size = 0;
    std::int64_t rank = 0;  // of the batch's tick file among the files: first on equal times
    int layout = 0;  // batches of the same fields, in the same order, have the same layout
    std::vector<std::pair<int, ArrowColumn>> numbers;  // (slot, column)
    std::vector<std::pair<int, int>> others;  // (slot, position among the row's values)
    std::vector<std::pair<int, ArrowColumn>> texts;  // (position among the row's values, text column)
    int quote[6];  // LastPrice, Volume, BidPrice1, BidVolume1, AskPrice1, AskVolume1 among numbers
    int update_time = -1;  // UpdateTime's position among the row's values, -1 without one
    // UpperLimitPrice and LowerLimitPrice among numbers; -1 where the batch has no such field,
    // -2 where it is not among numbers.
    int limits[2] = {-1, -1};

    Value number(std::size_t at, std::int64_t row) const {
        const ArrowColumn& column = numbers[at].second;
        return column.type() == ArrowColumn::Type::Float64 ? Value::real(column.real(row))
                                                            : Value::integer(column.whole(row));
    }
    // A row's field as the tick dictionary holds it.
    py::object value(std::int64_t row, int position) const {
        for (const auto& [at, column] : texts) {
            if (at == position) return column.text(row);
        }
        return source.attr(name("value"))(row, position);
    }
};

std::shared_ptr<ColumnBatch> read_batch(py::handle prepared);

}  // namespace oxa::research
