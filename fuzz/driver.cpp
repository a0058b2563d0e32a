// A mutation driver for the fuzz targets where libFuzzer is not available
// (gcc builds, CI). It takes the same core flags and corpus directories as
// libFuzzer, mutates corpus entries at random (no coverage feedback) and
// calls the target, so a bounded run works on any compiler:
//   fuzz_x [-runs=N] [-max_total_time=S] [-seed=N] [-max_len=N] [corpus_dir ...]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr std::size_t kPoolLimit = 4096;
constexpr std::uint64_t kInteresting[] = {0,    1,     2,     8,          0x7F,       0x80,
                                          0xFF, 0x100, 17408, 0xFFFFFFFF, ~0ull >> 1, ~0ull};

struct Options {
  std::uint64_t runs = 100000;
  double max_seconds = 0;
  std::uint64_t seed = 1;
  std::size_t max_len = 4096;
  std::vector<std::string> dirs;
};

bool flag(const char* arg, const char* name, const char** value) {
  const std::size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
  *value = arg + n + 1;
  return true;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const char* v;
    if (flag(argv[i], "-runs", &v)) {
      o.runs = std::strtoull(v, nullptr, 10);
    } else if (flag(argv[i], "-max_total_time", &v)) {
      o.max_seconds = std::strtod(v, nullptr);
    } else if (flag(argv[i], "-seed", &v)) {
      o.seed = std::strtoull(v, nullptr, 10);
    } else if (flag(argv[i], "-max_len", &v)) {
      o.max_len = std::strtoull(v, nullptr, 10);
    } else if (argv[i][0] != '-') {
      o.dirs.emplace_back(argv[i]);
    }
  }
  return o;
}

std::vector<std::string> load_corpus(const std::vector<std::string>& dirs) {
  std::vector<std::string> corpus;
  for (const auto& dir : dirs) {
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  if (corpus.empty()) corpus.emplace_back();
  return corpus;
}

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  void mutate(std::string& s, const std::vector<std::string>& pool, std::size_t max_len) {
    const int steps = 1 + static_cast<int>(below(4));
    for (int k = 0; k < steps; ++k) step(s, pool);
    if (s.size() > max_len) s.resize(max_len);
  }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : rng_() % n; }

 private:
  void step(std::string& s, const std::vector<std::string>& pool) {
    switch (below(7)) {
      case 0:  // flip a bit
        if (!s.empty()) s[below(s.size())] ^= static_cast<char>(1u << below(8));
        break;
      case 1:  // set a byte
        if (!s.empty()) s[below(s.size())] = static_cast<char>(rng_());
        break;
      case 2: {  // insert a few random bytes
        std::string bytes(1 + below(8), '\0');
        for (char& c : bytes) c = static_cast<char>(rng_());
        s.insert(below(s.size() + 1), bytes);
        break;
      }
      case 3:  // erase a range
        if (!s.empty()) {
          const std::size_t at = below(s.size());
          s.erase(at, 1 + below(std::min<std::size_t>(16, s.size() - at)));
        }
        break;
      case 4:  // duplicate a range elsewhere
        if (!s.empty()) {
          const std::size_t at = below(s.size());
          const std::string piece = s.substr(at, 1 + below(32));
          s.insert(below(s.size() + 1), piece);
        }
        break;
      case 5: {  // an interesting 64-bit little-endian value
        std::uint64_t v = kInteresting[below(std::size(kInteresting))];
        char bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(v >> (8 * i));
        const std::size_t at = below(s.size() + 1);
        s.replace(at, std::min<std::size_t>(8, s.size() - at), bytes, 8);
        break;
      }
      default: {  // splice with another entry
        const std::string& other = pool[below(pool.size())];
        const std::size_t cut = below(s.size() + 1);
        const std::size_t from = below(other.size() + 1);
        s = s.substr(0, cut) + other.substr(from);
        break;
      }
    }
  }
  std::mt19937_64 rng_;
};

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  std::vector<std::string> pool = load_corpus(o.dirs);
  for (const auto& entry : pool) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size());
  }
  Mutator m(o.seed);
  const auto t0 = std::chrono::steady_clock::now();
  std::uint64_t done = 0;
  std::string input;
  for (; done < o.runs; ++done) {
    if (o.max_seconds > 0 && (done & 255) == 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() >
            o.max_seconds) {
      break;
    }
    input = pool[m.below(pool.size())];
    m.mutate(input, pool, o.max_len);
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    // Keep some mutants, so later inputs drift further from the seeds.
    if (m.below(16) == 0) {
      if (pool.size() < kPoolLimit) {
        pool.push_back(input);
      } else {
        pool[m.below(pool.size())] = input;
      }
    }
  }
  std::printf("Done %llu runs\n", static_cast<unsigned long long>(done));
  return 0;
}
