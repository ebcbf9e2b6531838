#include "tau_failure.h"

#include <charconv>
#include <string>
#include <utility>

namespace kov::report {

namespace {

// The number right-aligned in 4 columns, or all its digits when it is wider.
std::string Number4(std::size_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const std::size_t length = static_cast<std::size_t>(end - digits);
  std::string field(length < 4 ? 4 - length : 0, ' ');
  return field.append(digits, length);
}

}  // namespace

std::int32_t WriteZeroTauDenominator(input::TextOutput& report, const ZeroTauDenominator& where) {
  const bool free = where.freeParameter;
  std::string text = "PROGRAM TERMINATED - DIVISION BY ZERO ATTEMPTED IN TAU MATRIX\n";
  text += free ? "THIS OCCURED IN A FREE PARAMETER\n" : "THIS OCCURED IN A CONSTRAINED PARAMETER\n";
  text += "IN ROW " + Number4(where.row) + "\n";
  if (where.namesClass) {
    text += "OF THE TAU MATRIX FOR LATENT CLASS" + Number4(where.latentClass) + "\n";
  }
  if (free) {
    text +=
        "THIS MEANS THAT THE DENOMINATOR FOR THIS ROW\n"
        "  (WHICH FOR FIRST-ORDER MODELS IS THE CORRESPONDING DELTA\n"
        "   AND FOR SECOND-ORDER MODELS IS THE JOINT PROBABILITY OF \n"
        "   LATENT STATUS MEMBERSHIP AT TIME T AND TIME T+1)\n"
        "HAS BEEN ESTIMATED AT ZERO.  THUS THERE IS NO ONE TO TRANSITION\n";
  } else {
    text +=
        "THIS MEANS THAT THE DENOMINATOR FOR THIS EQUIVALENCE CLASS\n"
        "HAS BEEN ESTIMATED AT ZERO, SO THERE IS NO ONE TO TRANSITION\n";
  }
  text +=
      "INTO THIS ROW OF THE TAU MATRIX.\n"
      "A SUGGESTED WAY OF DEALING WITH THIS IS TO CHANGE THE CONSTRAINTS\n"
      "SO THAT THE ENTIRE ROW OF THE TAU MATRIX IS FIXED TO ZERO\n"
      "EXCEPT FOR THE DIAGONAL ELEMENT, WHICH SHOULD BE FIXED TO ONE.";
  return report.WriteLine(text);
}

Status ExplainZeroTauDenominator(input::TextOutput& report, Status update,
                                 const ZeroTauDenominator& where) {
  if (const std::int32_t status = WriteZeroTauDenominator(report, where); status != kStatusOk) {
    return Status(status, "Unable to write to output file.");
  }
  return update;
}

}  // namespace kov::report
