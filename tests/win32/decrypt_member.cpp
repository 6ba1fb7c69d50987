// decrypt_member.exe --terminal DIR ENCRYPTED PLAIN: decrypts an encrypted image member as the
// updater does on the Win32 backend: the image key from the terminal's key material (the
// hardware layer's control, or the pass phrase when the terminal has none) through CryptoAPI,
// then each chunk through DecryptImageChunk. Exit 0 when every chunk decrypted.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "flash/image_format.h"
#include "flash/image_key.h"
#include "platform/platform.h"
#include "win32/terminal.h"
#include "win32/win_api.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 5 || std::wstring(argv[1]) != L"--terminal") {
    std::fprintf(stderr, "usage: decrypt_member.exe --terminal DIR ENCRYPTED PLAIN\n");
    return 64;
  }
  auto terminal = win32::Win32Terminal::Open(argv[2], L".", {});
  if (!terminal) {
    std::fprintf(stderr, "decrypt_member: %s\n", terminal.error().c_str());
    return 64;
  }
  std::ifstream in(argv[3], std::ios::binary);
  const std::string encrypted{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  platform::Install((*terminal)->Backend());
  ImageKey key;
  InitImageKey(key);
  std::string plain;
  int result = 1;
  for (std::size_t at = 0; result == 1 && at + 4 <= encrypted.size();) {
    uint32_t length = 0;
    std::memcpy(&length, encrypted.data() + at, 4);
    at += 4;
    if (length > encrypted.size() - at) {
      result = 0;
      break;
    }
    auto* buffer = static_cast<uint8_t*>(
        platform::Kern().LocalAlloc(platform::kLmemFixed, length + image_format::kChunkSlack));
    std::memcpy(buffer, encrypted.data() + at, length);
    uint32_t decoded = 0;
    result = DecryptImageChunk(key, &buffer, length, &decoded);
    if (result == 1) plain.append(reinterpret_cast<const char*>(buffer), decoded);
    platform::Kern().LocalFree(buffer);
    at += length;
  }
  ReleaseImageKey(key);
  platform::Install({});
  if (result != 1) {
    std::fprintf(stderr, "decrypt_member: a chunk does not decrypt (%d, error 0x%X)\n", result,
                 platform::GetLastError());
    return 1;
  }
  std::ofstream(argv[4], std::ios::binary | std::ios::trunc) << plain;
  std::printf("decrypt_member: %zu bytes\n", plain.size());
  return 0;
}
