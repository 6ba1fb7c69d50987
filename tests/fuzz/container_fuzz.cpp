// Parses container headers and the checksum from memory: whatever the bytes, the reader must
// stay inside them, allocate no more than they hold, and stop.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "package/container_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  container::MemorySource source(bytes);
  const container::HeaderTable table = container::ReadHeaders(source);
  (void)container::DescribeHeaderError(table);

  uint64_t consumed = table.entries.empty() ? 0 : container::kMiniHeaderSize;
  for (const container::Entry& entry : table.entries) {
    if (entry.len < container::kMinEntryLength) std::abort();
    consumed += entry.len;
    (void)container::DataInside(entry, table.headerLength, size);
  }
  if (consumed > size || (table.ok() && table.headerLength != consumed)) std::abort();
  if (table.ok() && table.entries.size() < std::max<std::size_t>(table.mini.num, 1)) std::abort();

  // Chunked any way, the checksum comes out the same.
  container::ChecksumReader whole(size);
  whole.AddStored(bytes);
  container::ChecksumReader pieces(size);
  for (std::size_t at = 0; at < size;) {
    const std::size_t n = std::min<std::size_t>(size - at, 1 + data[at] % 97);
    pieces.AddStored(bytes.subspan(at, n));
    at += n;
  }
  if (whole.Computed() != pieces.Computed() || whole.Stored() != pieces.Stored()) std::abort();
  return 0;
}
