#include "driver/core/settings_table.h"

ULONG SettingsTableDefault(const CDeviceSettings* settings, const SettingsTableEntry& entry) {
  if (entry.DefaultSource != SETTING_DEFAULT_TABLE) return entry.DefaultValue;
  ULONG index = entry.DefaultValue;
  if (index >= SETTINGS_DEFAULT_COUNT) return 0;
  ULONG set = settings->m_nProcAmpDefaultSet;
  if (set >= 1 && set <= SETTINGS_PROCAMP_SET_COUNT) {
    const ULONG* values = SettingsProcAmpBoardSets[set - 1];
    switch (index) {
      case SETTINGS_DEFAULT_PROCAMP_BRIGHTNESS:
        return values[0];
      case SETTINGS_DEFAULT_PROCAMP_CONTRAST:
        return values[1];
      case SETTINGS_DEFAULT_PROCAMP_HUE:
        return values[2];
      case SETTINGS_DEFAULT_PROCAMP_SATURATION:
        return values[3];
      case SETTINGS_DEFAULT_PROCAMP_SHARPNESS:
        return values[4];
      default:
        break;
    }
  }
  return SettingsDefaultTable[index];
}
