// The lines of a report grid: labels spelled downwards above the columns, "|" between columns,
// and rows whose 5-character cells sit between the bars of the header above them.
//
// Columns are counted from 1. A row is one blank, its label, and per column `spacing` blanks and
// the cell; with spacing 1 and an 8-character label the first cell takes columns 11-15, the
// second 17-21, and so on, under headers whose bars stand in columns 10, 16, 22, ...
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kov::report {

// Height of a header: one line per character of an 8-character label.
inline constexpr std::size_t kHeaderLines = 8;

// Header of columns headed by one label each: line j is `indent` blanks, "|", and per column
// two blanks, the j-th character of the label, two blanks and "|".
std::vector<std::string> ColumnLabelLines(const std::vector<std::string>& labels,
                                          std::size_t indent);

// Header of item columns for one response category: line j is 9 blanks and per item "|", a
// blank, the j-th character of the item label, a blank, the j-th character of the category
// label and a blank; a final "|" closes the line.
std::vector<std::string> ItemHeaderLines(const std::vector<std::string>& itemLabels,
                                         const std::vector<std::string>& categoryLabels);

// One blank, the label as given, and per cell `spacing` blanks followed by the cell.
std::string GridRow(std::string_view label, const std::vector<std::string>& cells,
                    std::size_t spacing);

}  // namespace kov::report
