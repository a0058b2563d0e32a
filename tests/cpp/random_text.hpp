// Random texts over a small alphabet, for the randomized engine tests.
#pragma once

#include <cstddef>
#include <random>
#include <string>

inline std::string random_text(std::mt19937_64& rng, const std::string& alphabet, std::size_t len) {
  std::string s;
  for (std::size_t k = 0; k < len; ++k) s += alphabet[rng() % alphabet.size()];
  return s;
}
