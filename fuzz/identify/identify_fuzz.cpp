// The chip's identify reply, read by the engine's identify, authenticated
// identify and verify. Input: byte 0 picks the operation (bits 0-1: identify,
// authenticated identify, authenticated identify with a nonce of byte 1's
// length, verify) and bit 2 locks the console (the match is then counted in
// the private file); the rest is the reply.
#include <wtsapi32.h>
#include <cstring>
#include <string>
#include "engine/engine_adapter.h"
#include "platform/test.h"
#include "support/fuzz_unit.h"

namespace {

moc_fuzz::Unit* unit = nullptr;
constexpr const char* kStatisticsFile =
    "C:\\Windows\\System32\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";
constexpr DWORD kRepliedWithoutNonce = 62; // up to the match detail
constexpr DWORD kRepliedWithNonce = 94;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    unit = moc_fuzz::StartUnit(moc_fuzz::kEngine);
    // A fresh private file, for the counts at the lock screen.
    const DatabaseFileHeader header = FreshDatabaseHeader(MOC_DATABASE_MAGIC);
    platform::test::WriteWholeFile(
        kStatisticsFile, std::string(reinterpret_cast<const char*>(&header), sizeof(header)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    if (size < 2)
        return 0;
    unit->Forget();
    const int operation = data[0] & 3;
    if (data[0] & 4)
        platform::test::SetConsoleLockState(WTS_SESSIONSTATE_LOCK);
    const moc_fuzz::Bytes reply = moc_fuzz::Rest(data, size, 2);
    unit->sensor->ReplyWith(IOCTL_MOC_IDENTIFY, reply);

    PWINBIO_PIPELINE pipeline = &unit->pipeline;
    WINBIO_IDENTITY identity;
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
    WINBIO_REJECT_DETAIL reject = 0;
    HRESULT hr;
    DWORD needed = kRepliedWithoutNonce;
    if (operation == 0) {
        PUCHAR payload = nullptr, hash = nullptr;
        SIZE_T payloadSize = 0, hashSize = 0;
        hr = unit->engine->IdentifyFeatureSet(pipeline, &identity, &subFactor, &payload,
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
        hr = unit->engine->VerifyFeatureSet(pipeline, &account, data[1], &match, &payload,
                                            &payloadSize, &hash, &hashSize, &reject);
        Expect((match == TRUE) == (hr == S_OK), "a match is reported as success");
    } else {
        // The nonce lies in a buffer of its own exact size, so that a read past it shows.
        const size_t nonceSize = operation == 1 ? 32 : data[1];
        std::vector<UCHAR> nonce(nonceSize ? nonceSize : 1, 0x5A);
        PUCHAR authorization = nullptr;
        SIZE_T authorizationSize = 0;
        hr = unit->engine->IdentifyFeatureSetAuthenticated(pipeline, nonce.data(), nonceSize,
                                                           &identity, &subFactor, &reject,
                                                           &authorization, &authorizationSize);
        if (nonceSize != 0)
            needed = kRepliedWithNonce;
        if (authorization != nullptr)
            Expect(authorizationSize == 32 && hr == S_OK, "an authorization only with a match");
    }
    if (reply.size() < needed)
        Expect(FAILED(hr), "a short reply is no answer");
    return 0;
}
