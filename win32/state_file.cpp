// The terminal's state files on Windows: written beside the file, flushed to the disk and moved
// over it, so that a full disk leaves the old file whole.
#include "sim/state_file.h"

#include <algorithm>
#include <string>

#include "win32/win_api.h"

// Windows names a call of its own so (a macro for ReplaceFileW); this is the simulator's.
#undef ReplaceFile

namespace sim {

Status ReplaceFile(const std::filesystem::path& file, std::string_view bytes) {
  // No file of the terminal's own ends so; a leftover of a run that was killed is replaced.
  const std::filesystem::path aside = file.string() + ".new";
  HANDLE out = CreateFileW(aside.wstring().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    return Status::Failure(file.string() + ": cannot be written (" +
                           win32::ErrorText(::GetLastError()) + ")");
  }
  DWORD error = 0;
  std::size_t done = 0;
  while (done < bytes.size() && error == 0) {
    DWORD put = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1U << 30));
    if (!WriteFile(out, bytes.data() + done, want, &put, nullptr) || put == 0) {
      error = ::GetLastError() != 0 ? ::GetLastError() : ERROR_DISK_FULL;
    }
    done += put;
  }
  if (error == 0 && !FlushFileBuffers(out)) error = ::GetLastError();
  CloseHandle(out);
  if (error == 0 && !MoveFileExW(aside.wstring().c_str(), file.wstring().c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = ::GetLastError();
  }
  if (error != 0) {
    DeleteFileW(aside.wstring().c_str());
    return Status::Failure(file.string() + ": cannot be written (" + win32::ErrorText(error) + ")");
  }
  return {};
}

}  // namespace sim
