#include <string>

#include "drivers.h"
#include "status_record.h"

namespace kov::run {

std::int32_t RecordedErrorCode() {
  std::string message;
  return ReadEngineError(&message);
}

}  // namespace kov::run
