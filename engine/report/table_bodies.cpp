#include "report/table_bodies.h"

#include <algorithm>

#include "base/result_codes.h"
#include "report/fields.h"
#include "report/grid.h"
#include "report/report_lines.h"

namespace kov::report {

namespace {

using input::Model;
using input::TextOutput;

std::vector<std::string> Labels(const std::vector<std::string>& labels, std::int32_t count) {
  std::vector<std::string> fitted;
  for (std::int32_t n = 0; n < count; ++n) fitted.push_back(LabelAt(labels, n));
  return fitted;
}

// The labels of category k of every item; blanks beyond an item's own categories.
std::vector<std::string> CategoryLabels(const std::vector<std::vector<std::string>>& labels,
                                        std::int32_t items, std::int32_t k) {
  const std::vector<std::string> none;
  std::vector<std::string> fitted;
  for (std::int32_t i = 0; i < items; ++i) {
    const auto item = static_cast<std::size_t>(i);
    fitted.push_back(LabelAt(item < labels.size() ? labels[item] : none, k));
  }
  return fitted;
}

// Per category: its heading, the item header and one row per row label; cell(k, i, row).
std::int32_t WriteCategoryGrids(
    TextOutput& out, const std::vector<std::string>& itemLabels,
    const std::vector<std::vector<std::string>>& categoryLabels, std::int32_t categories,
    const std::vector<std::string>& rowLabels,
    const std::function<std::string(std::int32_t, std::int32_t, std::int32_t)>& cell) {
  const auto items = static_cast<std::int32_t>(itemLabels.size());
  for (std::int32_t k = 0; k < categories; ++k) {
    std::vector<std::string> lines = {
        "", std::string(10, ' ') + "RESPONSE CATEGORY " + FormatInteger(k + 1, 2), ""};
    const std::vector<std::string> categoryRow = CategoryLabels(categoryLabels, items, k);
    for (std::string& line : ItemHeaderLines(itemLabels, categoryRow)) {
      lines.push_back(std::move(line));
    }
    for (std::int32_t row = 0; row < static_cast<std::int32_t>(rowLabels.size()); ++row) {
      std::vector<std::string> cells;
      for (std::int32_t i = 0; i < items; ++i) cells.push_back(cell(k, i, row));
      lines.push_back(GridRow(rowLabels[static_cast<std::size_t>(row)], cells, 1));
    }
    if (const std::int32_t status = WriteLines(out, lines); status != kStatusOk) return status;
  }
  return out.Status();
}

// The rows of one transition block: S rows labelled by status, or S x S rows labelled by the
// pair (status at t-1, status at t) with the later status varying fastest.
std::vector<std::string> TransitionRows(const Model& model, std::int32_t c, std::int32_t firstRow,
                                        bool pairs, const TransitionCell& cell) {
  const std::int32_t statuses = model.dims.statuses;
  const std::vector<std::string> labels = Labels(model.statusLabels, statuses);
  std::vector<std::string> rows;
  const std::int32_t count = pairs ? statuses * statuses : statuses;
  for (std::int32_t n = 0; n < count; ++n) {
    const std::string label =
        pairs ? labels[static_cast<std::size_t>(n / statuses)] + ' ' +
                    labels[static_cast<std::size_t>(n % statuses)]
              : labels[static_cast<std::size_t>(n)];
    std::vector<std::string> cells;
    for (std::int32_t j = 0; j < statuses; ++j) cells.push_back(cell(firstRow + n, j, c));
    rows.push_back(GridRow(label, cells, 1));
  }
  return rows;
}

}  // namespace

std::int32_t WriteLittleRhoBody(TextOutput& out, const Model& model, const LittleRhoCell& cell) {
  const input::ModelDimensions& dims = model.dims;
  const std::int32_t status = WriteCategoryGrids(
      out, Labels(model.classItemLabels, dims.classItems), model.classCategoryLabels,
      dims.maxClassCategories, Labels(model.classLabels, dims.classes), cell);
  if (status != kStatusOk) return status;
  return WriteLines(out, {" ", " "});
}

std::int32_t WriteBigRhoBody(TextOutput& out, const Model& model, const OccasionIntro& intro,
                             const BigRhoCell& cell) {
  const input::ModelDimensions& dims = model.dims;
  const std::vector<std::string> itemLabels = Labels(model.statusItemLabels, dims.statusItems);
  const std::vector<std::string> statusLabels = Labels(model.statusLabels, dims.statuses);
  for (std::int32_t c = 0; c < dims.classes; ++c) {
    for (std::int32_t t = 0; t < dims.OccasionExtent(); ++t) {
      std::int32_t status = WriteLines(out, {"", intro(c, t)});
      if (status != kStatusOk) return status;
      status = WriteCategoryGrids(
          out, itemLabels, model.statusCategoryLabels, dims.maxStatusCategories, statusLabels,
          [&](std::int32_t k, std::int32_t i, std::int32_t s) { return cell(k, i, s, c, t); });
      if (status != kStatusOk) return status;
    }
  }
  return out.Status();
}

std::int32_t WriteGammaBody(TextOutput& out, const Model& model, const ClassCell& cell) {
  std::vector<std::string> lines;
  for (std::int32_t c = 0; c < model.dims.classes; ++c) {
    lines.push_back(" " + LabelAt(model.classLabels, c) + "  " + cell(c));
  }
  lines.emplace_back(" ");
  return WriteLines(out, lines);
}

std::vector<std::string> OccasionColumnLines(
    const Model& model, std::int32_t occasions,
    const std::function<std::string(std::int32_t s, std::int32_t t)>& cell) {
  std::vector<std::string> lines;
  for (std::int32_t first = 0; first < occasions; first += kOccasionsPerBlock) {
    const std::int32_t end = std::min(occasions, first + kOccasionsPerBlock);
    std::string timeHeader(11, ' ');
    for (std::int32_t t = first; t < end; ++t) timeHeader += "TIME" + FormatInteger(t + 1, 2) + ' ';
    lines.emplace_back("");
    lines.push_back(std::move(timeHeader));
    for (std::int32_t s = 0; s < model.dims.statuses; ++s) {
      std::vector<std::string> cells;
      for (std::int32_t t = first; t < end; ++t) cells.push_back(cell(s, t));
      lines.push_back(GridRow(LabelAt(model.statusLabels, s), cells, 2));
    }
  }
  return lines;
}

std::int32_t WriteDeltaBody(TextOutput& out, const Model& model, const std::string& classHeading,
                            const OccasionCell& cell) {
  const input::ModelDimensions& dims = model.dims;
  for (std::int32_t c = 0; c < dims.classes; ++c) {
    std::vector<std::string> lines;
    if (dims.classes > 1) {
      lines = {"", "", classHeading + QuotedLabel(LabelAt(model.classLabels, c))};
    }
    for (std::string& line :
         OccasionColumnLines(model, dims.OccasionExtent(),
                             [&](std::int32_t s, std::int32_t t) { return cell(s, t, c); })) {
      lines.push_back(std::move(line));
    }
    if (const std::int32_t status = WriteLines(out, lines); status != kStatusOk) return status;
  }
  return out.Status();
}

std::int32_t WriteTauBody(TextOutput& out, const Model& model, const ClassIntro& intro,
                          const TransitionCell& cell) {
  const input::ModelDimensions& dims = model.dims;
  const std::int32_t statuses = dims.statuses;
  const std::vector<std::string> targets = Labels(model.statusLabels, statuses);
  const bool secondOrder = dims.order == 2;
  const std::int32_t blockRows = secondOrder ? statuses * statuses : statuses;
  for (std::int32_t c = 0; c < dims.classes; ++c) {
    std::vector<std::string> lines = intro(c);
    lines.insert(lines.end(), {"", " ROWS REPRESENT LATENT STATUS MEMBERSHIP AT TIME 1",
                               " COLUMNS REPRESENT LATENT STATUS MEMBERSHIP AT TIME 2", ""});
    for (std::string& line : ColumnLabelLines(targets, 9)) lines.push_back(std::move(line));
    for (std::string& row : TransitionRows(model, c, 0, false, cell)) lines.push_back(std::move(row));
    // Transition t -> t+1 (1-based) for t = 2 .. T-1. The bound on the rows keeps a model whose
    // order is neither 1 nor 2, whose blocks have another size, inside its tau array.
    for (std::int32_t t = 2; t < dims.occasions; ++t) {
      const std::int32_t firstRow = statuses + (t - 2) * blockRows;
      if (firstRow + blockRows > dims.TransitionRows()) break;
      lines.emplace_back("");
      if (secondOrder) {
        lines.push_back(" ROWS REPRESENT LATENT STATUS MEMBERSHIP AT TIMES" +
                        FormatInteger(t - 1, 2) + " AND" + FormatInteger(t, 2));
        lines.push_back(" COLUMNS REPRESENT LATENT STATUS MEMBERSHIP AT TIME" +
                        FormatInteger(t + 1, 2));
        // The pair labels take 17 columns, so the bars move right by 9.
        for (std::string& line : ColumnLabelLines(targets, 18)) lines.push_back(std::move(line));
      } else {
        lines.push_back(" ROWS REPRESENT LATENT STATUS MEMBERSHIP AT TIME" + FormatInteger(t, 2));
        lines.push_back(" COLUMNS REPRESENT LATENT STATUS MEMBERSHIP AT TIME" +
                        FormatInteger(t + 1, 2));
        lines.emplace_back("");
        for (std::string& line : ColumnLabelLines(targets, 9)) lines.push_back(std::move(line));
      }
      for (std::string& row : TransitionRows(model, c, firstRow, secondOrder, cell)) {
        lines.push_back(std::move(row));
      }
    }
    if (const std::int32_t status = WriteLines(out, lines); status != kStatusOk) return status;
  }
  return out.Status();
}

std::int32_t WriteLittleRhoHeading(input::TextOutput& out) {
  return WriteLines(out, {kRule, "", " LITTLE RHO PARAMETERS",
                          " LITTLE RHOS ARE PROBABILITIES OF RESPONSES",
                          " TO ITEMS MEASURING THE STATIC LATENT VARIABLE",
                          " CONDITIONAL ON LATENT CLASS MEMBERSHIP"});
}

}  // namespace kov::report
