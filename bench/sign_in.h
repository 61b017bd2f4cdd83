// One sign-in at the lock screen as the framework makes it: the loaded
// TolviMocAdapter driven through its three interface tables by the framework
// stand-in, on a simulated sensor that answers at once and holds the signed-in
// user's finger.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include "device/capture_data.h"
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
    // A second finger of the signed-in user enrolled, its samples presented as
    // the engine asks for them, and its record deleted again; false unless
    // both succeeded.
    bool EnrollAndDelete(std::string* why);
    // The raw work of a sign-in: the finger put on the sensor, the driver
    // requests the road sends (the capture, overlapped, then the acceptance
    // and confirmation of the sample, the identify, the match result and the
    // match report), each made straight on the sensor's handle, and the patch
    // of the match counters; false when a call failed.
    bool RawSignIn(std::string* why);
    // The sensor's request log, which the stand-in keeps for tests, would
    // otherwise grow with every sign-in.
    void ForgetRequests() { sensor_->ClearLog(); }

private:
    // The enrollment of `finger` for the signed-in user; false with the step
    // that failed in `why`.
    bool EnrollFinger(BYTE finger, std::string* why);

    std::unique_ptr<moc_test::TempRoot> root_;
    std::shared_ptr<simsensor::SimulatedSensor> sensor_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<host::AdapterLibrary> library_;
    std::unique_ptr<host::BiometricUnit> unit_;
    HANDLE event_ = nullptr; // the raw capture's, manual-reset as the sensor adapter's
    BYTE capture_[MOC_CAPTURE_BUFFER_SIZE] = {};
    bool ready_ = false;
    std::string why_;
};

} // namespace moc_bench
