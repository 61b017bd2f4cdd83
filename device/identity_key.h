// Conversion between the framework's WINBIO_IDENTITY and the chip's 32-byte
// IdentityKey.
#pragma once
#include <winbio_types.h>
#include "device/driver_interface.h"

// Clears the key, then fills it by the identity's Type: a secure identity as
// it is, an account SID from byte 0 (never more than the 32 key bytes), a GUID
// with Data1, Data2 and Data3 most significant byte first; any other type (or
// a null identity) leaves the key zero.
void PackIdentityKey(const WINBIO_IDENTITY* identity, IdentityKey* key);

// Write Type and the value fields only; the rest of the record stays.
void UnpackSecureIdentity(const IdentityKey& key, WINBIO_IDENTITY* identity);
void UnpackSidIdentity(const IdentityKey& key, WINBIO_IDENTITY* identity);
// The inverse of the GUID packing: Data1, Data2 and Data3 most significant
// byte first, then Data4 as it stands.
void UnpackGuidIdentity(const IdentityKey& key, WINBIO_IDENTITY* identity);

// The rule of a reply that carries no identity kind: a 28-byte account SID
// when key bytes 28-31 are all zero, else a secure identity.
bool IdentityKeyIsSid(const IdentityKey& key);
void UnpackIdentityByKey(const IdentityKey& key, WINBIO_IDENTITY* identity);

bool IdentityKeyEqual(const IdentityKey& a, const IdentityKey& b);
