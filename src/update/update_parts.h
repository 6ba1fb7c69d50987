// The four parts of the terminal's software that an update brings to the package's versions:
// the boot loader, the kernel, the application and the GPS firmware. One row a part says how
// the package offers it, how its installed version is read, which flags of the run hold the
// decision, where it shows in the version dialog and the log, which phase of the update
// sequence writes it and what a failure of its item does. The decision, the version dialog, the
// update sequence and the simulator's reports all read this table; a new kind of update item
// begins with a row here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "settings/phase_members.h"
#include "settings/run_state.h"
#include "settings/settings.h"
#include "update/device.h"
#include "update/screen.h"

enum class UpdatePart { kBoot, kKernel, kApplication, kGPS };

struct UpdatePartRow {
  UpdatePart part;
  // The part's name in reports.
  const char* name;

  // What offers it: the first definition of the type whose command names the kind (any
  // Application definition: its command names its script), when an Update key selects the
  // type.
  SoftwareType type;
  const char* kind;
  int32_t CUpdateSettings::*selected;
  // The installed version, read from the terminal.
  std::string (CDevice::*installed)();
  // The decision: the package offers the part; the part is marked for update.
  int32_t CRunState::*offered;
  int32_t CRunState::*marked;

  // Column 0 of its row in the version dialog.
  const char* versionRow;
  // The decision's log line (installed and offered version follow) and CheckIfSomethingToDo's.
  const char* decisionLog;
  const char* pendingLog;

  // The phase of the update sequence that writes it: its screen and the members it reads.
  UpdatePhase phase;
  Screen screen;
  // "[n] Updating <itemName> Version [...], Command[...]" in the log of its items.
  const char* itemName;
  // Added to that line when writing the item failed.
  const char* failureLog;
  // A failed item ends its phase; otherwise the phase goes on with its next item.
  bool failureEndsPhase;
};

inline constexpr UpdatePartRow kUpdateParts[] = {
    {UpdatePart::kBoot, "boot", kSoftwareOS, "BOOT", &CUpdateSettings::m_bOSSelected,
     &CDevice::GetVersionBoot, &CRunState::m_bOfferBoot, &CRunState::m_bUpdateBoot, "BOOT",
     "CheckVersions: Boot Loader [Cur=%s] [New=%s] - ",
     "CheckIfSomethingToDo: Boot Loader - update ", UpdatePhase::kOS, kScreenUpdatingOS, "OS",
     " - Failed to setup flash part", true},
    {UpdatePart::kKernel, "kernel", kSoftwareOS, "KRNL", &CUpdateSettings::m_bOSSelected,
     &CDevice::GetVersionKernel, &CRunState::m_bOfferKernel, &CRunState::m_bUpdateKernel, "KRNL",
     "CheckVersions: Kernel [Cur=%s] [New=%s] - ", "CheckIfSomethingToDo: Kernel - update ",
     UpdatePhase::kOS, kScreenUpdatingOS, "OS", " - Failed to setup flash part", true},
    {UpdatePart::kApplication, "application", kSoftwareApplication, nullptr,
     &CUpdateSettings::m_bAppSelected, &CDevice::GetVersionApps, &CRunState::m_bOfferApp,
     &CRunState::m_bUpdateApp, "Application", "CheckVersions: Application [Cur=%s] [New=%s] - ",
     "CheckIfSomethingToDo: Application - update ", UpdatePhase::kApplication,
     kScreenUpdatingApplication, "Application", " - Failed to program Applications", false},
    {UpdatePart::kGPS, "gps", kSoftwareGPS, "FIRMWARE", &CUpdateSettings::m_bGPSSelected,
     &CDevice::GetVersionGPS, &CRunState::m_bOfferGPS, &CRunState::m_bUpdateGPS, "GPS",
     "CheckVersions: GPS [Cur=%s] [New=%s] - ", "CheckIfSomethingToDo: GPS - update ",
     UpdatePhase::kGPS, kScreenUpdatingGPS, "GPS", " - Failed to program GPS", true},
};
inline constexpr std::size_t kUpdatePartCount = std::size(kUpdateParts);

// The row of a part.
const UpdatePartRow& PartRow(UpdatePart part);

// The definition that offers the part, when the Update keys select its type; null when the
// package does not offer the part.
const SoftwareDefinition* OfferedDefinition(const CUpdateSettings& settings, UpdatePart part);
