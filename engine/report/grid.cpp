#include "report/grid.h"

namespace kov::report {

namespace {

char CharacterAt(const std::string& text, std::size_t index) {
  return index < text.size() ? text[index] : ' ';
}

}  // namespace

std::vector<std::string> ColumnLabelLines(const std::vector<std::string>& labels,
                                          std::size_t indent) {
  std::vector<std::string> lines;
  lines.reserve(kHeaderLines);
  for (std::size_t j = 0; j < kHeaderLines; ++j) {
    std::string line(indent, ' ');
    line += '|';
    for (const std::string& label : labels) {
      line += "  ";
      line += CharacterAt(label, j);
      line += "  |";
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<std::string> ItemHeaderLines(const std::vector<std::string>& itemLabels,
                                         const std::vector<std::string>& categoryLabels) {
  const std::string noCategory;
  std::vector<std::string> lines;
  lines.reserve(kHeaderLines);
  for (std::size_t j = 0; j < kHeaderLines; ++j) {
    std::string line(9, ' ');
    for (std::size_t item = 0; item < itemLabels.size(); ++item) {
      const std::string& category =
          item < categoryLabels.size() ? categoryLabels[item] : noCategory;
      line += "| ";
      line += CharacterAt(itemLabels[item], j);
      line += ' ';
      line += CharacterAt(category, j);
      line += ' ';
    }
    line += '|';
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string GridRow(std::string_view label, const std::vector<std::string>& cells,
                    std::size_t spacing) {
  std::string row = " ";
  row += label;
  for (const std::string& cell : cells) {
    row.append(spacing, ' ');
    row += cell;
  }
  return row;
}

}  // namespace kov::report
