#include <algorithm>
#include <memory>
#include <string>

#include "flash/flash_part.h"
#include "gps/gps_prog.h"
#include "log/log.h"
#include "package/file_semaphore.h"
#include "package/file_virtual.h"
#include "platform/platform.h"
#include "script/script.h"
#include "settings/settings.h"
#include "text/text.h"
#include "update/run_context.h"
#include "update/update_dialog.h"
#include "update/update_parts.h"
#include "utils/utils.h"

// An entry of the definition table that a phase takes up, with what its command names.
struct CUpdateDialog::Item {
  Item(int position, const SoftwareDefinition& definition) : index(position), entry(definition) {}

  int index;  // the entry's position in the whole definition table, from 0
  const SoftwareDefinition& entry;
  std::string file;
  std::string kind;
  int partition = 0;
  // The part whose row governs the item.
  const UpdatePartRow* part = nullptr;
};

// What the walk over the phases has met so far.
struct CUpdateDialog::Walk {
  bool result = true;        // false once an item failed
  bool shellStopped = true;  // false once the shell could not be stopped before an item
  // The GPS item's files named so far; once programming has started, every later GPS entry
  // with a valid command programs the chip again.
  bool bootSet = false;
  bool firmwareSet = false;
  bool combined = false;
};

// A phase of the update sequence, in the order they run: the definitions it walks, how it
// starts its progress, how it picks its items and how it writes one.
struct CUpdateDialog::UpdatePhaseRow {
  UpdatePhase phase;
  SoftwareType type;
  void (CFileVirtual::*startProgress)();
  bool (CUpdateDialog::*pick)(Item& item, Walk& walk);
  bool (CUpdateDialog::*write)(const Item& item, const std::string& line);
};

const CUpdateDialog::UpdatePhaseRow CUpdateDialog::kPhases[] = {
    {UpdatePhase::kGPS, kSoftwareGPS, &CFileVirtual::StartProgressGPS, &CUpdateDialog::PickGpsItem,
     &CUpdateDialog::WriteGpsItem},
    {UpdatePhase::kApplication, kSoftwareApplication, &CFileVirtual::StartProgressApp,
     &CUpdateDialog::PickApplicationItem, &CUpdateDialog::WriteApplicationItem},
    {UpdatePhase::kOS, kSoftwareOS, &CFileVirtual::StartProgressOS, &CUpdateDialog::PickOSItem,
     &CUpdateDialog::WriteOSItem},
};

namespace {

// "[position] Updating <kind> Version [version], Command[command]", the position counting the
// whole definition table from 1.
std::string ItemText(const char* kind, int index, const SoftwareDefinition& definition) {
  return text::Sprintf("[%d] Updating %s Version [%s], Command[%s]", index + 1, kind,
                       definition.version, definition.command);
}

bool ContainsBinExtension(const std::string& file) {
  return file.find(".bin") != std::string::npos || file.find(".BIN") != std::string::npos;
}

// True when a part that the phase writes passes the test.
template <typename Visit>
bool AnyPartOf(UpdatePhase phase, Visit visit) {
  return std::any_of(std::begin(kUpdateParts), std::end(kUpdateParts),
                     [&](const UpdatePartRow& row) { return row.phase == phase && visit(row); });
}

// A part that the phase writes: its screen is the phase's.
const UpdatePartRow& FirstPartOf(UpdatePhase phase) {
  return *std::find_if(std::begin(kUpdateParts), std::end(kUpdateParts),
                       [phase](const UpdatePartRow& row) { return row.phase == phase; });
}

}  // namespace

void CUpdateDialog::ControlVostrel() {
  const CUpdateSettings& settings = m_run.m_settings;
  const CRunState& state = m_run.m_state;
  const std::unique_ptr<CFileVirtual> file = m_run.m_files.NewFile();

  auto& registry = platform::Reg();
  platform::Handle key = platform::kNullHandle;
  if (registry.CreateKey("Update\\Start", &key) == 0) {
    registry.CloseKey(key);
    LogAt(2, "CVostrelHHTDlg::ControlVostrel Set the registry key");
  } else {
    LogAt(1, "CVostrelHHTDlg::ControlVostrel Failed to set the registry key");
  }
  registry.Flush();

  m_progress.SetRange(0, 100);
  Walk walk;
  for (const UpdatePhaseRow& phase : kPhases) {
    // A failed phase ends the run: no later phase starts.
    const bool marked =
        AnyPartOf(phase.phase, [&state](const UpdatePartRow& row) { return state.*row.marked; });
    if (!walk.result || !marked) continue;
    const bool endsOnFailure =
        AnyPartOf(phase.phase, [](const UpdatePartRow& row) { return row.failureEndsPhase; });
    SetScreen(FirstPartOf(phase.phase).screen);
    ((*file).*phase.startProgress)();
    for (int i = 0; i < settings.m_nDefinitions; ++i) {
      if (!walk.result && endsOnFailure) break;
      Item item(i, settings.m_definitions[i]);
      if (item.entry.type != phase.type || !(this->*phase.pick)(item, walk)) continue;
      UpdateItem(phase, item, walk);
    }
  }

  if (!walk.shellStopped) {
    SetScreen(kScreenRestartRequired);
    SendEndOfRun();
  } else if (!walk.result) {
    SetScreen(kScreenFailed);
  } else {
    m_run.m_log.DeleteLogFiles();
    DeleteMatching("\\Flash Disk2", "*.dbg");
    SetScreen(kScreenSuccess);
    SendEndOfRun();
  }
}

