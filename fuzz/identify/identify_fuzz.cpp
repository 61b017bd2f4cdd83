// The chip's identify reply, read by the engine's identify, authenticated
// identify and verify. Input: byte 0 picks the operation (bits 0-1: identify,
// authenticated identify, authenticated identify with a nonce of byte 1's
// length, verify) and bit 2 locks the console (the match is then counted in
// the private file); the rest is the reply.
#include <wtsapi32.h>
#include <cstring>
#include <vector>
#include "engine/engine_adapter.h"
#include "platform/test.h"
#include "support/fuzz_unit.h"

namespace {

constexpr DWORD kRepliedWithoutNonce = 62; // up to the match detail
constexpr DWORD kRepliedWithNonce = 94;

void Start(moc_fuzz::Unit&) {
    // A fresh private file, for the counts at the lock screen.
    const DatabaseFileHeader header = FreshDatabaseHeader(MOC_DATABASE_MAGIC);
    moc_fuzz::PrivateFile().Lay(reinterpret_cast<const uint8_t*>(&header), sizeof(header));
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    const int operation = data[0] & 3;
    if (data[0] & 4)
        platform::test::SetConsoleLockState(WTS_SESSIONSTATE_LOCK);
    const moc_fuzz::Bytes reply = moc_fuzz::Rest(data, size, 2);
    unit.sensor->ReplyWith(IOCTL_MOC_IDENTIFY, reply);

    PWINBIO_PIPELINE pipeline = &unit.pipeline;
    WINBIO_IDENTITY identity;
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
    WINBIO_REJECT_DETAIL reject = 0;
    HRESULT hr;
    DWORD needed = kRepliedWithoutNonce;
    if (operation == 0) {
        PUCHAR payload = nullptr, hash = nullptr;
        SIZE_T payloadSize = 0, hashSize = 0;
        hr = unit.engine->IdentifyFeatureSet(pipeline, &identity, &subFactor, &payload,
                                             &payloadSize, &hash, &hashSize, &reject);
        Expect(payload == nullptr && hash == nullptr, "no payload or hash from the chip");
        if (SUCCEEDED(hr))
            Expect(identity.Type == WINBIO_ID_TYPE_SID &&
                       identity.Value.AccountSid.Size <= SECURITY_MAX_SID_SIZE,
                   "an identify hands out an account");
    } else if (operation == 3) {
        WINBIO_IDENTITY account = moc_fuzz::AccountIdentity();
        BOOLEAN match = 0xEE; // neither answer, until the engine gives one
        PUCHAR payload = nullptr, hash = nullptr;
        SIZE_T payloadSize = 0, hashSize = 0;
        hr = unit.engine->VerifyFeatureSet(pipeline, &account, data[1], &match, &payload,
                                           &payloadSize, &hash, &hashSize, &reject);
        Expect((match == TRUE) == (hr == S_OK), "a match is reported as success");
    } else {
        // The nonce lies in a buffer of its own exact size, so that a read past it shows.
        const size_t nonceSize = operation == 1 ? 32 : data[1];
        std::vector<UCHAR> nonce(nonceSize ? nonceSize : 1, 0x5A);
        PUCHAR authorization = nullptr;
        SIZE_T authorizationSize = 0;
        hr = unit.engine->IdentifyFeatureSetAuthenticated(pipeline, nonce.data(), nonceSize,
                                                          &identity, &subFactor, &reject,
                                                          &authorization, &authorizationSize);
        if (nonceSize != 0)
            needed = kRepliedWithNonce;
        if (authorization != nullptr)
            Expect(authorizationSize == 32 && hr == S_OK, "an authorization only with a match");
    }
    if (reply.size() < needed)
        Expect(FAILED(hr), "a short reply is no answer");
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kEngine, 2, Start, Run};
