#include "device/secure_connection.h"

#include <cstring>
#include <new>

#include "common/byte_order.h"
#include "common/trace.h"
#include "device/device_request.h"

namespace {

constexpr DWORD kLengthFieldSize = 2;
// Connection data offsets: the record's head, then the MACs and the nonce.
constexpr DWORD kDataMacOffset = sizeof(WINBIO_SECURE_CONNECTION_DATA);
constexpr DWORD kDataNonceOffset = kDataMacOffset + MOC_SECURE_FIELD_SIZE;
constexpr DWORD kDataModelOffset = kDataNonceOffset + MOC_SECURE_FIELD_SIZE;
static_assert(kDataModelOffset == MOC_CONNECTION_DATA_MODEL_OFFSET,
              "model certificate of the connection data");
static_assert(kDataModelOffset + MOC_CLAIM_FIXED_SIZE == MOC_CONNECTION_DATA_OVERHEAD,
              "connection data overhead");
static_assert(kDataNonceOffset == MOC_RECONNECT_DATA_SIZE, "reconnect data ends before the nonce");
static_assert(3 * kLengthFieldSize + 2 * MOC_SECURE_FIELD_SIZE + MOC_CLAIM_FIXED_SIZE ==
                  MOC_CONNECT_RESPONSE_OVERHEAD,
              "room of a full reply beside the model certificate");

// Takes one length-prefixed field at `*pos`; false when the length or the
// field runs past the reply.
bool TakeField(const BYTE* reply, DWORD replyLength, DWORD* pos, DWORD* length,
               const BYTE** field) {
    if (replyLength - *pos < kLengthFieldSize) {
        return false;
    }
    *length = ReadLe16(reply + *pos);
    *pos += kLengthFieldSize;
    if (replyLength - *pos < *length) {
        return false;
    }
    *field = reply + *pos;
    *pos += *length;
    return true;
}

} // namespace

bool ParseConnectSecureReply(const BYTE* reply, DWORD replyLength, ConnectSecureReply* parsed) {
    if (reply == nullptr || parsed == nullptr) {
        return false;
    }
    DWORD pos = 0;
    DWORD nonceLength = 0;
    DWORD claimLength = 0;
    DWORD macLength = 0;
    const BYTE* nonce = nullptr;
    const BYTE* claim = nullptr;
    const BYTE* mac = nullptr;
    if (!TakeField(reply, replyLength, &pos, &nonceLength, &nonce) ||
        nonceLength != MOC_SECURE_FIELD_SIZE) {
        return false;
    }
    if (!TakeField(reply, replyLength, &pos, &claimLength, &claim) ||
        claimLength < MOC_CLAIM_FIXED_SIZE) {
        return false;
    }
    if (!TakeField(reply, replyLength, &pos, &macLength, &mac) ||
        macLength != MOC_SECURE_FIELD_SIZE) {
        return false;
    }
    parsed->DeviceNonce = nonce;
    parsed->Claim = claim;
    parsed->ClaimLength = claimLength;
    parsed->ConnectionMac = mac;
    return true;
}

// ---------------------------------------------------------------------------
// CMocSecureConnection
// ---------------------------------------------------------------------------

