// The terminal's check of a signed package. With no trusted key (the platform keeps none) it
// reads and logs nothing, so every package works as it always did. With keys, the package must
// carry a manifest signed by one of them that lists exactly its members; the members' bytes are
// then checked against the manifest as they are opened (CFileVirtual), and the settings file
// here.
#pragma once

#include <memory>
#include <string_view>

#include "package/manifest.h"

class CFileVirtual;

// 1 when the terminal trusts no key (*signedManifest stays null), or when the package of the
// virtual file is signed by a trusted key and its entries are the manifest's (*signedManifest
// holds the manifest). 0 after reporting why not under `operation`, having read only the header
// part and the signature member.
int CheckPackageSignature(CFileVirtual& package, const char* operation,
                          std::shared_ptr<const manifest::Manifest>* signedManifest);

// 1 when the terminal file at path holds the bytes the manifest lists for the member (found
// as the terminal finds members, without regard to case); 0 after reporting why not.
int CheckFileAgainstManifest(const manifest::Manifest& signedManifest, std::string_view member,
                             std::string_view path, const char* operation);

// The SHA-256 of the bytes, from the platform's provider.
manifest::Digest Sha256Of(const uint8_t* data, std::size_t length);
