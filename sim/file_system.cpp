#include "sim/file_system.h"

// Under construction: every call fails until the file system lands.
namespace sim {

struct SimFileSystem::OpenFile {};
struct SimFileSystem::Resolved {};

bool Device::Open(uint32_t, uint32_t) { return true; }
void Device::Close() {}
bool Device::Read(void*, uint32_t, uint32_t*) { return false; }
bool Device::Write(const void*, uint32_t, uint32_t*) { return false; }
bool Device::IoControl(uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*) {
  return false;
}

SimFileSystem::SimFileSystem(std::filesystem::path root) : m_root(std::move(root)) {}
SimFileSystem::~SimFileSystem() = default;
bool SimFileSystem::FindAll(std::string_view, std::vector<platform::FindEntry>*) { return false; }
uint32_t SimFileSystem::GetAttributes(std::string_view) { return platform::kInvalidValue; }
bool SimFileSystem::SetAttributes(std::string_view, uint32_t) { return false; }
platform::Handle SimFileSystem::Open(std::string_view, uint32_t, uint32_t, platform::Disposition,
                                     uint32_t) {
  return platform::kInvalidHandle;
}
bool SimFileSystem::Read(platform::Handle, void*, uint32_t, uint32_t*) { return false; }
bool SimFileSystem::Write(platform::Handle, const void*, uint32_t, uint32_t*) { return false; }
uint32_t SimFileSystem::Seek(platform::Handle, int32_t, platform::SeekOrigin) {
  return platform::kInvalidValue;
}
uint32_t SimFileSystem::GetSize(platform::Handle) { return platform::kInvalidValue; }
bool SimFileSystem::Close(platform::Handle) { return false; }
bool SimFileSystem::Delete(std::string_view) { return false; }
bool SimFileSystem::Move(std::string_view, std::string_view) { return false; }
bool SimFileSystem::CreateFolder(std::string_view) { return false; }
bool SimFileSystem::RemoveFolder(std::string_view) { return false; }
platform::Handle SimFileSystem::OpenText(std::string_view, platform::TextMode) {
  return platform::kNullHandle;
}
bool SimFileSystem::WriteText(platform::Handle, std::string_view) { return false; }
bool SimFileSystem::CloseText(platform::Handle) { return false; }
platform::Handle SimFileSystem::OpenFor(ProcessId, std::string_view, uint32_t, uint32_t,
                                        platform::Disposition, uint32_t) {
  return platform::kInvalidHandle;
}
void SimFileSystem::CloseAllOf(ProcessId) {}
std::size_t SimFileSystem::OpenHandleCount() const { return 0; }
std::size_t SimFileSystem::OpenHandleCount(ProcessId) const { return 0; }
bool SimFileSystem::IsOpen(std::string_view) const { return false; }
void SimFileSystem::RegisterDevice(std::string_view, Device*) {}
Device* SimFileSystem::DeviceOf(platform::Handle) const { return nullptr; }
std::filesystem::path SimFileSystem::HostPath(std::string_view) const { return m_root; }

}  // namespace sim
