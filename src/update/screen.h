// The screens of the updater by number; the main dialog has the picture of each.
#pragma once

enum Screen : int {
  kScreenLoading = 1,
  kScreenInvalidPackage = 2,
  kScreenWelcome = 3,
  kScreenNoCharger = 4,
  kScreenNothingToUpdate = 5,
  kScreenUpdatingOS = 6,
  kScreenUpdatingApplication = 7,
  kScreenSuccess = 8,
  kScreenFailed = 9,
  kScreenUpdatingGPS = 10,
  kScreenRestartRequired = 11,
};
