// The engine attached to a simulated sensor, reached through the table that
// WbioQueryEngineInterface hands out, as the framework reaches it.
#pragma once
#include <gtest/gtest.h>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>
#include "device/identity_key.h"
#include "engine/engine_adapter.h"
#include <wtsapi32.h>
#include "platform/test.h"
#include "simsensor/simulated_sensor.h"
#include "support/bytes.h"
#include "support/sample_capture.h"
#include "support/temp_root.h"

namespace engine_test {

using moc_test::Bytes;
using moc_test::BytesOf;
using simsensor::Finger;
using simsensor::Presentation;
using simsensor::SimulatedSensor;

inline WINBIO_IDENTITY SidIdentity(BYTE first, ULONG size = 28) {
    WINBIO_IDENTITY identity = {};
    identity.Type = WINBIO_ID_TYPE_SID;
    identity.Value.AccountSid.Size = size;
    for (ULONG i = 0; i < size && i < SECURITY_MAX_SID_SIZE; ++i) {
        identity.Value.AccountSid.Data[i] = static_cast<UCHAR>(first + i);
    }
    return identity;
}

inline WINBIO_IDENTITY SecureIdentity(BYTE first) {
    WINBIO_IDENTITY identity = {};
    identity.Type = WINBIO_ID_TYPE_SECURE_ID;
    for (int i = 0; i < 32; ++i) {
        identity.Value.SecureId[i] = static_cast<UCHAR>(first + i);
    }
    return identity;
}

inline IdentityKey KeyOf(const WINBIO_IDENTITY& identity) {
    IdentityKey key;
    PackIdentityKey(&identity, &key);
    return key;
}

// The request codes of a log, in order.
inline std::vector<DWORD> Codes(const std::vector<simsensor::LoggedRequest>& log) {
    std::vector<DWORD> codes;
    for (const auto& r : log) {
        codes.push_back(r.code);
    }
    return codes;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::test::ResetAll();
        root = std::make_unique<moc_test::TempRoot>();
        sensor = std::make_shared<SimulatedSensor>();
        pipeline = {};
        pipeline.SensorHandle = platform::test::OpenDevice(sensor);
        pipeline.EngineHandle = INVALID_HANDLE_VALUE;
        pipeline.StorageHandle = INVALID_HANDLE_VALUE;
        ASSERT_EQ(WbioQueryEngineInterface(&engine), S_OK);
        platform::test::SetConsoleLockState(WTS_SESSIONSTATE_UNLOCK);
    }
    void TearDown() override {
        if (pipeline.EngineContext != nullptr) {
            EXPECT_EQ(engine->Detach(&pipeline), S_OK);
        }
        CloseHandle(pipeline.SensorHandle);
        // Everything the engine took from the process heap went back.
        EXPECT_EQ(platform::test::LiveHeapBlocks(), 0u);
        root.reset();
        platform::test::ResetAll();
    }

    void Attach() {
        ASSERT_EQ(engine->Attach(&pipeline), S_OK);
        sensor->ClearLog();
    }

    PWINIBIO_ENGINE_CONTEXT Context() const { return pipeline.EngineContext; }

    // The requests the engine sent: the log without the test's own captures.
    std::vector<simsensor::LoggedRequest> Requests() const {
        std::vector<simsensor::LoggedRequest> requests;
        for (const auto& r : sensor->Log()) {
            if (r.code != IOCTL_BIOMETRIC_CAPTURE_DATA) {
                requests.push_back(r);
            }
        }
        return requests;
    }

    // The sample record of one capture of `finger`, as the sensor adapter
    // hands it to the engine.
    Bytes Capture(Finger finger, BYTE acceptStatus = 0,
                  WINBIO_BIR_PURPOSE purpose = WINBIO_PURPOSE_IDENTIFY) {
        Presentation p;
        p.finger = finger;
        p.acceptStatus = acceptStatus;
        sensor->PresentFinger(p);
        Bytes sample = moc_test::CaptureSample(pipeline.SensorHandle, purpose);
        EXPECT_FALSE(sample.empty());
        return sample;
    }

    // Captures `finger` and hands the sample to the engine.
    HRESULT Accept(Finger finger, BYTE acceptStatus = 0,
                   WINBIO_BIR_PURPOSE purpose = WINBIO_PURPOSE_IDENTIFY,
                   WINBIO_REJECT_DETAIL* rejectOut = nullptr) {
        Bytes sample = Capture(finger, acceptStatus, purpose);
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        HRESULT hr =
            engine->AcceptSampleData(&pipeline, reinterpret_cast<PWINBIO_BIR>(sample.data()),
                                     sample.size(), purpose, &reject);
        if (rejectOut != nullptr) {
            *rejectOut = reject;
        }
        return hr;
    }

    struct IdentifyResult {
        HRESULT hr;
        WINBIO_IDENTITY identity;
        WINBIO_BIOMETRIC_SUBTYPE subFactor;
        WINBIO_REJECT_DETAIL reject;
    };
    IdentifyResult Identify() {
        IdentifyResult r = {};
        PUCHAR payload = reinterpret_cast<PUCHAR>(1);
        SIZE_T payloadSize = 1;
        PUCHAR hash = reinterpret_cast<PUCHAR>(1);
        SIZE_T hashSize = 1;
        r.hr = engine->IdentifyFeatureSet(&pipeline, &r.identity, &r.subFactor, &payload,
                                          &payloadSize, &hash, &hashSize, &r.reject);
        EXPECT_EQ(payload, nullptr);
        EXPECT_EQ(hash, nullptr);
        EXPECT_EQ(payloadSize + hashSize, 0u);
        return r;
    }

    std::unique_ptr<moc_test::TempRoot> root;
    std::shared_ptr<SimulatedSensor> sensor;
    WINBIO_PIPELINE pipeline;
    PWINBIO_ENGINE_INTERFACE engine = nullptr;
};

} // namespace engine_test
