#include "device/identity_key.h"

#include <cstring>

void PackIdentityKey(const WINBIO_IDENTITY* identity, IdentityKey* key) {
    if (key == nullptr) {
        return;
    }
    std::memset(key->Bytes, 0, sizeof(key->Bytes));
    if (identity == nullptr) {
        return;
    }
    switch (identity->Type) {
    case WINBIO_ID_TYPE_SECURE_ID:
        std::memcpy(key->Bytes, identity->Value.SecureId, sizeof(key->Bytes));
        break;
    case WINBIO_ID_TYPE_SID: {
        // Size comes from the caller; the key holds 32 bytes and the record 68.
        DWORD size = identity->Value.AccountSid.Size;
        if (size > sizeof(key->Bytes)) {
            size = sizeof(key->Bytes);
        }
        std::memcpy(key->Bytes, identity->Value.AccountSid.Data, size);
        break;
    }
    case WINBIO_ID_TYPE_GUID: {
        // By shifts, so the key does not depend on the host's byte order.
        const GUID& guid = identity->Value.TemplateGuid;
        key->Bytes[0] = static_cast<BYTE>(guid.Data1 >> 24);
        key->Bytes[1] = static_cast<BYTE>(guid.Data1 >> 16);
        key->Bytes[2] = static_cast<BYTE>(guid.Data1 >> 8);
        key->Bytes[3] = static_cast<BYTE>(guid.Data1);
        key->Bytes[4] = static_cast<BYTE>(guid.Data2 >> 8);
        key->Bytes[5] = static_cast<BYTE>(guid.Data2);
        key->Bytes[6] = static_cast<BYTE>(guid.Data3 >> 8);
        key->Bytes[7] = static_cast<BYTE>(guid.Data3);
        std::memcpy(key->Bytes + 8, guid.Data4, sizeof(guid.Data4));
        break;
    }
    default:
        break;
    }
}

void UnpackSecureIdentity(const IdentityKey& key, WINBIO_IDENTITY* identity) {
    if (identity == nullptr) {
        return;
    }
    identity->Type = WINBIO_ID_TYPE_SECURE_ID;
    std::memcpy(identity->Value.SecureId, key.Bytes, sizeof(identity->Value.SecureId));
}

void UnpackSidIdentity(const IdentityKey& key, WINBIO_IDENTITY* identity) {
    if (identity == nullptr) {
        return;
    }
    identity->Type = WINBIO_ID_TYPE_SID;
    identity->Value.AccountSid.Size = MOC_SID_KEY_SIZE;
    std::memcpy(identity->Value.AccountSid.Data, key.Bytes, MOC_SID_KEY_SIZE);
}

void UnpackGuidIdentity(const IdentityKey& key, WINBIO_IDENTITY* identity) {
    if (identity == nullptr) {
        return;
    }
    const BYTE* b = key.Bytes;
    identity->Type = WINBIO_ID_TYPE_GUID;
    GUID& guid = identity->Value.TemplateGuid;
    guid.Data1 = (ULONG(b[0]) << 24) | (ULONG(b[1]) << 16) | (ULONG(b[2]) << 8) | ULONG(b[3]);
    guid.Data2 = static_cast<USHORT>((b[4] << 8) | b[5]);
    guid.Data3 = static_cast<USHORT>((b[6] << 8) | b[7]);
    std::memcpy(guid.Data4, b + 8, sizeof(guid.Data4));
}

bool IdentityKeyIsSid(const IdentityKey& key) {
    for (DWORD i = MOC_SID_KEY_SIZE; i < MOC_IDENTITY_KEY_SIZE; ++i) {
        if (key.Bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

void UnpackIdentityByKey(const IdentityKey& key, WINBIO_IDENTITY* identity) {
    if (IdentityKeyIsSid(key)) {
        UnpackSidIdentity(key, identity);
    } else {
        UnpackSecureIdentity(key, identity);
    }
}

bool IdentityKeyEqual(const IdentityKey& a, const IdentityKey& b) {
    return std::memcmp(a.Bytes, b.Bytes, sizeof(a.Bytes)) == 0;
}
