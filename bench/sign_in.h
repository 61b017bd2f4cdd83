// One sign-in at the lock screen as the framework makes it: the loaded
// TolviMocAdapter driven through its three interface tables by the framework
// stand-in, on a simulated sensor that answers at once and holds the signed-in
// user's finger.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include "host/adapter_library.h"
#include "host/biometric_unit.h"
#include "simsensor/simulated_sensor.h"
#include "support/temp_root.h"

namespace moc_bench {

class SignInBench {
public:
    // Loads the library, starts the unit, enrolls the finger and locks the console.
    SignInBench();
    ~SignInBench();
    SignInBench(const SignInBench&) = delete;
    SignInBench& operator=(const SignInBench&) = delete;

    bool Ready(std::string* why) const {
        *why = why_;
        return ready_;
    }
    // The finger put on the sensor, the capture and its hand-over to the
    // engine, and the engine's identify with its statistics update; false
    // unless the signed-in user was identified.
    bool SignIn(std::string* why);
    // The sensor's request log, which the stand-in keeps for tests, would
    // otherwise grow with every sign-in.
    void ForgetRequests() { sensor_->ClearLog(); }

private:
    std::unique_ptr<moc_test::TempRoot> root_;
    std::shared_ptr<simsensor::SimulatedSensor> sensor_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<host::AdapterLibrary> library_;
    std::unique_ptr<host::BiometricUnit> unit_;
    bool ready_ = false;
    std::string why_;
};

// The raw file I/O of a sign-in: the private file's header read and its 20
// counter bytes patched in place, with the platform calls the engine makes.
bool PatchMatchCounters(std::string* why);

} // namespace moc_bench
