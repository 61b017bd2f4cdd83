// The certificate chains of the sensor models this library supports. The
// secure connection picks a chain by the length of the claimed model
// certificate, so the lengths below are binding; the build embeds the DER
// files of sensor/certificates/ and fails when one has another length.
#pragma once
#include <windows.h>
#include "device/secure_connection.h"

constexpr DWORD kModelCertificate0Length = 807;
constexpr DWORD kModelCertificate1Length = 808;
constexpr DWORD kModelCertificate2Length = 846;
constexpr DWORD kIntermediateCA1ALength = 967;  // issuer of models 0 and 1
constexpr DWORD kIntermediateCA1BLength = 1025; // issuer of model 2
constexpr DWORD kIntermediateCA2Length = 1114;  // issuer of both intermediate CA 1

extern const BYTE kModelCertificate0[kModelCertificate0Length];
extern const BYTE kModelCertificate1[kModelCertificate1Length];
extern const BYTE kModelCertificate2[kModelCertificate2Length];
extern const BYTE kIntermediateCA1A[kIntermediateCA1ALength];
extern const BYTE kIntermediateCA1B[kIntermediateCA1BLength];
extern const BYTE kIntermediateCA2[kIntermediateCA2Length];

constexpr DWORD kEmbeddedChainCount = 3;

// The table the secure connection matches claims against, in its order:
// model 0, model 1, model 2.
void BuildCertificateChains(CertificateChain (&chains)[kEmbeddedChainCount]);
