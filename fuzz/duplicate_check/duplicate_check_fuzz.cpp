// The chip's duplicate-check reply, read by the engine during an enrollment.
// Input: the reply.
#include "engine/engine_adapter.h"
#include "support/fuzz_unit.h"

namespace {

void Start(moc_fuzz::Unit& unit) {
    if (unit.engine->CreateEnrollment(&unit.pipeline) != S_OK)
        moc_fuzz::Broken("an enrollment");
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    unit.sensor->ReplyWith(IOCTL_MOC_CHECK_DUPLICATE, moc_fuzz::Bytes(data, data + size));
    WINBIO_IDENTITY identity;
    WINBIO_BIOMETRIC_SUBTYPE subFactor = 0;
    BOOLEAN duplicate = TRUE;
    HRESULT hr = unit.engine->CheckForDuplicate(&unit.pipeline, &identity, &subFactor, &duplicate);
    if (size < sizeof(MocDuplicateResponse))
        Expect(FAILED(hr) && duplicate == FALSE, "a short reply is no duplicate");
    if (duplicate) {
        Expect(hr == S_OK, "a duplicate is reported as success");
        Expect(identity.Type == WINBIO_ID_TYPE_SECURE_ID ||
                   (identity.Type == WINBIO_ID_TYPE_SID &&
                    identity.Value.AccountSid.Size <= SECURITY_MAX_SID_SIZE),
               "a duplicate names an identity");
    }
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kEngine, 0, Start, Run};
