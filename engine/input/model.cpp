#include "model.h"

namespace kov::input {

void AllocateParameters(const ModelDimensions& dims, ParameterSet* values) {
  values->gamma.assign(GammaShape(dims).Size(), 0.0);
  values->delta.assign(DeltaShape(dims).Size(), 0.0);
  values->tau.assign(TauShape(dims).Size(), 0.0);
  values->littleRho.assign(LittleRhoShape(dims).Size(), 0.0);
  values->bigRho.assign(BigRhoShape(dims).Size(), 0.0);
}

void AllocateRestrictions(const ModelDimensions& dims, RestrictionSet* codes) {
  codes->gamma.assign(GammaShape(dims).Size(), 0);
  codes->delta.assign(DeltaCodeShape(dims).Size(), 0);
  codes->tau.assign(TauShape(dims).Size(), 0);
  codes->littleRho.assign(LittleRhoShape(dims).Size(), 0);
  codes->bigRho.assign(BigRhoShape(dims).Size(), 0);
}

std::string TrimRight(const std::string& text) {
  const std::size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

}  // namespace kov::input
