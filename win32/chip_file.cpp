// The flash chip's file on Windows: reads and writes at offsets through the file's own handle.
#include "sim/chip_file.h"

#include <cstring>
#include <vector>

#include "win32/win_api.h"

namespace sim {

namespace {

class Win32ChipFile final : public ChipFile {
 public:
  explicit Win32ChipFile(HANDLE file) : m_file(file) {}
  ~Win32ChipFile() override { CloseHandle(m_file); }
  Win32ChipFile(const Win32ChipFile&) = delete;
  Win32ChipFile& operator=(const Win32ChipFile&) = delete;

  bool Read(uint64_t offset, uint8_t* out, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      OVERLAPPED at = At(offset + done);
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - done, 1U << 30));
      if (!ReadFile(m_file, out + done, want, &got, &at) || got == 0) {
        // Past the end of a short file the bytes are 0.
        std::memset(out + done, 0, count - done);
        return ::GetLastError() == ERROR_HANDLE_EOF || got == 0;
      }
      done += got;
    }
    return true;
  }

  bool Write(uint64_t offset, const uint8_t* in, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      OVERLAPPED at = At(offset + done);
      DWORD put = 0;
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(count - done, 1U << 30));
      if (!WriteFile(m_file, in + done, want, &put, &at) || put == 0) return false;
      done += put;
    }
    return true;
  }

  void Clear(uint64_t offset, uint64_t count) override {
    const std::vector<uint8_t> zeros(static_cast<std::size_t>(count), 0);
    Write(offset, zeros.data(), zeros.size());
  }

 private:
  static OVERLAPPED At(uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
  }

  HANDLE m_file;
};

HANDLE OpenFile(const std::filesystem::path& file, DWORD disposition) {
  return CreateFileW(file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::unique_ptr<ChipFile> OpenChipFile(const std::filesystem::path& file) {
  HANDLE handle = OpenFile(file, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32ChipFile>(handle);
}

std::unique_ptr<ChipFile> CreateChipFile(const std::filesystem::path& file, uint64_t size) {
  HANDLE handle = OpenFile(file, CREATE_ALWAYS);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32ChipFile>(handle);
}

}  // namespace sim
