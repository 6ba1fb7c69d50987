#include "update/version_dlg.h"

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "ui/message.h"
#include "update/device.h"
#include "update/run_context.h"
#include "update/update_parts.h"
#include "update/version.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kBlack = 0x000000;
constexpr int kColumnWidths[] = {80, 74, 74, 58};

std::string OfferedVersion(const SoftwareDefinition* definition) {
  return definition != nullptr ? definition->version : "N/A";
}

}  // namespace

CVersionDlg::CVersionDlg(CRunContext& run)
    : ui::Dialog(kVersionDialogTemplate, "Version Information", 173, 75, true),
      m_list(*this, kIdcVersionList, 3, 4, 166, 61),
      m_run(run),
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

  const CUpdateSettings& settings = m_run.m_settings;
  const std::string* headings[] = {&settings.m_strVerCol1, &settings.m_strVerCol2,
                                   &settings.m_strVerCol3, &settings.m_strVerCol4};
  for (int column = 0; column < 4; ++column) {
    m_list.InsertColumn(column, *headings[column], kColumnWidths[column]);
  }

  m_strVersion = kVostrelVersion;
  m_toggled = 0;
  UpdateData(false);
  LogAt(2, "Displaying Versions");

  // Every installed version is read before the rows are filled.
  std::string installed[kUpdatePartCount];
  for (std::size_t row = 0; row < kUpdatePartCount; ++row) {
    installed[row] = (m_run.m_device.*kUpdateParts[row].installed)();
  }
  for (std::size_t row = 0; row < kUpdatePartCount; ++row) {
    const UpdatePartRow& part = kUpdateParts[row];
    const int item = static_cast<int>(row);
    m_list.InsertItem(item, part.versionRow);
    m_list.SetItemText(item, 1, installed[row]);
    m_list.SetItemText(item, 2, OfferedVersion(OfferedDefinition(settings, part.part)));
  }
  FillUpdateColumn();
  return true;
}

void CVersionDlg::FillUpdateColumn() {
  const CUpdateSettings& settings = m_run.m_settings;
  for (std::size_t row = 0; row < kUpdatePartCount; ++row) {
    const bool marked = m_run.m_state.*kUpdateParts[row].marked != 0;
    m_list.SetItemText(static_cast<int>(row), 3, marked ? settings.m_strYes : settings.m_strNo);
  }
  UpdateData(false);
}

bool CVersionDlg::PreTranslateMessage(const ui::Message& message) {
  if (message.message != ui::kWmKeyUp) return ui::Dialog::PreTranslateMessage(message);
  const auto key = static_cast<uint32_t>(message.wParam);
  // Pressed since the last query: TAB may have been released before this key's release.
  const bool tabPressed = (platform::Ui().GetAsyncKeyState(ui::kVkTab) & 1) != 0;
  if (tabPressed) {
    // F1 to F4 flip the marks of the rows in their order.
    if (key >= ui::kVkF1 && key < ui::kVkF1 + kUpdatePartCount) {
      const UpdatePartRow& row = kUpdateParts[key - ui::kVkF1];
      CRunState& state = m_run.m_state;
      if (state.*row.offered) {
        int32_t& marked = state.*row.marked;
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
