// The settings and state of one run: what the package updates, its software definitions and
// command script, the texts of the version display, the run mode, the package's paths, the
// last error, and which parts are offered and marked for update.
#pragma once

#include <cstdint>
#include <list>
#include <string>

enum SoftwareType : int32_t {
  kSoftwareNone = 0,
  kSoftwareOS = 1,
  kSoftwareApplication = 2,
  kSoftwareGPS = 3,
};

struct SoftwareDefinition {
  SoftwareType type = kSoftwareNone;
  std::string version;
  std::string command;
};

class CUpdateSettings {
 public:
  static constexpr int kMaxDefinitions = 10;

  CUpdateSettings() = default;
  virtual ~CUpdateSettings() = default;
  CUpdateSettings(const CUpdateSettings&) = delete;
  CUpdateSettings& operator=(const CUpdateSettings&) = delete;

  SoftwareType m_nUpdate1 = kSoftwareNone;
  SoftwareType m_nUpdate2 = kSoftwareNone;
  SoftwareType m_nUpdate3 = kSoftwareNone;
  int32_t m_bOSSelected = 0;
  int32_t m_bAppSelected = 0;
  int32_t m_bGPSSelected = 0;
  int32_t m_nDefinitions = 0;
  SoftwareDefinition m_definitions[kMaxDefinitions];
  std::list<std::string> m_commandScript;
  std::string m_strVerCol1;
  std::string m_strVerCol2;
  std::string m_strVerCol3;
  std::string m_strVerCol4;
  std::string m_strYes;
  std::string m_strNo;
  int32_t m_bActiveSync = 0;
  std::string m_strPackageFolder;
  std::string m_strPackagePath;
  std::string m_strSettingsPath;
  int32_t m_nLastError = 0;
  std::string m_strLastError;
  std::string m_strLastErrorFunction;
  int32_t m_bUpdateBoot = 0;
  int32_t m_bUpdateKernel = 0;
  int32_t m_bUpdateApp = 0;
  int32_t m_bUpdateGPS = 0;
  int32_t m_bOfferBoot = 0;
  int32_t m_bOfferKernel = 0;
  int32_t m_bOfferApp = 0;
  int32_t m_bOfferGPS = 0;
};

extern CUpdateSettings* g_pSettings;
