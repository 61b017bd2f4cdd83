// The chip's reply to a sample submitted for acceptance, read by the engine
// before it confirms the sample under the token. Input: byte 0 the purpose
// (taken modulo the six single purposes), then the reply.
#include "engine/engine_adapter.h"
#include "support/fuzz_unit.h"

namespace {

moc_fuzz::Bytes sample; // one sample record as the sensor hands it over

const WINBIO_BIR_PURPOSE kPurposes[] = {
    WINBIO_PURPOSE_VERIFY,
    WINBIO_PURPOSE_IDENTIFY,
    WINBIO_PURPOSE_ENROLL,
    WINBIO_PURPOSE_ENROLL_FOR_VERIFICATION,
    WINBIO_PURPOSE_ENROLL_FOR_IDENTIFICATION,
    WINBIO_PURPOSE_AUDIT,
};

void Start(moc_fuzz::Unit& unit) {
    sample = moc_fuzz::SampleOnChip(unit);
}

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    const WINBIO_BIR_PURPOSE purpose = kPurposes[data[0] % 6];
    const moc_fuzz::Bytes reply = moc_fuzz::Rest(data, size, 1);
    unit.sensor->ReplyWith(IOCTL_MOC_ACCEPT_SAMPLE, reply);
    // The scripted accept leaves the chip without an accepted sample, and the chip
    // refuses to confirm none: its confirm is played along with it.
    unit.sensor->ReplyWith(IOCTL_MOC_CONFIRM_SAMPLE, {});
    moc_fuzz::Bytes record = sample;
    WINBIO_REJECT_DETAIL reject = 0;
    HRESULT hr =
        unit.engine->AcceptSampleData(&unit.pipeline, reinterpret_cast<PWINBIO_BIR>(record.data()),
                                      record.size(), purpose, &reject);
    if (reply.size() < sizeof(MocAcceptSampleResponse))
        Expect(FAILED(hr) && hr != WINBIO_E_BAD_CAPTURE, "a short reply is no verdict");
    if (hr == S_OK)
        Expect(reject == 0, "an accepted sample has no reject detail");
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kEngine, 1, Start, Run};
