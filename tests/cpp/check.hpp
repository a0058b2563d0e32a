// A minimal test harness for the engine's C++ tests: TEST(name) registers a
// case, CHECK/CHECK_EQ record failures, main() runs every case (or those whose
// name contains argv[1]) and prints "N passed, N failed".
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}
inline int& failures() {
  static int n = 0;
  return n;
}

struct Register {
  Register(const char* name, std::function<void()> body) { registry().push_back({name, body}); }
};

inline void fail(const char* file, int line, const std::string& what) {
  ++failures();
  std::cerr << file << ":" << line << ": " << what << "\n";
}

}  // namespace check

#define CHECK_CAT2(a, b) a##b
#define CHECK_CAT(a, b) CHECK_CAT2(a, b)
#define TEST(name)                                                  \
  static void name();                                               \
  static ::check::Register CHECK_CAT(register_, name)(#name, name); \
  static void name()

#define CHECK(cond)                                                     \
  do {                                                                  \
    if (!(cond)) ::check::fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
  } while (0)

#define CHECK_EQ(a, b)                                                             \
  do {                                                                             \
    auto&& check_a_ = (a);                                                         \
    auto&& check_b_ = (b);                                                         \
    if (!(check_a_ == check_b_)) {                                                 \
      std::ostringstream check_os_;                                                \
      check_os_ << "CHECK_EQ(" #a ", " #b "): " << check_a_ << " != " << check_b_; \
      ::check::fail(__FILE__, __LINE__, check_os_.str());                          \
    }                                                                              \
  } while (0)
