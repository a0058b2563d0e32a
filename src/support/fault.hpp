// Internal faults of the engine. The binding layer turns every Fault into the
// module's PanicException carrying what().
#pragma once

#include <stdexcept>
#include <string>

namespace fernquill {

class Fault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  std::string message() const { return what(); }
};

}  // namespace fernquill
