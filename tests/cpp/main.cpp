#include <cstring>

#include "check.hpp"

int main(int argc, char** argv) {
  int passed = 0, failed = 0;
  for (const auto& c : check::registry()) {
    if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
    // Cases named driven_* need input prepared by a caller: only by name.
    if (argc == 1 && std::strncmp(c.name, "driven_", 7) == 0) continue;
    int before = check::failures();
    try {
      c.body();
    } catch (const std::exception& e) {
      check::fail(c.name, 0, std::string("uncaught exception: ") + e.what());
    }
    if (check::failures() == before) {
      ++passed;
    } else {
      ++failed;
      std::cerr << "FAILED " << c.name << "\n";
    }
  }
  std::cout << passed << " passed, " << failed << " failed\n";
  return failed == 0 ? 0 : 1;
}
