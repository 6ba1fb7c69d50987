#include "update/run_context.h"

CRunContext::CRunContext(RunObserver observer)
    : m_observer(std::move(observer)),
      m_outerUtils(g_pUtils),
      m_outerLog(g_pLog),
      m_outerSettings(g_pSettings) {
  g_pUtils = &m_utils;
  g_pLog = &m_log;
  g_pSettings = &m_settings;
}

CRunContext::~CRunContext() {
  if (m_observer) m_observer(*this);
  ReleaseImageKey(m_imageKey);
  g_pSettings = m_outerSettings;
  g_pLog = m_outerLog;
  g_pUtils = m_outerUtils;
}
