// The bodies of the five tables. The parameter tables and the restrictions report print the same
// grids, once with probabilities and once with restriction codes: each body takes the text of a
// cell from its caller, given the 0-based indices of the entry, and the caller writes the
// headings that differ between the two.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/text_output.h"
#include "input/model.h"

namespace kov::report {

using ClassCell = std::function<std::string(std::int32_t c)>;
// Entry (s, t, c) of the occasion grid of one class.
using OccasionCell = std::function<std::string(std::int32_t s, std::int32_t t, std::int32_t c)>;
// Entry (r, j, c): transition row r to target status j in class c.
using TransitionCell = std::function<std::string(std::int32_t r, std::int32_t j, std::int32_t c)>;
using LittleRhoCell = std::function<std::string(std::int32_t k, std::int32_t i, std::int32_t c)>;
using BigRhoCell = std::function<std::string(std::int32_t k, std::int32_t i, std::int32_t s,
                                             std::int32_t c, std::int32_t t)>;
// The lines that introduce one class's part of a table.
using ClassIntro = std::function<std::vector<std::string>(std::int32_t c)>;
// The line that introduces the grids of class c at occasion t.
using OccasionIntro = std::function<std::string(std::int32_t c, std::int32_t t)>;

// Occasions side by side in one block of a grid whose columns are occasions: five keep its lines
// (46 columns) inside the width of the report's rule lines (51); a sixth would pass it.
inline constexpr std::int32_t kOccasionsPerBlock = 5;

// A grid with one row per status and one column per occasion, cell(s, t). Occasions 1 to
// kOccasionsPerBlock form the first block, the next ones the second, and so on; each block is an
// empty line, its time header (11 blanks, then "TIME" and the 1-based occasion in 2 columns and a
// blank per column) and its rows (spacing 2). With at most kOccasionsPerBlock occasions this is
// the one block the delta table has always printed.
std::vector<std::string> OccasionColumnLines(
    const input::Model& model, std::int32_t occasions,
    const std::function<std::string(std::int32_t s, std::int32_t t)>& cell);

// The little rho heading, the same in the parameter tables and the restrictions report.
std::int32_t WriteLittleRhoHeading(input::TextOutput& out);

// Per response category: an empty line, 10 blanks and "RESPONSE CATEGORY " with k in 2 columns,
// an empty line, the item header and one row per latent class; two free blank lines close it.
std::int32_t WriteLittleRhoBody(input::TextOutput& out, const input::Model& model,
                                const LittleRhoCell& cell);

// Per class and, inside it, per occasion: an empty line, the introduction, and the response
// category grids of the status items with one row per latent status.
std::int32_t WriteBigRhoBody(input::TextOutput& out, const input::Model& model,
                             const OccasionIntro& intro, const BigRhoCell& cell);

// One line per class: one blank, the label, two blanks, the cell; then a line of one blank.
std::int32_t WriteGammaBody(input::TextOutput& out, const input::Model& model,
                            const ClassCell& cell);

// With more than one class, per class two empty lines and classHeading followed by the quoted
// class label; then the occasion blocks of OccasionColumnLines.
std::int32_t WriteDeltaBody(input::TextOutput& out, const input::Model& model,
                            const std::string& classHeading, const OccasionCell& cell);

// Per class: its introduction, then one grid per transition, rows in the order of the tau
// array (single statuses, or pairs of statuses for a second-order process after occasion 2).
std::int32_t WriteTauBody(input::TextOutput& out, const input::Model& model,
                          const ClassIntro& intro, const TransitionCell& cell);

}  // namespace kov::report
