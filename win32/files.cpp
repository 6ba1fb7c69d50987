#include "win32/files.h"

#include <cstdio>

#include "text/text.h"
#include "win32/win_api.h"

namespace win32 {

namespace {

std::string FirstComponent(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  return text::ToUpper(path.substr(0, path.find('\\')));
}

}  // namespace

Win32FileSystem::Win32FileSystem(std::wstring root) : m_root(std::move(root)) {
  while (!m_root.empty() && (m_root.back() == L'\\' || m_root.back() == L'/')) m_root.pop_back();
}

Win32FileSystem::~Win32FileSystem() = default;

bool Win32FileSystem::HostPath(std::string_view terminalPath, std::wstring* host) const {
  // Terminal paths are absolute, without drive letters; "." and ".." would reach past the root.
  if (terminalPath.empty() || terminalPath.front() != '\\' ||
      terminalPath.find_first_of(":/") != std::string_view::npos) {
    platform::SetLastError(platform::kErrorInvalidName);
    return false;
  }
  std::size_t start = 0;
  while (start < terminalPath.size()) {
    std::size_t end = terminalPath.find('\\', start);
    if (end == std::string_view::npos) end = terminalPath.size();
    const std::string_view part = terminalPath.substr(start, end - start);
    if (part == "." || part == "..") {
      platform::SetLastError(platform::kErrorInvalidName);
      return false;
    }
    start = end + 1;
  }
  *host = m_root + Wide(terminalPath);
  return true;
}

bool Win32FileSystem::Resolve(std::string_view terminalPath, std::wstring* host) const {
  if (!HostPath(terminalPath, host)) return false;
  if (!m_unmounted.empty()) {
    const std::string first = FirstComponent(terminalPath);
    for (const std::string& folder : m_unmounted) {
      if (folder == first) {
        platform::SetLastError(platform::kErrorPathNotFound);
        return false;
      }
    }
  }
  return true;
}

void Win32FileSystem::SetUnmounted(std::vector<std::string> folders) {
  m_unmounted.clear();
  for (const std::string& folder : folders) m_unmounted.push_back(FirstComponent(folder));
}

bool Win32FileSystem::FindAll(std::string_view pattern, std::vector<platform::FindEntry>* entries) {
  entries->clear();
  std::wstring host;
  if (!Resolve(pattern, &host)) return false;
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(host.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    KeepError();
    return false;
  }
  do {
    const std::wstring_view name = found.cFileName;
    // The terminal lists no entries for the folder itself and its parent.
    if (name == L"." || name == L"..") continue;
    entries->push_back({Narrow(name), found.dwFileAttributes, found.nFileSizeLow});
  } while (FindNextFileW(find, &found));
  FindClose(find);
  if (entries->empty()) {
    platform::SetLastError(platform::kErrorFileNotFound);
    return false;
  }
  return true;
}

uint32_t Win32FileSystem::GetAttributes(std::string_view path) {
  std::wstring host;
  if (!Resolve(path, &host)) return platform::kInvalidValue;
  // The root folder is the host folder itself.
  if (path == "\\") host = m_root;
  const DWORD attributes = GetFileAttributesW(host.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) KeepError();
  return attributes;
}

bool Win32FileSystem::SetAttributes(std::string_view path, uint32_t attributes) {
  std::wstring host;
  if (!Resolve(path, &host)) return false;
  if (!SetFileAttributesW(host.c_str(), attributes)) {
    KeepError();
    return false;
  }
  return true;
}

platform::Handle Win32FileSystem::Open(std::string_view path, uint32_t access, uint32_t share,
                                       platform::Disposition disposition,
                                       uint32_t flagsAndAttributes) {
  if (!path.empty() && path.back() == ':') {
    std::lock_guard lock(m_mutex);
    const auto device = m_devices.find(text::ToUpper(path));
    if (device == m_devices.end()) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return platform::kInvalidHandle;
    }
    if (!device->second->Open(access, share)) return platform::kInvalidHandle;
    // A handle of Windows' own stands for the open device, so that no file handle can equal it.
    HANDLE token = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_deviceHandles[FromHandle(token)] = device->second;
    return FromHandle(token);
  }
  std::wstring host;
  if (!Resolve(path, &host)) return platform::kInvalidHandle;
  HANDLE file = CreateFileW(host.c_str(), access, share, nullptr, static_cast<DWORD>(disposition),
                            flagsAndAttributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    KeepError();
    return platform::kInvalidHandle;
  }
  return FromHandle(file);
}

