// What every harness stands on: the platform stand-in with a drive root in a
// fresh temporary folder, and one biometric unit whose sensor handle leads to
// the simulated sensor, with the adapters attached through their exported
// tables as the framework attaches them. A harness scripts the sensor's reply
// to the control code it fuzzes and runs the adapter operation that reads it.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>
#include "simsensor/simulated_sensor.h"
#include "storage/database_file.h"

namespace moc_fuzz {

using Bytes = std::vector<uint8_t>;

// The framework's database file, and the private file beside it.
constexpr const WCHAR* kDatabaseFilePath =
    u"C:\\WinBioDatabase\\{6A2F2E1C-0E1E-4D2B-9C3C-5B7E0A1D2F30}.DAT";
constexpr const char* kPrivateFilePath =
    "C:\\WinBioDatabase\\0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";

// Resets the stand-in and maps the drives onto a fresh temporary folder with
// the database folders in it; the folder goes when the process exits. Called
// once, from LLVMFuzzerInitialize.
void PrepareGround();

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

    // Before each input: no fault planned, an empty request log (so that a
    // long run does not grow it), the console unlocked.
    void Forget();

    std::shared_ptr<simsensor::SimulatedSensor> sensor;
    WINBIO_PIPELINE pipeline{};
    PWINBIO_SENSOR_INTERFACE sensorAdapter = nullptr;
    PWINBIO_ENGINE_INTERFACE engine = nullptr;
    PWINBIO_STORAGE_INTERFACE storage = nullptr;
};

// The adapters StartUnit attaches.
enum Adapters : unsigned { kSensor = 1, kEngine = 2, kStorage = 4 };

// The start of every harness (its LLVMFuzzerInitialize): the ground, then a
// unit with the named adapters attached (the engine first, as the sensor's
// capture asks it for its format); aborts when an attach fails.
Unit* StartUnit(unsigned adapters);

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
