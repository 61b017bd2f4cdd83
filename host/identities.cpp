#include "host/identities.h"

#include <cstdio>
#include <cstring>

namespace host {
namespace {

// S-1-5-21-3623811015-3361044348-30300820-1013: revision 1, five sub-authorities, the NT
// authority, then the domain's three numbers and the account's relative id.
constexpr DWORD kSubAuthorities[] = {21, 3623811015u, 3361044348u, 30300820u, 1013u};
constexpr BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};

void PutLe32(BYTE* out, DWORD value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD Le32(const BYTE* in) {
    return static_cast<DWORD>(in[0]) | (static_cast<DWORD>(in[1]) << 8) |
           (static_cast<DWORD>(in[2]) << 16) | (static_cast<DWORD>(in[3]) << 24);
}

std::string Hex(const BYTE* bytes, size_t size) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(two, sizeof(two), "%02x", bytes[i]);
        out += two;
    }
    return out;
}

std::string SidText(const BYTE* sid, ULONG size) {
    // Revision, count, 6-byte authority, then count little-endian sub-authorities.
    if (size < 8 || size > SECURITY_MAX_SID_SIZE || size != 8u + 4u * sid[1])
        return "account SID " + Hex(sid, size > SECURITY_MAX_SID_SIZE ? 0 : size);
    unsigned long long authority = 0;
    for (int i = 2; i < 8; ++i)
        authority = (authority << 8) | sid[i];
    std::string out = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
    for (BYTE i = 0; i < sid[1]; ++i)
        out += "-" + std::to_string(Le32(sid + 8 + 4 * i));
    return out;
}

} // namespace

WINBIO_IDENTITY SignedInUser() {
    WINBIO_IDENTITY identity{};
    identity.Type = WINBIO_ID_TYPE_SID;
    BYTE* sid = identity.Value.AccountSid.Data;
    sid[0] = 1;
    sid[1] = static_cast<BYTE>(sizeof(kSubAuthorities) / sizeof(kSubAuthorities[0]));
    std::memcpy(sid + 2, kNtAuthority, sizeof(kNtAuthority));
    for (BYTE i = 0; i < sid[1]; ++i)
        PutLe32(sid + 8 + 4 * i, kSubAuthorities[i]);
    identity.Value.AccountSid.Size = 8u + 4u * sid[1];
    return identity;
}

WINBIO_IDENTITY SignedInUserSecureIdentity() {
    WINBIO_IDENTITY identity{};
    identity.Type = WINBIO_ID_TYPE_SECURE_ID;
    for (BYTE i = 0; i < WINBIO_SECURE_ID_SIZE; ++i)
        identity.Value.SecureId[i] = static_cast<BYTE>(0xC3 ^ (i * 29));
    return identity;
}

WINBIO_IDENTITY WildcardIdentity() {
    WINBIO_IDENTITY identity{};
    identity.Type = WINBIO_ID_TYPE_WILDCARD;
    identity.Value.Wildcard = WINBIO_IDENTITY_WILDCARD;
    return identity;
}

std::string IdentityText(const WINBIO_IDENTITY& identity) {
    switch (identity.Type) {
    case WINBIO_ID_TYPE_SID:
        return SidText(identity.Value.AccountSid.Data, identity.Value.AccountSid.Size);
    case WINBIO_ID_TYPE_SECURE_ID:
        return "secure identity " + Hex(identity.Value.SecureId, WINBIO_SECURE_ID_SIZE);
    case WINBIO_ID_TYPE_GUID:
        return GuidText(identity.Value.TemplateGuid);
    case WINBIO_ID_TYPE_WILDCARD:
        return "wildcard";
    case WINBIO_ID_TYPE_NULL:
        return "none";
    default:
        return "identity of type " + std::to_string(identity.Type);
    }
}

bool SameIdentity(const WINBIO_IDENTITY& a, const WINBIO_IDENTITY& b) {
    if (a.Type != b.Type)
        return false;
    switch (a.Type) {
    case WINBIO_ID_TYPE_SID:
        return a.Value.AccountSid.Size == b.Value.AccountSid.Size &&
               a.Value.AccountSid.Size <= SECURITY_MAX_SID_SIZE &&
               std::memcmp(a.Value.AccountSid.Data, b.Value.AccountSid.Data,
                           a.Value.AccountSid.Size) == 0;
    case WINBIO_ID_TYPE_SECURE_ID:
        return std::memcmp(a.Value.SecureId, b.Value.SecureId, WINBIO_SECURE_ID_SIZE) == 0;
    case WINBIO_ID_TYPE_GUID:
        return std::memcmp(&a.Value.TemplateGuid, &b.Value.TemplateGuid, sizeof(GUID)) == 0;
    case WINBIO_ID_TYPE_WILDCARD:
        return a.Value.Wildcard == b.Value.Wildcard;
    default:
        return true;
    }
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string FingerName(BYTE subFactor) {
    static const char* const kNames[] = {
        "unknown finger",     "right thumb",         "right index finger", "right middle finger",
        "right ring finger",  "right little finger", "left thumb",         "left index finger",
        "left middle finger", "left ring finger",    "left little finger",
    };
    if (subFactor == WINBIO_SUBTYPE_ANY)
        return "any finger";
    if (subFactor < sizeof(kNames) / sizeof(kNames[0]))
        return kNames[subFactor];
    return "sub-factor " + std::to_string(subFactor);
}

std::string FingerText(BYTE subFactor) {
    if (subFactor == WINBIO_SUBTYPE_ANY)
        return "every finger";
    return "finger " + std::to_string(subFactor) + " (" + FingerName(subFactor) + ")";
}

} // namespace host
