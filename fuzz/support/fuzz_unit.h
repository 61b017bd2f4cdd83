// What every harness stands on: the platform stand-in with a drive root in a
// fresh temporary folder, and one biometric unit of the framework stand-in
// whose sensor handle leads to the simulated sensor, with the adapters
// attached through their exported tables as the framework attaches them. A
// harness scripts the sensor's reply to the control code it fuzzes and runs
// the adapter operation that reads it.
//
// A harness defines kHarness; fuzz_main.cpp holds libFuzzer's entry points
// around it.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include "host/biometric_unit.h"
#include "simsensor/simulated_sensor.h"
#include "storage/database_file.h"
#include "support/bytes.h"

namespace moc_fuzz {

using moc_test::Bytes;

// The framework's database file, and the private file beside it.
using host::kDatabaseFilePath;
extern const char* const kPrivateFilePath;

// Resets the stand-in and maps the drives onto a fresh temporary folder with
// the database folder in it; the folder goes when the process exits. Called
// once, from LLVMFuzzerInitialize.
void PrepareGround();

// A file that a harness lays in the ground before the code under test reads
// it: its path mapped once (so made after PrepareGround), its bytes written
// with one open, write and close outside the stand-in, so that the harness's
// own file work stays small beside the code's. Aborts when the write fails.
class GroundFile {
public:
    explicit GroundFile(const char* windowsPath);
    void Lay(const uint8_t* data, size_t size) const;
    void Lay(const std::string& bytes) const {
        Lay(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }

private:
    std::string native_;
};

// The private file in the ground (mapped at the first call, after PrepareGround).
const GroundFile& PrivateFile();

// A property of the code under test that the input broke: reported and
// aborted, so that the fuzzer keeps the input as a crash.
[[noreturn]] inline void Broken(const char* what) {
    std::fprintf(stderr, "fuzz: broken: %s\n", what);
    std::abort();
}
inline void Expect(bool holds, const char* what) {
    if (!holds)
        Broken(what);
}

// The framework stand-in's unit on the adapters linked into the harness; it
// builds the pipeline and detaches what is left attached when it goes.
class Unit {
public:
    Unit();
    ~Unit();
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

    HRESULT AttachSensor();
    HRESULT AttachEngine();
    HRESULT AttachStorage();
    void DetachSensor();
    void DetachEngine();
    void DetachStorage();

    // After each input: no fault planned, an empty request log, the console
    // unlocked, no kept copies of a file. So an input frees within its own
    // run what it allocated: libFuzzer runs an input again, and then looks
    // for leaks, whenever its run left more blocks allocated than it freed.
    void Forget();

    std::shared_ptr<simsensor::SimulatedSensor> sensor;
    host::BiometricUnit framework;
    WINBIO_PIPELINE& pipeline;
    const PWINBIO_SENSOR_INTERFACE sensorAdapter;
    const PWINBIO_ENGINE_INTERFACE engine;
    const PWINBIO_STORAGE_INTERFACE storage;
};

// The adapters StartUnit attaches.
enum Adapters : unsigned { kSensor = 1, kEngine = 2, kStorage = 4 };

// The start of every harness (its LLVMFuzzerInitialize): the ground, then a
// unit with the named adapters attached (the engine first, as the sensor's
// capture asks it for its format); aborts when an attach fails.
Unit* StartUnit(unsigned adapters);

// One harness, as fuzz_main.cpp runs it: StartUnit(adapters), then `start`
// once (when given) and Forget; then for each input of at least `leastInput`
// bytes, `run` and Forget. A run leaves the adapters attached as it found
// them.
struct Harness {
    unsigned adapters;
    size_t leastInput;
    void (*start)(Unit& unit);
    void (*run)(Unit& unit, const uint8_t* data, size_t size);
};
extern const Harness kHarness;

// The identities the harnesses and their seeds use: an account of 28 bytes
// and a secure identity.
WINBIO_IDENTITY AccountIdentity();
WINBIO_IDENTITY SecureIdentity();

// A record block of this host for `identity` on the right index finger; an
// owned one carries the simulated sensor's id.
DatabaseRecordBlock HostRecordBlock(BYTE type, const WINBIO_IDENTITY& identity);

// Presents a finger to the simulated sensor and captures it synchronously, so
// that the chip holds a sample; the sample record, as the sensor hands it over.
Bytes SampleOnChip(Unit& unit);

// The bytes after the first `skip` of an input (none when it is shorter).
inline Bytes Rest(const uint8_t* data, size_t size, size_t skip) {
    return size > skip ? Bytes(data + skip, data + size) : Bytes();
}

} // namespace moc_fuzz
