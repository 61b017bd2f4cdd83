// The framework's side of identities: the account of the signed-in user, the secure
// identity the authenticated road enrolls it under, fingers by sub-factor, and the text
// forms people read.
#pragma once
#include <windows.h>
#include <winbio_types.h>
#include <string>

namespace host {

// The one account signed in on this host, an account SID of 28 bytes.
WINBIO_IDENTITY SignedInUser();
// The 32-byte secure identity under which the authenticated enrollment keeps that account.
WINBIO_IDENTITY SignedInUserSecureIdentity();
WINBIO_IDENTITY WildcardIdentity();

// "S-1-5-21-...", "secure identity 0123...", "{GUID}", "wildcard", "none".
std::string IdentityText(const WINBIO_IDENTITY& identity);
bool SameIdentity(const WINBIO_IDENTITY& a, const WINBIO_IDENTITY& b);
// "{8C6E1F3A-5B27-4D90-A1E4-37C2F05B9D61}".
std::string GuidText(const GUID& guid);

constexpr int kFirstFinger = WINBIO_ANSI_381_POS_RH_THUMB;
constexpr int kLastFinger = WINBIO_ANSI_381_POS_LH_LITTLE_FINGER;
// "right index finger" for sub-factor 2; "any finger" for WINBIO_SUBTYPE_ANY.
std::string FingerName(BYTE subFactor);
// "finger 2 (right index finger)".
std::string FingerText(BYTE subFactor);

} // namespace host
