// libFuzzer's entry points, the same for every harness: the unit started once,
// then each input that is long enough handed to the harness; after it the
// unit forgets what the input left behind.
#include "support/fuzz_unit.h"

namespace {

moc_fuzz::Unit* unit = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    unit = moc_fuzz::StartUnit(moc_fuzz::kHarness.adapters);
    if (moc_fuzz::kHarness.start != nullptr)
        moc_fuzz::kHarness.start(*unit);
    unit->Forget();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < moc_fuzz::kHarness.leastInput)
        return 0;
    moc_fuzz::kHarness.run(*unit, data, size);
    unit->Forget();
    return 0;
}
