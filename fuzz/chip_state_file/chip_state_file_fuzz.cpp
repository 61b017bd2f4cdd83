// The simulated chip's state file, which the framework stand-in loads from its
// root at every start: whatever lies there is loaded by a fresh chip. A file
// the chip refuses leaves it as it was; a file it loads, it saves and loads
// back the same. Input: one byte whose lowest bit keeps the rest as it stands,
// else the rest is a body that gets its checksum line, so that inputs reach
// the checks behind the checksum.
#include <string>
#include "platform/test.h"
#include "support/bytes.h"
#include "support/chip_state.h"
#include "support/fuzz_unit.h"

namespace {

using simsensor::SimulatedSensor;
using StateLoad = SimulatedSensor::StateLoad;

constexpr char kPath[] = "C:\\simulated-chip.state";
constexpr char kSavedPath[] = "C:\\simulated-chip-saved.state";

// Everything the state file keeps, field by field.
std::string Kept(const SimulatedSensor& chip) {
    using moc_test::BytesOf;
    using moc_test::Hex;
    const simsensor::Enrollment e = chip.CurrentEnrollment();
    std::string out = Hex(BytesOf(chip.Capabilities())) + Hex(BytesOf(chip.Policy())) +
                      Hex(BytesOf(chip.HostOwner())) + Hex(BytesOf(chip.SensorId())) + " " +
                      std::to_string(chip.DatabaseVersion()) + " " +
                      std::to_string(chip.PurgeFlag()) + " " + std::to_string(e.active) + " " +
                      std::to_string(e.slot) + " " + std::to_string(e.finger) + " " +
                      std::to_string(e.samples);
    for (const simsensor::SimSlot& s : chip.Table())
        out += " " + std::to_string(s.state) + "," + std::to_string(s.identityKind) + "," +
               std::to_string(s.subFactor) + "," + Hex(BytesOf(s.key)) + "," +
               std::to_string(s.reserved) + "," + Hex(BytesOf(s.owner)) + "," +
               Hex(BytesOf(s.rawKey)) + "," + std::to_string(s.finger);
    return out;
}

std::string freshChip; // what a chip holds before it loads anything

void Start(moc_fuzz::Unit&) {
    freshChip = Kept(SimulatedSensor());
}

void Run(moc_fuzz::Unit&, const uint8_t* data, size_t size) {
    using moc_fuzz::Expect;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) == 0)
        text = moc_test::ResealedChipState(text);
    platform::test::WriteWholeFile(kPath, text);

    SimulatedSensor chip;
    std::string why;
    const StateLoad load = chip.LoadState(kPath, &why);
    Expect(load != StateLoad::Missing, "a file that is there is not missing");
    if (load == StateLoad::Refused) {
        Expect(!why.empty(), "a refusal says why");
        Expect(Kept(chip) == freshChip, "a refused file leaves the chip as it was");
        return;
    }
    Expect(chip.Table().size() == chip.Capabilities().SlotCount,
           "the table has the slots the capabilities count");
    const std::string loaded = Kept(chip);
    Expect(chip.KeepStateIn(kSavedPath, &why), "a loaded state saves");
    SimulatedSensor again;
    Expect(again.LoadState(kSavedPath, &why) == StateLoad::Loaded, "a saved state loads");
    Expect(Kept(again) == loaded, "a saved state loads back the same");
}

} // namespace

const moc_fuzz::Harness moc_fuzz::kHarness = {0, 1, Start, Run};
