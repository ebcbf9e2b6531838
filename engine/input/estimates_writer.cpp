#include "estimates_writer.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "../base/result_codes.h"

namespace kov::input {

namespace {

// Collects the values of one group into lines of the format's width and count.
class GroupWriter {
 public:
  GroupWriter(const NumberFormat& format, TextOutput& out)
      : m_perLine(std::max(format.valuesPerLine, 1)),
        m_width(static_cast<std::size_t>(std::max(format.width, 0))),
        m_decimals(std::max(format.decimals, 0)),
        // The widest fixed-point double: 309 integer digits, a sign, a point, the decimals.
        m_digits(static_cast<std::size_t>(m_decimals) + 320, '\0'),
        m_out(out) {}

  void Add(double value) {
    const auto result = std::to_chars(m_digits.data(), m_digits.data() + m_digits.size(), value,
                                      std::chars_format::fixed, m_decimals);
    const std::size_t length = static_cast<std::size_t>(result.ptr - m_digits.data());
    // At least one blank before every value keeps neighbours apart for a free-format reader.
    const std::size_t field = std::max(m_width, length + 1);
    m_line.append(field - length, ' ');
    m_line.append(m_digits.data(), length);
    if (++m_onLine == m_perLine) FlushLine();
  }

  // Ends the group: its last line may hold fewer values. kStatusOk or the first write failure.
  std::int32_t EndGroup() {
    if (m_onLine > 0) FlushLine();
    return m_status;
  }

 private:
  void FlushLine() {
    if (m_status == kStatusOk) m_status = m_out.WriteLine(m_line);
    m_line.clear();
    m_onLine = 0;
  }

  int m_perLine;
  std::size_t m_width;
  int m_decimals;
  std::string m_digits;
  TextOutput& m_out;
  std::string m_line;
  int m_onLine = 0;
  std::int32_t m_status = kStatusOk;
};

}  // namespace

std::int32_t WriteParameterEstimates(const ModelDimensions& dims, const ParameterSet& values,
                                     std::int32_t lastIteration, const NumberFormat& format,
                                     TextOutput& out) {
  GroupWriter group(format, out);
  std::int32_t status = kStatusOk;

  if (dims.HasClasses()) {
    const MultiIndex<1> at = GammaShape(dims);
    for (std::size_t c = 0; c < at.Extent(0); ++c) group.Add(values.gamma[at(c)]);
    if ((status = group.EndGroup()) != kStatusOk) return status;
  }

  if (dims.HasStatuses()) {
    const MultiIndex<3> deltaAt = DeltaShape(dims);
    for (std::size_t c = 0; c < deltaAt.Extent(0); ++c) {
      for (std::size_t s = 0; s < deltaAt.Extent(1); ++s) group.Add(values.delta[deltaAt(c, s, 0)]);
    }
    if ((status = group.EndGroup()) != kStatusOk) return status;

    const MultiIndex<3> tauAt = TauShape(dims);
    const std::size_t statuses = tauAt.Extent(1);
    auto writeRows = [&](std::size_t first, std::size_t end, std::size_t c) {
      for (std::size_t r = first; r < end; ++r) {
        for (std::size_t j = 0; j < statuses; ++j) group.Add(values.tau[tauAt(r, j, c)]);
      }
      return group.EndGroup();
    };
    for (std::size_t c = 0; c < tauAt.Extent(2); ++c) {
      if ((status = writeRows(0, statuses, c)) != kStatusOk) return status;
      if (dims.occasions >= 3 && (status = writeRows(statuses, tauAt.Extent(0), c)) != kStatusOk) {
        return status;
      }
    }
  }

  if (dims.HasClasses() && dims.maxClassCategories > 0) {
    const MultiIndex<3> at = LittleRhoShape(dims);
    for (std::size_t k = 0; k < at.Extent(0); ++k) {
      for (std::size_t c = 0; c < at.Extent(2); ++c) {
        for (std::size_t i = 0; i < at.Extent(1); ++i) group.Add(values.littleRho[at(k, i, c)]);
        if ((status = group.EndGroup()) != kStatusOk) return status;
      }
    }
  }

  if (dims.HasStatuses()) {
    const MultiIndex<5> at = BigRhoShape(dims);
    for (std::size_t c = 0; c < at.Extent(3); ++c) {
      for (std::size_t t = 0; t < at.Extent(4); ++t) {
        for (std::size_t k = 0; k < at.Extent(0); ++k) {
          for (std::size_t s = 0; s < at.Extent(2); ++s) {
            for (std::size_t i = 0; i < at.Extent(1); ++i) {
              group.Add(values.bigRho[at(k, i, s, c, t)]);
            }
            if ((status = group.EndGroup()) != kStatusOk) return status;
          }
        }
      }
    }
  }

  if (lastIteration >= 0) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, lastIteration);
    std::string line = " ";
    line.append(digits, result.ptr);
    return out.WriteLine(line);
  }
  return kStatusOk;
}

}  // namespace kov::input
