// Internal faults of the engine. The binding layer turns every Fault into the
// module's PanicException carrying what().
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace fernquill {

class Fault : public std::exception {
 public:
  explicit Fault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

}  // namespace fernquill
