// A small mutational driver for the fuzz targets, so that they run in every build (and under
// the sanitizers in CI) without a fuzzing compiler: every file of the seed corpus, then a
// fixed number of deterministic mutations of them. Built with clang's libFuzzer instead, the
// same targets take libFuzzer's options.
//
//   <target> CORPUS_DIR [--iterations N] [--seed S] [--max-size BYTES]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

// Values that parsers tend to branch on.
constexpr uint32_t kInteresting[] = {0,      1,          2,          3,          4,
                                     5,      0x7F,       0x80,       0xFF,       0x100,
                                     0xFFFF, 0x10000,    0x7FFFFFFF, 0x80000000, 0xFFFFFFFE,
                                     0xFFFFFFFF};

Bytes Mutate(const std::vector<Bytes>& corpus, std::mt19937& random, std::size_t maxSize) {
  Bytes data = corpus[random() % corpus.size()];
  const int steps = 1 + static_cast<int>(random() % 4);
  for (int step = 0; step < steps; ++step) {
    const std::size_t size = data.size();
    switch (random() % 8) {
      case 0:  // flip a bit
        if (size > 0) data[random() % size] ^= static_cast<uint8_t>(1U << (random() % 8));
        break;
      case 1:  // set a byte
        if (size > 0) data[random() % size] = static_cast<uint8_t>(random());
        break;
      case 2: {  // write an interesting 32-bit value, little-endian, stored complemented or not
        if (size < 4) break;
        uint32_t value = kInteresting[random() % std::size(kInteresting)];
        if (random() % 2 == 0) value = ~value;
        const std::size_t at = random() % (size - 3);
        for (int i = 0; i < 4; ++i) data[at + i] = static_cast<uint8_t>(value >> (8 * i));
        break;
      }
      case 3:  // truncate
        if (size > 0) data.resize(random() % size);
        break;
      case 4: {  // insert bytes
        const std::size_t at = size == 0 ? 0 : random() % (size + 1);
        const std::size_t count = 1 + random() % 16;
        Bytes insert(count);
        for (auto& b : insert) b = static_cast<uint8_t>(random());
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), insert.begin(), insert.end());
        break;
      }
      case 5: {  // erase bytes
        if (size == 0) break;
        const std::size_t at = random() % size;
        const std::size_t count = std::min<std::size_t>(1 + random() % 16, size - at);
        data.erase(data.begin() + static_cast<std::ptrdiff_t>(at),
                   data.begin() + static_cast<std::ptrdiff_t>(at + count));
        break;
      }
      case 6: {  // splice with another input
        const Bytes& other = corpus[random() % corpus.size()];
        if (other.empty() || size == 0) break;
        const std::size_t cut = random() % size;
        const std::size_t from = random() % other.size();
        data.resize(cut);
        data.insert(data.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        break;
      }
      default: {  // duplicate a stretch
        if (size == 0) break;
        const std::size_t at = random() % size;
        const std::size_t count = std::min<std::size_t>(1 + random() % 64, size - at);
        const Bytes copy(data.begin() + static_cast<std::ptrdiff_t>(at),
                         data.begin() + static_cast<std::ptrdiff_t>(at + count));
        data.insert(data.begin() + static_cast<std::ptrdiff_t>(random() % (size + 1)),
                    copy.begin(), copy.end());
        break;
      }
    }
  }
  if (data.size() > maxSize) data.resize(maxSize);
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR [--iterations N] [--seed S] [--max-size B]\n",
                 argv[0]);
    return 2;
  }
  long iterations = 20000;
  unsigned long seed = 1;
  std::size_t maxSize = 1 << 16;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--iterations") iterations = std::strtol(argv[i + 1], nullptr, 10);
    if (option == "--seed") seed = std::strtoul(argv[i + 1], nullptr, 10);
    if (option == "--max-size") maxSize = std::strtoul(argv[i + 1], nullptr, 10);
  }
  std::vector<Bytes> corpus;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(corpus.back().data(), corpus.back().size());
  }
  if (corpus.empty()) corpus.emplace_back();
  std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
  for (long i = 0; i < iterations; ++i) {
    const Bytes input = Mutate(corpus, random, maxSize);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("%zu seed inputs and %ld mutations ran\n", corpus.size(), iterations);
  return 0;
}
