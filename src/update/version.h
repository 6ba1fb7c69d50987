#pragma once

// The updater's own version, shown in the log and the version dialog.
inline constexpr const char* kVostrelVersion = "1.0.08";
