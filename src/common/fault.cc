#include "common/fault.h"

#include <utility>

namespace veltar {

Fault::Fault(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

}  // namespace veltar
