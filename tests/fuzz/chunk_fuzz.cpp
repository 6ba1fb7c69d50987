// The encrypted chunk stream as FetchImageBytes reads it, and base64 decoding. Inputs whose
// first byte is even are taken as the member's bytes; odd ones as base64 texts, one per chunk,
// that the target encrypts with the pass phrase first, so that the decoder sees them.
#include <nettle/des.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "flash/image_format.h"
#include "flash/image_key.h"
#include "flash/image_reader.h"
#include "fuzz/fuzz_terminal.h"
#include "sim/image_cipher.h"

namespace {

std::string Encrypt(const uint8_t* text, std::size_t size) {
  uint8_t key[8];
  image_format::DeriveDesKey(reinterpret_cast<const uint8_t*>(image_format::kPassPhrase), 8, key);
  des_ctx des;
  des_set_key(&des, key);
  std::string chunk(reinterpret_cast<const char*>(text), size);
  const std::size_t pad = 8 - chunk.size() % 8;
  chunk.append(pad, static_cast<char>(pad));
  auto* bytes = reinterpret_cast<uint8_t*>(chunk.data());
  des_encrypt(&des, chunk.size(), bytes, bytes);
  std::string out(4, '\0');
  const auto length = static_cast<uint32_t>(chunk.size());
  std::memcpy(out.data(), &length, 4);
  return out + chunk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::FuzzTerminal(true);
  ImageKey key;
  InitImageKey(key);
  if (size == 0) return 0;

  // Base64 on its own: the output never passes 3 bytes per 4 characters.
  std::vector<uint8_t> out((size + 3) / 4 * 3 + 1, 0xEE);
  uint32_t decoded = 0;
  Base64Decode(data, size, out.data(), &decoded);
  if (decoded + 1 > out.size() || out[decoded] != 0) std::abort();

  std::string stream;
  if (data[0] % 2 == 0) {
    stream.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
  } else {
    for (std::size_t at = 1; at < size;) {
      const std::size_t n = std::min<std::size_t>(size - at, 1 + data[at] % 64);
      stream += Encrypt(data + at, n);
      at += n;
    }
  }
  std::size_t at = 0;
  const MemberRead read = [&](uint8_t* buffer, uint32_t count, uint32_t* got) {
    *got = static_cast<uint32_t>(std::min<std::size_t>(count, stream.size() - at));
    std::memcpy(buffer, stream.data() + at, *got);
    at += *got;
    return 1;
  };
  ChunkReader reader;
  reader.key = &key;
  std::vector<uint8_t> target(64);
  for (std::size_t i = 0; i < 64; ++i) {
    const uint32_t count = 1 + static_cast<uint32_t>(data[i % size] % target.size());
    if (!FetchImageBytesFrom(reader, read, count, target.data())) break;
  }
  ResetChunkReader(reader);
  return 0;
}
