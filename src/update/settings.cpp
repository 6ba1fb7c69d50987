#include "update/settings.h"

CUpdateSettings* g_pSettings = nullptr;