bool Win32FileSystem::Read(platform::Handle file, void* buffer, uint32_t count, uint32_t* read) {
  DWORD got = 0;
  const bool ok = ReadFile(AsHandle(file), buffer, count, &got, nullptr);
  if (!ok) KeepError();
  if (read != nullptr) *read = got;
  return ok;
}

bool Win32FileSystem::Write(platform::Handle file, const void* buffer, uint32_t count,
                            uint32_t* written) {
  DWORD put = 0;
  const bool ok = WriteFile(AsHandle(file), buffer, count, &put, nullptr);
  if (!ok) KeepError();
  if (written != nullptr) *written = put;
  return ok;
}

uint32_t Win32FileSystem::Seek(platform::Handle file, int32_t distance,
                               platform::SeekOrigin origin) {
  const DWORD position =
      SetFilePointer(AsHandle(file), distance, nullptr, static_cast<DWORD>(origin));
  if (position == INVALID_SET_FILE_POINTER) KeepError();
  return position;
}

uint32_t Win32FileSystem::GetSize(platform::Handle file) {
  const DWORD size = GetFileSize(AsHandle(file), nullptr);
  if (size == INVALID_FILE_SIZE) KeepError();
  return size;
}

bool Win32FileSystem::Close(platform::Handle file) {
  {
    std::lock_guard lock(m_mutex);
    const auto device = m_deviceHandles.find(file);
    if (device != m_deviceHandles.end()) {
      device->second->Close();
      m_deviceHandles.erase(device);
    }
  }
  if (!CloseHandle(AsHandle(file))) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32FileSystem::Delete(std::string_view path) {
  std::wstring host;
  if (!Resolve(path, &host)) return false;
  if (!DeleteFileW(host.c_str())) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32FileSystem::Move(std::string_view from, std::string_view to) {
  std::wstring hostFrom;
  std::wstring hostTo;
  if (!Resolve(from, &hostFrom) || !Resolve(to, &hostTo)) return false;
  if (!MoveFileW(hostFrom.c_str(), hostTo.c_str())) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32FileSystem::CreateFolder(std::string_view path) {
  std::wstring host;
  if (!Resolve(path, &host)) return false;
  if (!CreateDirectoryW(host.c_str(), nullptr)) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32FileSystem::RemoveFolder(std::string_view path) {
  std::wstring host;
  if (!Resolve(path, &host)) return false;
  if (!RemoveDirectoryW(host.c_str())) {
    KeepError();
    return false;
  }
  return true;
}

platform::Handle Win32FileSystem::OpenText(std::string_view path, platform::TextMode mode) {
  std::wstring host;
  if (!Resolve(path, &host)) return platform::kNullHandle;
  // The runtime library's text mode writes every "\n" as CR LF.
  FILE* stream = _wfopen(host.c_str(), mode == platform::TextMode::kCreate ? L"wt" : L"at");
  if (stream == nullptr) {
    KeepError();
    return platform::kNullHandle;
  }
  return reinterpret_cast<platform::Handle>(stream);
}

bool Win32FileSystem::WriteText(platform::Handle stream, std::string_view text) {
  FILE* file = reinterpret_cast<FILE*>(stream);
  return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

bool Win32FileSystem::CloseText(platform::Handle stream) {
  return std::fclose(reinterpret_cast<FILE*>(stream)) == 0;
}

void Win32FileSystem::RegisterDevice(std::string_view name, sim::Device* device) {
  std::lock_guard lock(m_mutex);
  if (device == nullptr) {
    m_devices.erase(text::ToUpper(name));
  } else {
    m_devices[text::ToUpper(name)] = device;
  }
}

sim::Device* Win32FileSystem::DeviceOf(platform::Handle handle) {
  std::lock_guard lock(m_mutex);
  const auto device = m_deviceHandles.find(handle);
  return device == m_deviceHandles.end() ? nullptr : device->second;
}

}  // namespace win32
