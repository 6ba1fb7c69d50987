#include "flash/flash_job.h"

#include "platform/platform.h"

namespace {

constexpr std::size_t kTraceUnits = 512;

}  // namespace

FlashJob::FlashJob(CVirtualFiles& virtualFiles, const ImageKey& key) : files(virtualFiles) {
  reader.key = &key;
}

FlashJob::~FlashJob() {
  ResetChunkReader(reader);
  FreeImageBuffer();
}

void FlashJob::FreeImageBuffer() {
  if (imageBuffer != nullptr && platform::IsInstalled()) platform::Kern().LocalFree(imageBuffer);
  imageBuffer = nullptr;
  imageBufferSize = 0;
}

void FlashTrace(int level, const std::string& text) {
  DebugAt(level, text::TruncateToUnits(text, kTraceUnits));
}

void OEMShowProgress(int percent) {
  FlashTracef(2, "OEMShowProgress: Progress [%d%%]\r", percent & 0xFF);
  platform::Kern().Sleep(0);
}
