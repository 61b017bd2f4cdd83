// The machine after a crash, as a person meets it: the chip as its flash (the
// simulated sensor's state file) kept it, and the adapter library loaded as
// the biometric service loads it, where a finger enrolled before must still
// sign in. For suites that link the framework stand-in (moc_host).
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "host/adapter_library.h"
#include "host/biometric_unit.h"
#include "host/identities.h"
#include "host/result_names.h"
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"

namespace moc_test {

// Puts the chip that the state file at `path` keeps behind a new handle in
// place of `chip` and its `handle`, as a restart finds it.
inline ::testing::AssertionResult
TakeChipFromStateFile(const std::string& path, std::shared_ptr<simsensor::SimulatedSensor>* chip,
                      HANDLE* handle) {
    auto loaded = std::make_shared<simsensor::SimulatedSensor>();
    std::string why;
    if (loaded->LoadState(path, &why) != simsensor::SimulatedSensor::StateLoad::Loaded)
        return ::testing::AssertionFailure()
               << "the chip's state file cannot be loaded: " << (why.empty() ? path : why);
    CloseHandle(*handle);
    *chip = loaded;
    *handle = platform::test::OpenDevice(loaded);
    return ::testing::AssertionSuccess();
}

// A finger on the chip and the identity the framework must get for it: an
// account signs in with the plain identify, a secure identity with the
// authenticated one.
struct EnrolledFinger {
    simsensor::Finger finger = simsensor::kNoFinger;
    BYTE subFactor = 0;
    WINBIO_IDENTITY identity{};
};

// A unit of the loaded library starts on `sensorHandle` (attach, open or
// create the database, activate), the finger is put down on `chip` and the
// framework identifies it; the unit stops again.
inline ::testing::AssertionResult FingerSignsIn(const host::AdapterTables& tables,
                                                HANDLE sensorHandle,
                                                simsensor::SimulatedSensor& chip,
                                                const EnrolledFinger& enrolled) {
    host::BiometricUnit unit(tables, sensorHandle);
    const HRESULT started = unit.Start();
    if (FAILED(started))
        return ::testing::AssertionFailure()
               << "the unit did not start: " << host::ResultText(started);
    simsensor::Presentation finger;
    finger.finger = enrolled.finger;
    finger.subFactor = enrolled.subFactor;
    chip.PresentFinger(finger);
    const host::IdentifyResult r = enrolled.identity.Type == WINBIO_ID_TYPE_SECURE_ID
                                       ? unit.IdentifyAuthenticated(std::vector<uint8_t>(32, 0x5C))
                                       : unit.Identify();
    unit.Stop();
    if (r.result != S_OK)
        return ::testing::AssertionFailure()
               << "the enrolled finger did not sign in: " << host::ResultText(r.result);
    if (!host::SameIdentity(r.identity, enrolled.identity) || r.subFactor != enrolled.subFactor)
        return ::testing::AssertionFailure()
               << "the finger signed in as " << host::IdentityText(r.identity) << ", finger "
               << int(r.subFactor) << ", not as " << host::IdentityText(enrolled.identity)
               << ", finger " << int(enrolled.subFactor);
    return ::testing::AssertionSuccess();
}

} // namespace moc_test