HRESULT CMocSecureConnection::Init(PWINBIO_PIPELINE pipeline) {
    Pipeline = pipeline;
    if (Chains == nullptr || ChainCount == 0) {
        return MOC_E_SECURE_CONNECTION_CREATE;
    }
    ULONG64 maxModel = 0;
    ULONG64 maxCa1 = 0;
    ULONG64 maxCa2 = 0;
    for (DWORD i = 0; i < ChainCount; ++i) {
        const CertificateChain& chain = Chains[i];
        if (chain.ModelCertificateLength > maxModel) {
            maxModel = chain.ModelCertificateLength;
        }
        if (chain.IntermediateCA1Length > maxCa1) {
            maxCa1 = chain.IntermediateCA1Length;
        }
        if (chain.IntermediateCA2Length > maxCa2) {
            maxCa2 = chain.IntermediateCA2Length;
        }
    }
    const ULONG64 dataCapacity = maxModel + maxCa1 + maxCa2 + MOC_CONNECTION_DATA_OVERHEAD;
    const ULONG64 responseCapacity = maxModel + MOC_CONNECT_RESPONSE_OVERHEAD;
    if (dataCapacity > 0xFFFFFFFFu) {
        return MOC_E_SECURE_CONNECTION_CREATE;
    }
    ConnectionDataCapacity = static_cast<DWORD>(dataCapacity);
    ReconnectDataSize = MOC_RECONNECT_DATA_SIZE;
    ResponseCapacity = static_cast<DWORD>(responseCapacity);
    ConnectionData = new (std::nothrow) BYTE[ConnectionDataCapacity]();
    Response = new (std::nothrow) BYTE[ResponseCapacity]();
    if (ConnectionData == nullptr || Response == nullptr) {
        Uninit();
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

void CMocSecureConnection::Uninit() {
    delete[] ConnectionData;
    ConnectionData = nullptr;
    delete[] Response;
    Response = nullptr;
}

void CMocSecureConnection::FillHead(const WINBIO_SECURE_CONNECTION_PARAMS& params, DWORD size,
                                    const CertificateChain& chain, const BYTE* mac) {
    WINBIO_SECURE_CONNECTION_DATA head;
    head.Size = size;
    head.Version = params.Version;
    head.Flags = params.Flags;
    head.ModelCertificateSize = chain.ModelCertificateLength;
    head.IntermediateCA1Size = chain.IntermediateCA1Length;
    head.IntermediateCA2Size = chain.IntermediateCA2Length;
    std::memcpy(ConnectionData, &head, sizeof(head));
    std::memcpy(ConnectionData + kDataMacOffset, mac, MOC_SECURE_FIELD_SIZE);
}

HRESULT CMocSecureConnection::ConnectSecure(const WINBIO_SECURE_CONNECTION_PARAMS* params,
                                            PWINBIO_SECURE_CONNECTION_DATA* connectionData) {
    if (params == nullptr || connectionData == nullptr) {
        return MOC_E_CONNECT_SECURE_ARGUMENT;
    }
    // An object whose creation failed holds no buffers or chains.
    if (Response == nullptr || ConnectionData == nullptr || Chains == nullptr || ChainCount == 0) {
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    std::memset(Response, 0, ResponseCapacity);
    const bool reconnect = params->Flags == MOC_SECURE_FLAGS_RECONNECT;
    const DWORD replyCapacity = reconnect ? MOC_RECONNECT_RESPONSE_SIZE : ResponseCapacity;
    // A full reply is checked field by field below, a reconnect reply here.
    DeviceRequest request(Pipeline, IOCTL_BIOMETRIC_CONNECT_SECURE, MOC_E_CONNECT_SECURE_REQUEST);
    HRESULT hr = request.Input(params, params->PayloadSize)
                     .Output(Response, replyCapacity, reconnect ? MOC_RECONNECT_RESPONSE_SIZE : 0)
                     .Send();
    if (FAILED(hr)) {
        return hr;
    }
    if (reconnect) {
        return Reconnect(*params, connectionData);
    }
    return FullConnect(*params, request.BytesReturned(), connectionData);
}

HRESULT CMocSecureConnection::Reconnect(const WINBIO_SECURE_CONNECTION_PARAMS& params,
                                        PWINBIO_SECURE_CONNECTION_DATA* connectionData) {
    const CertificateChain& chain = Chains[MatchedChain < ChainCount ? MatchedChain : 0];
    MocReconnectResponse reply;
    std::memcpy(&reply, Response, sizeof(reply));
    FillHead(params, ReconnectDataSize, chain, reply.Mac);
    *connectionData = reinterpret_cast<PWINBIO_SECURE_CONNECTION_DATA>(ConnectionData);
    return S_OK;
}

HRESULT CMocSecureConnection::FullConnect(const WINBIO_SECURE_CONNECTION_PARAMS& params,
                                          DWORD replyLength,
                                          PWINBIO_SECURE_CONNECTION_DATA* connectionData) {
    // Every length is checked before anything is copied, so a malformed reply
    // leaves the object as it was.
    ConnectSecureReply reply;
    if (!ParseConnectSecureReply(Response, replyLength, &reply)) {
        MOC_TRACE_ERROR(kTraceGuidSecureConnection, 10,
                        "connect-secure reply of %u bytes is malformed", replyLength);
        return MocFailure(MOC_E_CONNECT_SECURE_RESPONSE, MOC_SECURE_REASON_MALFORMED);
    }
    std::memcpy(DeviceNonce, reply.DeviceNonce, sizeof(DeviceNonce));
    std::memcpy(ConnectionMac, reply.ConnectionMac, sizeof(ConnectionMac));

    DWORD index = 0;
    while (index < ChainCount &&
           static_cast<ULONG64>(Chains[index].ModelCertificateLength) + MOC_CLAIM_FIXED_SIZE !=
               reply.ClaimLength) {
        ++index;
    }
    if (index == ChainCount) {
        return MocFailure(MOC_E_CONNECT_SECURE_RESPONSE, MOC_SECURE_REASON_NO_CHAIN);
    }
    // Kept even when the certificate differs: a reconnect then reports the
    // sizes of the chain this claim chose.
    MatchedChain = index;
    const CertificateChain& chain = Chains[index];
    const DWORD model = chain.ModelCertificateLength;
    if (model != 0 && std::memcmp(reply.Claim, chain.ModelCertificate, model) != 0) {
        return MocFailure(MOC_E_CONNECT_SECURE_RESPONSE, MOC_SECURE_REASON_MODEL_MISMATCH);
    }

    MocClaimKeys keys;
    std::memcpy(&keys, reply.Claim + model, sizeof(keys));
    std::memcpy(DevicePublicKey, keys.DevicePublicKey, sizeof(DevicePublicKey));
    std::memcpy(FirmwarePublicKey, keys.FirmwarePublicKey, sizeof(FirmwarePublicKey));
    std::memcpy(FirmwareHash, keys.FirmwareHash, sizeof(FirmwareHash));
    std::memcpy(ModelSignature, keys.ModelSignature, sizeof(ModelSignature));
    std::memcpy(DeviceSignature, keys.DeviceSignature, sizeof(DeviceSignature));

    // The capacity holds the largest chain, so every chain's content fits.
    FillHead(params, ConnectionDataCapacity, chain, ConnectionMac);
    BYTE* out = ConnectionData + kDataNonceOffset;
    std::memcpy(out, DeviceNonce, sizeof(DeviceNonce));
    out += sizeof(DeviceNonce);
    std::memcpy(out, reply.Claim, model);
    out += model;
    std::memcpy(out, &keys, sizeof(keys));
    out += sizeof(keys);
    if (chain.IntermediateCA1Length != 0) {
        std::memcpy(out, chain.IntermediateCA1, chain.IntermediateCA1Length);
        out += chain.IntermediateCA1Length;
    }
    if (chain.IntermediateCA2Length != 0) {
        std::memcpy(out, chain.IntermediateCA2, chain.IntermediateCA2Length);
    }
    *connectionData = reinterpret_cast<PWINBIO_SECURE_CONNECTION_DATA>(ConnectionData);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Life of the object
// ---------------------------------------------------------------------------

HRESULT MocCreateSecureConnection(PWINBIO_PIPELINE pipeline, const CertificateChain* chains,
                                  DWORD chainCount, CMocSecureConnection** connection) {
    if (connection == nullptr) {
        return E_POINTER;
    }
    CMocSecureConnection* object = new (std::nothrow) CMocSecureConnection();
    *connection = object;
    if (object == nullptr) {
        return E_OUTOFMEMORY;
    }
    if (chains == nullptr || chainCount == 0) {
        return MOC_E_SECURE_CONNECTION_CREATE;
    }
    // A certificate without its bytes could not be compared or copied.
    for (DWORD i = 0; i < chainCount; ++i) {
        const CertificateChain& chain = chains[i];
        if ((chain.ModelCertificate == nullptr && chain.ModelCertificateLength != 0) ||
            (chain.IntermediateCA1 == nullptr && chain.IntermediateCA1Length != 0) ||
            (chain.IntermediateCA2 == nullptr && chain.IntermediateCA2Length != 0)) {
            return MOC_E_SECURE_CONNECTION_CREATE;
        }
    }
    object->Chains = new (std::nothrow) CertificateChain[chainCount];
    if (object->Chains == nullptr) {
        return E_OUTOFMEMORY;
    }
    std::memcpy(object->Chains, chains, chainCount * sizeof(CertificateChain));
    object->ChainCount = chainCount;
    HRESULT hr = object->Init(pipeline);
    if (FAILED(hr)) {
        // Leaves the cleared object of a failed creation, as for a missing table.
        delete[] object->Chains;
        object->Chains = nullptr;
        object->ChainCount = 0;
        object->Pipeline = nullptr;
    }
    return hr;
}

HRESULT MocDestroySecureConnection(CMocSecureConnection* connection) {
    if (connection == nullptr) {
        return S_OK;
    }
    connection->Uninit();
    delete[] connection->Chains;
    connection->Chains = nullptr;
    connection->ChainCount = 0;
    delete connection;
    return S_OK;
}

CMocSecureConnection* MocDeleteSecureConnection(CMocSecureConnection* connection) {
    delete connection;
    return connection;
}

HRESULT MocConnectSecure(CMocSecureConnection* connection,
                         const WINBIO_SECURE_CONNECTION_PARAMS* params,
                         PWINBIO_SECURE_CONNECTION_DATA* connectionData) {
    if (connection == nullptr) {
        return params == nullptr ? MOC_E_CONNECT_SECURE_ARGUMENT : WINBIO_E_INVALID_DEVICE_STATE;
    }
    return connection->ConnectSecure(params, connectionData);
}
