// The key that decrypts encrypted image members, derived once when the updater starts.
#pragma once

// Obtains the key material from the hardware layer (or the fixed pass phrase) and derives the
// key. Failures show later as failed image loads.
void InitImageKey();
// Destroys the key; safe to call when there is none.
void ReleaseImageKey();
