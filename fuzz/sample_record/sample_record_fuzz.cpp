// The sample record (a WINBIO_BIR with its header and standard data blocks)
// that the engine's sample acceptance receives from the sensor adapter, which
// builds it from the driver's capture reply. Input: byte 0 the purpose (any
// value, so that the purpose check is fuzzed too), then the record, in a
// buffer of its exact size.
#include "engine/engine_adapter.h"
#include "support/fuzz_unit.h"

namespace {

moc_fuzz::Unit* unit = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    unit = moc_fuzz::StartUnit(moc_fuzz::kEngine);
    // A sample on the chip, so that the chip takes what the engine submits.
    moc_fuzz::SampleOnChip(*unit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    if (size < 1)
        return 0;
    unit->Forget();
    moc_fuzz::Bytes record = moc_fuzz::Rest(data, size, 1);
    WINBIO_REJECT_DETAIL reject = 0;
    HRESULT hr = unit->engine->AcceptSampleData(
        &unit->pipeline, reinterpret_cast<PWINBIO_BIR>(record.empty() ? nullptr : record.data()),
        record.size(), data[0], &reject);
    if (record.size() < sizeof(WINBIO_BIR))
        Expect(FAILED(hr) && unit->sensor->Log().empty(), "a short record reaches no chip");
    return 0;
}
