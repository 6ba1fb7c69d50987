#include "flash/image_key.h"

// PLACEHOLDER: image decryption is not built yet. No key is derived, so nothing can be
// decrypted; starting and ending the updater are unaffected.
void InitImageKey() {}
void ReleaseImageKey() {}
