// Image decryption: the key that decrypts encrypted image members, derived once when the
// updater starts, and the decryption of one chunk.
#pragma once

#include <cstddef>
#include <cstdint>

// Obtains the key material from the hardware layer (control 0x01012008) or, when that fails,
// takes the fixed pass phrase, and derives the key. Failures show later as failed image loads.
void InitImageKey();

// Derives the DES key from SHA-1 of the material (its first 8 bytes; parity bits not checked).
// 0 on success and when a key exists already (which it keeps); -1 when no key context could
// be had; -2 when hashing or derivation failed.
int DeriveImageKey(const uint8_t* material, uint32_t length);

// Destroys the key; safe to call when there is none.
void ReleaseImageKey();

// Decrypts a chunk of `length` bytes in place (DES, ECB, PKCS#5 padding removed) and decodes
// its base64 text into a new buffer from the program's heap, which replaces *buffer (the old
// one is freed); *decodedLength is the number of decoded bytes. 1 on success; -3 without a
// key; -6 when the length is not a multiple of 8 or the padding is wrong; -7 when the decoded
// bytes cannot be allocated (*buffer is then kept).
int DecryptImageChunk(uint8_t** buffer, uint32_t length, uint32_t* decodedLength);

// Decodes base64: leading blanks and tabs are skipped; the text is the run of alphabet
// characters that follows, up to the first other byte or textLength. output must hold
// 3 * ceil(n / 4) + 1 bytes for a run of n; a zero byte is stored after the decoded bytes. A
// lone character left over after the groups of four (a run of 4k + 1) carries too few bits
// for a byte and is dropped.
void Base64Decode(const uint8_t* text, std::size_t textLength, uint8_t* output,
                  uint32_t* outLength);
