// Finds the update package, checks it, and loads its settings. In terminal mode the package
// lies beside the program: its checksum is verified (unless "nochecksum.chk" lies beside it)
// and the settings file is extracted into the root folder. In desktop mode the package header
// part and the settings file lie in the root folder, where the desktop put them.
#pragma once

#include <string>
#include <string_view>

#include "package/file_access.h"

class CUpdateSettings;
class CVirtualFiles;
struct CRunState;

class CValidatePackage : public CFileAccess {
 public:
  // Loads into the run's settings and records the package's paths in its state. With the run's
  // virtual files, a terminal that trusts keys checks the package's signature and hands the
  // manifest to them.
  CValidatePackage(CUpdateSettings& settings, CRunState& state, CVirtualFiles* files = nullptr)
      : m_settings(settings), m_state(state), m_files(files) {}

  // True when the package may be used and its settings are loaded. Each failure is reported
  // with LogAppError and leaves the run's last error.
  bool IsValidBinFile(std::string_view packageName);
  // Loads the package's header table, extracts the settings file into the root folder and
  // loads it. True on success.
  bool LoadAppSettings(std::string_view settingsName);

 private:
  void LoadSettings(const std::string& settingsPath);
  // The last step of both modes: the settings file must be where the state says.
  bool FoundSettings();
  // With trusted keys: the package is signed by one of them and the settings file holds the
  // signed bytes (it is removed when it was extracted and does not). True without keys.
  bool CheckSignature();
  bool CheckSettingsFile(bool extracted);

  CUpdateSettings& m_settings;
  CRunState& m_state;
  CVirtualFiles* m_files;
};
