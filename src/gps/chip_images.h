// The two programs the terminal sends to the GPS chip on the flash-engine path, carried as
// constant data and sent unchanged: the first-stage loader and the flash engine. The build
// makes them (make_gps_images); to the updater they are opaque bytes.
#pragma once

#include <cstdint>

inline constexpr uint32_t kFirstStageLoaderSize = 1184;
inline constexpr uint32_t kFlashEngineSize = 14748;

extern const uint8_t kFirstStageLoader[kFirstStageLoaderSize];
extern const uint8_t kFlashEngine[kFlashEngineSize];