void CUpdateDialog::UpdateItem(const UpdatePhaseRow& phase, const Item& item, Walk& walk) {
  const std::string line = ItemText(item.part->itemName, item.index, item.entry);
  if (!CheckTavimonShutdown()) {
    walk.shellStopped = false;
    LogAt(1, "%s - Failed to shutdown shell", line);
    m_bRebootNeeded = 1;
    return;
  }
  LogAt(2, "%s", line);
  m_progress.SetPos(0);
  m_progress.ShowWindow(true);
  walk.result = (this->*phase.write)(item, line);
}

bool CUpdateDialog::PickGpsItem(Item& item, Walk& walk) {
  if (!CUpdateSettings::ParseGPSCommand(item.entry.command, &item.file, &item.kind)) return false;
  if (text::EqualsNoCase(item.kind, "BOOT")) {
    GPSProgSetBootFile(m_run.m_gps, item.file, item.entry.version);
    walk.bootSet = true;
  }
  if (text::EqualsNoCase(item.kind, "FIRMWARE")) {
    GPSProgSetFirmwareFile(m_run.m_gps, item.file, item.entry.version);
    walk.firmwareSet = true;
    if (ContainsBinExtension(item.file)) walk.combined = true;
  }
  item.part = &PartRow(UpdatePart::kGPS);
  return (walk.bootSet && walk.firmwareSet) || (walk.firmwareSet && walk.combined);
}

bool CUpdateDialog::PickApplicationItem(Item& item, Walk& /*walk*/) {
  item.part = &PartRow(UpdatePart::kApplication);
  return true;
}

bool CUpdateDialog::PickOSItem(Item& item, Walk& /*walk*/) {
  if (!CUpdateSettings::ParseOSCommand(item.entry.command, &item.file, &item.partition,
                                       &item.kind)) {
    return false;
  }
  const CRunState& state = m_run.m_state;
  for (const UpdatePartRow& row : kUpdateParts) {
    if (row.phase != UpdatePhase::kOS || !text::EqualsNoCase(item.kind, row.kind)) continue;
    if (state.*row.marked == 0) return false;
    item.part = &row;
    return true;
  }
  return false;
}

bool CUpdateDialog::WriteGpsItem(const Item& item, const std::string& line) {
  const bool written = GPSProg(m_run.m_gps, m_run.m_engine, m_run.m_program) != 0;
  if (!written) LogAt(1, "%s%s", line, item.part->failureLog);
  m_progress.SetPos(100);
  return written;
}

bool CUpdateDialog::WriteApplicationItem(const Item& item, const std::string& line) {
  const bool written = ProcessAppScript();
  if (!written) LogAt(1, "%s%s", line, item.part->failureLog);
  m_bCleanUserData = 1;
  m_progress.SetPos(100);
  m_bRebootNeeded = 1;
  return written;
}

bool CUpdateDialog::WriteOSItem(const Item& item, const std::string& line) {
  bool written = false;
  if (!PrepareFlashPart(m_run.m_flash, item.file, item.partition, item.kind)) {
    LogAt(1, "%s%s", line, item.part->failureLog);
  } else {
    // The flash volume goes away with the disk driver: nothing of the run stays on it.
    m_run.m_log.DeleteLogFiles();
    DeleteMatching("\\Flash Disk2", "*.dbg");
    CleanUserData();
    m_bCleanUserData = 0;
    written = RunFlashPart(m_run.m_flash);
  }
  m_progress.SetPos(100);
  m_bRebootNeeded = 1;
  return written;
}

bool CUpdateDialog::ProcessAppScript() {
  CScript script(m_run.m_files);
  CFileSemaphore semaphore;
  bool result = true;
  for (const std::string& line : m_run.m_settings.m_commandScript) {
    if (semaphore.IsAbortRequested()) {
      LogAppError(1041, FormatErrorText(text::Sprintf("Failed[%s] = Aborted", line)),
                  "ProcessAppScript:");
      result = false;
      continue;
    }
    const int answer = script.ProcessOneLine(line);
    if (answer != 0) {
      LogAppError(1030, FormatErrorText(text::Sprintf("Failed[%s] = [%d]", line, answer)),
                  "ProcessAppScript:");
      result = false;
    }
  }
  return result;
}
