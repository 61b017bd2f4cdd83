// The sensor adapter's device object for the framework's secure connection:
// it forwards the framework's parameters to the driver, checks that the chip's
// claim carries one of the embedded model certificates and builds the
// WINBIO_SECURE_CONNECTION_DATA that joins the reply with the matching chain's
// intermediate certificates.
//
// Full reply of IOCTL_BIOMETRIC_CONNECT_SECURE (all lengths 16-bit little-endian):
//   L1 | device nonce (L1 = 32) | L2 | claim (L2 bytes) | L3 | connection MAC (L3 = 32)
// where the claim is the model certificate (L2 - 290 bytes) followed by MocClaimKeys.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "device/driver_interface.h"

// Where the connection data handed to the framework carries the claimed model
// certificate.
constexpr DWORD MOC_CONNECTION_DATA_MODEL_OFFSET = 84;

// One entry of a table of embedded certificate chains.
struct CertificateChain {
    const BYTE* ModelCertificate;
    const BYTE* IntermediateCA1;
    const BYTE* IntermediateCA2;
    DWORD ModelCertificateLength;
    DWORD IntermediateCA1Length;
    DWORD IntermediateCA2Length;
};

// The fields of a full reply, located and bounds-checked; the pointers point
// into the reply buffer.
struct ConnectSecureReply {
    const BYTE* DeviceNonce;
    const BYTE* Claim;
    DWORD ClaimLength;
    const BYTE* ConnectionMac;
};

// True when every length lies within `replyLength` bytes and the nonce, the
// MAC and the claim's fixed fields have their sizes.
bool ParseConnectSecureReply(const BYTE* reply, DWORD replyLength, ConnectSecureReply* parsed);

class CMocSecureConnection {
public:
    CMocSecureConnection() = default;
    ~CMocSecureConnection() = default;

    // Stores the pipeline and sizes and allocates both buffers from the chain
    // table already held.
    HRESULT Init(PWINBIO_PIPELINE pipeline);
    void Uninit();

    // The data handed out stays owned by the object, valid until the next
    // exchange or the object's end.
    HRESULT ConnectSecure(const WINBIO_SECURE_CONNECTION_PARAMS* params,
                          PWINBIO_SECURE_CONNECTION_DATA* connectionData);

    PWINBIO_PIPELINE Pipeline = nullptr;
    BYTE* ConnectionData = nullptr;
    DWORD ConnectionDataCapacity = 0;
    DWORD ReconnectDataSize = 0;
    DWORD ResponseCapacity = 0;
    BYTE* Response = nullptr;
    BYTE DeviceNonce[MOC_SECURE_FIELD_SIZE] = {};
    BYTE ConnectionMac[MOC_SECURE_FIELD_SIZE] = {};
    BYTE DevicePublicKey[MOC_P256_PUBLIC_KEY_SIZE] = {};
    BYTE FirmwarePublicKey[MOC_P256_PUBLIC_KEY_SIZE] = {};
    BYTE FirmwareHash[MOC_FIRMWARE_HASH_SIZE] = {};
    BYTE ModelSignature[MOC_SIGNATURE_SIZE] = {};
    BYTE DeviceSignature[MOC_SIGNATURE_SIZE] = {};
    CertificateChain* Chains = nullptr;
    DWORD ChainCount = 0;
    DWORD MatchedChain = 0;

private:
    HRESULT Reconnect(const WINBIO_SECURE_CONNECTION_PARAMS& params,
                      PWINBIO_SECURE_CONNECTION_DATA* connectionData);
    HRESULT FullConnect(const WINBIO_SECURE_CONNECTION_PARAMS& params, DWORD replyLength,
                        PWINBIO_SECURE_CONNECTION_DATA* connectionData);
    void FillHead(const WINBIO_SECURE_CONNECTION_PARAMS& params, DWORD size,
                  const CertificateChain& chain, const BYTE* mac);
};

// Stores the object in `*connection` at once, also when the creation fails
// (then with no pipeline, buffers or table, and every exchange on it fails).
HRESULT MocCreateSecureConnection(PWINBIO_PIPELINE pipeline, const CertificateChain* chains,
                                  DWORD chainCount, CMocSecureConnection** connection);
HRESULT MocDestroySecureConnection(CMocSecureConnection* connection);
CMocSecureConnection* MocDeleteSecureConnection(CMocSecureConnection* connection);
HRESULT MocConnectSecure(CMocSecureConnection* connection,
                         const WINBIO_SECURE_CONNECTION_PARAMS* params,
                         PWINBIO_SECURE_CONNECTION_DATA* connectionData);
