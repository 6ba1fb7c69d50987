#include "update/version_dlg.h"

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "ui/message.h"
#include "update/device.h"
#include "update/version.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kBlack = 0x000000;
constexpr int kColumnWidths[] = {80, 74, 74, 58};
constexpr int kRowBoot = 0;
constexpr int kRowKernel = 1;
constexpr int kRowApplication = 2;
constexpr int kRowGps = 3;

std::string OfferedVersion(int32_t selected, const SoftwareDefinition* definition) {
  if (selected == 0 || definition == nullptr) return "N/A";
  return definition->version;
}

// The marked-for-update flag and the offered flag of each row, in row order.
struct RowFlags {
  int32_t CUpdateSettings::*marked;
  int32_t CUpdateSettings::*offered;
};

constexpr RowFlags kRows[] = {
    {&CUpdateSettings::m_bUpdateBoot, &CUpdateSettings::m_bOfferBoot},
    {&CUpdateSettings::m_bUpdateKernel, &CUpdateSettings::m_bOfferKernel},
    {&CUpdateSettings::m_bUpdateApp, &CUpdateSettings::m_bOfferApp},
    {&CUpdateSettings::m_bUpdateGPS, &CUpdateSettings::m_bOfferGPS},
};

}  // namespace

CVersionDlg::CVersionDlg()
    : ui::Dialog(kVersionDialogTemplate, "Version Information", 173, 75, true),
      m_list(*this, kIdcVersionList, 3, 4, 166, 61),
      m_versionText(*this, kIdcVersionText, 134, 66, 36, 8, "VER", true),
      m_ok(*this, ui::kIdOk, 0, 0, 0, 0, "OK", false) {}

void CVersionDlg::DoDataExchange(bool save) {
  if (save) {
    m_strVersion = m_versionText.GetWindowText();
  } else {
    m_versionText.SetWindowText(m_strVersion);
  }
}

bool CVersionDlg::OnInitDialog() {
  ui::Dialog::OnInitDialog();
  m_list.SetBkColor(kWhite);
  m_list.SetTextBkColor(kWhite);
  m_list.SetTextColor(kBlack);

  const CUpdateSettings& settings = *g_pSettings;
  const std::string* headings[] = {&settings.m_strVerCol1, &settings.m_strVerCol2,
                                   &settings.m_strVerCol3, &settings.m_strVerCol4};
  for (int column = 0; column < 4; ++column) {
    m_list.InsertColumn(column, *headings[column], kColumnWidths[column]);
  }

  m_strVersion = kVostrelVersion;
  m_toggled = 0;
  UpdateData(false);
  LogAt(2, "Displaying Versions");

  const struct {
    const char* name;
    std::string installed;
    std::string offered;
  } rows[] = {
      {"BOOT", g_Device.GetVersionBoot(),
       OfferedVersion(settings.m_bOSSelected, settings.FindOSDefinition("BOOT"))},
      {"KRNL", g_Device.GetVersionKernel(),
       OfferedVersion(settings.m_bOSSelected, settings.FindOSDefinition("KRNL"))},
      {"Application", g_Device.GetVersionApps(),
       OfferedVersion(settings.m_bAppSelected, settings.FindApplicationDefinition())},
      {"GPS", g_Device.GetVersionGPS(),
       OfferedVersion(settings.m_bGPSSelected, settings.FindGPSDefinition("FIRMWARE"))},
  };
  for (int row = 0; row < 4; ++row) {
    m_list.InsertItem(row, rows[row].name);
    m_list.SetItemText(row, 1, rows[row].installed);
    m_list.SetItemText(row, 2, rows[row].offered);
  }
  FillUpdateColumn();
  return true;
}

void CVersionDlg::FillUpdateColumn() {
  for (int row = kRowBoot; row <= kRowGps; ++row) {
    const bool marked = g_pSettings->*kRows[row].marked != 0;
    m_list.SetItemText(row, 3, marked ? g_pSettings->m_strYes : g_pSettings->m_strNo);
  }
  UpdateData(false);
}

bool CVersionDlg::PreTranslateMessage(const ui::Message& message) {
  if (message.message != ui::kWmKeyUp) return ui::Dialog::PreTranslateMessage(message);
  const auto key = static_cast<uint32_t>(message.wParam);
  // Pressed since the last query: TAB may have been released before this key's release.
  const bool tabPressed = (platform::Ui().GetAsyncKeyState(ui::kVkTab) & 1) != 0;
  if (tabPressed) {
    if (key >= ui::kVkF1 && key <= ui::kVkF4) {
      const RowFlags& row = kRows[key - ui::kVkF1];
      if (g_pSettings->*row.offered) {
        int32_t& marked = g_pSettings->*row.marked;
        marked = marked ? 0 : 1;
      }
      m_toggled = 1;
      FillUpdateColumn();
    }
    return true;
  }
  if (key == ui::kVkTab && m_toggled) {
    m_toggled = 0;
    return true;
  }
  EndDialog(ui::kIdOk);
  return true;
}
