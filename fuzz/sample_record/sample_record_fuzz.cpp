// The sample record (a WINBIO_BIR with its header and standard data blocks)
// that the engine's sample acceptance receives from the sensor adapter, which
// builds it from the driver's capture reply. Input: byte 0 the purpose (any
// value, so that the purpose check is fuzzed too), then the record, in a
// buffer of its exact size.
#include "engine/engine_adapter.h"
#include "support/fuzz_unit.h"

namespace {

void Run(moc_fuzz::Unit& unit, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    // A sample on the chip for each input, so that the chip takes what the engine
    // submits: it takes one capture only once.
    moc_fuzz::SampleOnChip(unit);
    unit.sensor->ClearLog();
    moc_fuzz::Bytes record = moc_fuzz::Rest(data, size, 1);
    WINBIO_REJECT_DETAIL reject = 0;
    HRESULT hr = unit.engine->AcceptSampleData(
        &unit.pipeline, reinterpret_cast<PWINBIO_BIR>(record.empty() ? nullptr : record.data()),
        record.size(), data[0], &reject);
    if (record.size() < sizeof(WINBIO_BIR))
        Expect(FAILED(hr) && unit.sensor->Log().empty(), "a short record reaches no chip");
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {moc_fuzz::kEngine, 1, nullptr, Run};
