// Sample capture and hand-over against the simulated sensor: the format
// negotiation, the capture request, the judgement of its reply in both
// completion forms, the free-slot check, cancel, export and the push to the
// engine.
#include <functional>
#include "device/capture_data.h"
#include "sensor_fixture.h"

namespace {

using moc_test::Bytes;
using sensor_test::SensorFixture;

constexpr WINBIO_REGISTERED_FORMAT kVendorOwnFormat = {0x1234, 0x5678};

// Whether the finger is on the sensor before the capture starts (the request
// completes at once) or comes while it is pending.
enum class Form { AtOnce, Pending };
const Form kForms[] = {Form::AtOnce, Form::Pending};
const char* Name(Form form) {
    return form == Form::AtOnce ? "at once" : "pending";
}

class SensorCaptureTest : public SensorFixture {
protected:
    // Starts a capture and finishes it with `p` presented in the given form.
    HRESULT CaptureIn(Form form, const simsensor::Presentation& p,
                      WINBIO_REJECT_DETAIL* rejectDetail = nullptr,
                      WINBIO_BIR_PURPOSE purpose = WINBIO_PURPOSE_IDENTIFY) {
        if (form == Form::AtOnce) {
            sensor->PresentFinger(p);
        }
        HRESULT hr = Start(purpose);
        if (FAILED(hr)) {
            return hr;
        }
        if (form == Form::Pending) {
            EXPECT_EQ(sensor->PendingCount(IOCTL_BIOMETRIC_CAPTURE_DATA), 1u);
            sensor->PresentFinger(p);
        }
        return Finish(rejectDetail);
    }

    // The reply of a good capture, as the driver wrote it into the buffer.
    Bytes GoodReply() {
        EXPECT_EQ(Capture(Finger()), S_OK);
        return moc_test::BytesOf(Context()->CaptureBuffer, MOC_CAPTURE_BUFFER_SIZE);
    }

    static void PutU32(Bytes& bytes, size_t offset, uint32_t value) {
        std::memcpy(bytes.data() + offset, &value, sizeof(value));
    }
};

TEST_F(SensorCaptureTest, NegotiationKeepsAListedFormatElseTheStandardOne) {
    struct Case {
        const char* name;
        WINBIO_REGISTERED_FORMAT preferred;
        DWORD entries; // formats the sensor lists
        WINBIO_REGISTERED_FORMAT listed;
        WINBIO_REGISTERED_FORMAT expected;
    } cases[] = {
        {"listed", kVendorOwnFormat, 1, kVendorOwnFormat, kVendorOwnFormat},
        {"not listed", kVendorOwnFormat, 1, {0x001B, 0x0401}, {0x001B, 0x0401}},
        {"empty list", kVendorOwnFormat, 0, kVendorOwnFormat, {0x001B, 0x0401}},
        // A count past the record's one entry is looked at only as far as the record goes.
        {"count past the record", kVendorOwnFormat, 0xFFFFFFFF, kVendorOwnFormat, kVendorOwnFormat},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(table->Detach(&pipeline), S_OK);
        ASSERT_EQ(table->Attach(&pipeline), S_OK);
        engine.queries = 0;
        engine.preferred = c.preferred;
        WINBIO_SENSOR_ATTRIBUTES attributes{};
        attributes.PayloadSize = sizeof(attributes);
        attributes.SupportedFormatEntries = c.entries;
        attributes.SupportedFormat[0] = c.listed;
        sensor->SetAttributes(attributes);
        sensor->ClearLog();

        ASSERT_EQ(Start(WINBIO_PURPOSE_ENROLL), S_OK);
        EXPECT_EQ(Context()->SampleFormat.Owner, c.expected.Owner);
        EXPECT_EQ(Context()->SampleFormat.Type, c.expected.Type);
        EXPECT_EQ(std::memcmp(&Context()->VendorFormat, &engine.vendor, sizeof(GUID)), 0);
        EXPECT_EQ(sensor->LoggedCodes(), (std::vector<DWORD>{IOCTL_BIOMETRIC_GET_ATTRIBUTES,
                                                             IOCTL_BIOMETRIC_CAPTURE_DATA}));

        // The capture parameters as sent.
        const auto capture = Requests(IOCTL_BIOMETRIC_CAPTURE_DATA);
        ASSERT_EQ(capture.size(), 1u);
        EXPECT_TRUE(capture[0].overlapped);
        EXPECT_EQ(capture[0].outputCapacity, 161u);
        Bytes expected(32, 0);
        PutU32(expected, 0, 32);
        expected[4] = WINBIO_PURPOSE_ENROLL;
        std::memcpy(expected.data() + 6, &c.expected, 4);
        std::memcpy(expected.data() + 12, &engine.vendor, 16);
        expected[28] = WINBIO_DATA_FLAG_RAW;
        EXPECT_EQ(capture[0].input, expected);

        // Settled once: the next capture asks neither the engine nor the sensor.
        sensor->PresentFinger(Finger());
        ASSERT_EQ(Finish(), S_OK);
        sensor->ClearLog();
        ASSERT_EQ(Capture(Finger()), S_OK);
        EXPECT_EQ(engine.queries, 1);
        EXPECT_EQ(sensor->CountOf(IOCTL_BIOMETRIC_GET_ATTRIBUTES), 0u);
    }
}

// A negotiation that fails at any step keeps nothing, so the next capture
// negotiates again.
TEST_F(SensorCaptureTest, FailedNegotiationIsTriedAgainAtTheNextCapture) {
    WINBIO_SENSOR_ATTRIBUTES listing{};
    listing.PayloadSize = sizeof(listing);
    listing.SupportedFormatEntries = 1;
    listing.SupportedFormat[0] = kVendorOwnFormat;
    WINBIO_SENSOR_ATTRIBUTES refusing = listing;
    refusing.WinBioHresult = WINBIO_E_DEVICE_BUSY;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<void()> restore;
        HRESULT result;
        size_t attributeReads;
    } cases[] = {
        {"engine refuses", [&] { engine.queryResult = WINBIO_E_UNSUPPORTED_DATA_FORMAT; },
         [&] { engine.queryResult = S_OK; }, WINBIO_E_UNSUPPORTED_DATA_FORMAT, 0},
        {"no engine", [&] { pipeline.EngineInterface = nullptr; },
         [&] { pipeline.EngineInterface = &engineTable; }, E_POINTER, 0},
        {"engine without a preferred format", [&] { engineTable.QueryPreferredFormat = nullptr; },
         [&] { engineTable.QueryPreferredFormat = sensor_test::TestQueryPreferredFormat; },
         E_NOTIMPL, 0},
        {"attributes fail",
         [&] { sensor->FailNext(IOCTL_BIOMETRIC_GET_ATTRIBUTES, ERROR_GEN_FAILURE); }, [] {},
         WINBIO_E_DEVICE_FAILURE, 1},
        {"attributes aborted",
         [&] { sensor->FailNext(IOCTL_BIOMETRIC_GET_ATTRIBUTES, ERROR_OPERATION_ABORTED); }, [] {},
         WINBIO_E_CANCELED, 1},
        {"attributes short", [&] { sensor->ReplyShort(IOCTL_BIOMETRIC_GET_ATTRIBUTES, 1579); },
         [] {}, WINBIO_E_DEVICE_FAILURE, 1},
        {"attributes refuse", [&] { sensor->SetAttributes(refusing); },
         [&] { sensor->SetAttributes(listing); }, WINBIO_E_DEVICE_BUSY, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(table->Detach(&pipeline), S_OK);
        ASSERT_EQ(table->Attach(&pipeline), S_OK);
        sensor->SetAttributes(listing);
        engine.preferred = kVendorOwnFormat;
        engine.queries = 0;
        sensor->ClearLog();
        c.arrange();
        EXPECT_EQ(Start(), c.result);
        EXPECT_EQ(sensor->CountOf(IOCTL_BIOMETRIC_GET_ATTRIBUTES), c.attributeReads);
        EXPECT_EQ(sensor->CountOf(IOCTL_BIOMETRIC_CAPTURE_DATA), 0u);
        EXPECT_EQ(Context()->SampleFormat.Owner, 0);
        EXPECT_EQ(Context()->SampleFormat.Type, 0);
        c.restore();
        sensor->ClearLog();
        ASSERT_EQ(Capture(Finger()), S_OK);
        EXPECT_EQ(sensor->CountOf(IOCTL_BIOMETRIC_GET_ATTRIBUTES), 1u);
        EXPECT_EQ(Context()->SampleFormat.Owner, kVendorOwnFormat.Owner);
        EXPECT_EQ(Context()->SampleFormat.Type, kVendorOwnFormat.Type);
    }
}

TEST_F(SensorCaptureTest, StatusByteDecidesInBothCompletionForms) {
    struct Case {
        BYTE status;
        HRESULT result;
        WINBIO_REJECT_DETAIL reject;
        HRESULT push;
    } cases[] = {
        {0, S_OK, 0, S_OK},
        {2, S_OK, 0, S_OK},
        {1, WINBIO_E_BAD_CAPTURE, WINBIO_FP_POOR_QUALITY, WINBIO_E_BAD_CAPTURE},
        {0xFF, WINBIO_E_NO_CAPTURE_DATA, WINBIO_FP_POOR_QUALITY, WINBIO_E_BAD_CAPTURE},
    };
    for (Form form : kForms) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(Name(form)) + ", status " + std::to_string(c.status));
            WINBIO_REJECT_DETAIL reject = 0;
            EXPECT_EQ(CaptureIn(form, Finger(c.status, 9), &reject), c.result);
            EXPECT_EQ(reject, c.reject);
            EXPECT_EQ(Context()->CaptureStatus, c.status);

            // Export hands out the BIR the driver wrote, from byte 20 of the reply.
            const Bytes exported = ExportedBytes();
            ASSERT_EQ(exported.size(), 141u);
            EXPECT_EQ(exported, moc_test::BytesOf(Context()->CaptureBuffer + 20, 141));
            EXPECT_EQ(exported[80 + 56], c.status);

            engine.accepts = 0;
            reject = 0xEEEE;
            EXPECT_EQ(table->PushDataToEngine(&pipeline, WINBIO_PURPOSE_IDENTIFY, 0, &reject),
                      c.push);
            EXPECT_EQ(engine.accepts, c.push == S_OK ? 1 : 0);
            if (c.push == S_OK) {
                EXPECT_EQ(engine.sample, exported);
                EXPECT_EQ(engine.sampleSize, 141u);
                EXPECT_EQ(engine.purpose, WINBIO_PURPOSE_IDENTIFY);
                EXPECT_EQ(reject, 0u);
            } else {
                EXPECT_EQ(reject, WINBIO_FP_POOR_QUALITY);
            }
        }
    }
}

TEST_F(SensorCaptureTest, ShortCaptureReplyFailsInBothCompletionForms) {
    for (Form form : kForms) {
        for (DWORD bytes : {0u, 19u, 20u, 100u, 160u}) {
            SCOPED_TRACE(std::string(Name(form)) + ", " + std::to_string(bytes) + " bytes");
            ASSERT_EQ(Capture(Finger()), S_OK); // a good sample before, which must not show
            sensor->ReplyShort(IOCTL_BIOMETRIC_CAPTURE_DATA, bytes);
            WINBIO_REJECT_DETAIL reject = 0xEEEE;
            EXPECT_EQ(CaptureIn(form, Finger(), &reject), WINBIO_E_DEVICE_FAILURE);
            EXPECT_EQ(reject, 0u);
            EXPECT_TRUE(ExportedBytes().empty());
            EXPECT_EQ(table->PushDataToEngine(&pipeline, WINBIO_PURPOSE_IDENTIFY, 0, &reject),
                      WINBIO_E_NO_CAPTURE_DATA);
        }
    }
}

// CaptureData.Size and StandardDataBlock.Offset come from the driver.
TEST_F(SensorCaptureTest, CaptureReplyLengthsAreBoundedByTheReply) {
    const Bytes good = GoodReply();
    struct Case {
        const char* name;
        size_t offset; // of the 32-bit field changed, in the reply
        uint32_t value;
        size_t cut; // bytes taken off the reply's end
        HRESULT result;
    } cases[] = {
        {"size one past the reply", 16, 142, 0, WINBIO_E_DEVICE_FAILURE},
        {"size of 0xFFFFFFFF", 16, 0xFFFFFFFF, 0, WINBIO_E_DEVICE_FAILURE},
        {"size below the BIR's blocks", 16, 31, 0, WINBIO_E_DEVICE_FAILURE},
        {"size past a cut reply", 16, 141, 1, WINBIO_E_DEVICE_FAILURE},
        {"status offset at the BIR's end", 20 + 12, 85, 0, WINBIO_E_DEVICE_FAILURE},
        {"status offset that wraps", 20 + 12, 0xFFFFFFF0, 0, WINBIO_E_DEVICE_FAILURE},
        {"status in the BIR's last byte", 20 + 12, 84, 0, WINBIO_E_BAD_CAPTURE},
        {"a smaller BIR", 16, 137, 4, S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes reply = good;
        PutU32(reply, c.offset, c.value);
        reply.back() = 1; // the last byte reads as a poor sample
        reply.resize(reply.size() - c.cut);
        sensor->ReplyWith(IOCTL_BIOMETRIC_CAPTURE_DATA, reply);
        ASSERT_EQ(Start(), S_OK);
        EXPECT_EQ(Finish(), c.result);
        const Bytes exported = ExportedBytes();
        if (FAILED(c.result) && c.result != WINBIO_E_BAD_CAPTURE) {
            EXPECT_TRUE(exported.empty());
        } else {
            uint32_t size;
            std::memcpy(&size, reply.data() + 16, 4);
            EXPECT_EQ(exported, Bytes(reply.begin() + 20, reply.begin() + 20 + size));
        }
    }
}

TEST_F(SensorCaptureTest, FailedCaptureRequests) {
    struct Case {
        const char* name;
        Form form; // at once: the request fails when sent; pending: when it completes
        DWORD error;
        bool afterUnfinished; // an earlier capture completed and was never finished
        HRESULT start;
        HRESULT finish;
    } cases[] = {
        {"fails when sent", Form::AtOnce, ERROR_GEN_FAILURE, false, WINBIO_E_DEVICE_FAILURE,
         WINBIO_E_NO_CAPTURE_DATA},
        {"aborted when sent", Form::AtOnce, ERROR_OPERATION_ABORTED, false, WINBIO_E_CANCELED,
         WINBIO_E_NO_CAPTURE_DATA},
        // The request never went out: nothing is in flight, whatever came before.
        {"fails when sent after an unfinished capture", Form::AtOnce, ERROR_GEN_FAILURE, true,
         WINBIO_E_DEVICE_FAILURE, WINBIO_E_NO_CAPTURE_DATA},
        {"fails later", Form::Pending, ERROR_GEN_FAILURE, false, S_OK, WINBIO_E_DEVICE_FAILURE},
        {"device gone later", Form::Pending, ERROR_DEVICE_NOT_AVAILABLE, false, S_OK,
         static_cast<HRESULT>(0x800710DFu)},
        {"cancelled later", Form::Pending, ERROR_CANCELLED, false, S_OK, WINBIO_E_CANCELED},
        {"driver ended later", Form::Pending, ERROR_DRIVER_PROCESS_TERMINATED, false, S_OK,
         WINBIO_E_CANCELED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.afterUnfinished) {
            ASSERT_EQ(Capture(Finger()), S_OK);
            sensor->PresentFinger(Finger());
            ASSERT_EQ(Start(), S_OK);
        }
        sensor->FailNext(IOCTL_BIOMETRIC_CAPTURE_DATA, c.error);
        if (c.form == Form::AtOnce) {
            sensor->PresentFinger(Finger());
        }
        EXPECT_EQ(Start(), c.start);
        // The OVERLAPPED is taken only while a request is really out.
        BYTE setting = 1;
        BYTE receive[1] = {};
        SIZE_T received = 0;
        ULONG status = 0;
        EXPECT_EQ(table->ControlUnitPrivileged(&pipeline, IOCTL_MOC_SENSOR_PRIVATE_SET, &setting, 1,
                                               receive, 0, &received, &status),
                  c.form == Form::AtOnce ? S_OK : WINBIO_E_DEVICE_BUSY);
        if (c.form == Form::Pending) {
            sensor->PresentFinger(Finger());
        }
        // After a capture that failed when sent there is nothing to wait for.
        EXPECT_EQ(Finish(), c.finish);
        EXPECT_TRUE(ExportedBytes().empty());
        // The finger is still there for the next capture.
        EXPECT_EQ(Start(), S_OK);
        EXPECT_EQ(Finish(), S_OK);
    }
}

// The OVERLAPPED holds the outcome of the last request whatever it was, and
// the buffer a cleared or earlier sample.
TEST_F(SensorCaptureTest, FinishWithoutAStartedCaptureFails) {
    WINBIO_REJECT_DETAIL reject = 0xEEEE;
    EXPECT_EQ(Finish(&reject), WINBIO_E_NO_CAPTURE_DATA); // no buffer yet
    EXPECT_EQ(reject, 0u);
    ASSERT_EQ(Capture(Finger()), S_OK);
    EXPECT_EQ(Finish(), WINBIO_E_NO_CAPTURE_DATA); // already finished
    // The sample of the finished capture stays exported and pushed.
    EXPECT_EQ(ExportedBytes().size(), 141u);
    EXPECT_EQ(table->PushDataToEngine(&pipeline, WINBIO_PURPOSE_IDENTIFY, 0, &reject), S_OK);
    ASSERT_EQ(table->Deactivate(&pipeline), S_OK);
    EXPECT_EQ(Finish(), WINBIO_E_NO_CAPTURE_DATA); // buffer freed

    EXPECT_EQ(table->FinishCapture(nullptr, &reject), E_POINTER);
    EXPECT_EQ(table->FinishCapture(&pipeline, nullptr), E_POINTER);
    WINBIO_PIPELINE bare = {};
    EXPECT_EQ(table->FinishCapture(&bare, &reject), WINBIO_E_INVALID_DEVICE_STATE);
}

TEST_F(SensorCaptureTest, StartCaptureArgumentsAndABusyOverlapped) {
    LPOVERLAPPED overlapped = reinterpret_cast<LPOVERLAPPED>(1);
    EXPECT_EQ(table->StartCapture(nullptr, WINBIO_PURPOSE_VERIFY, &overlapped), E_POINTER);
    EXPECT_EQ(table->StartCapture(&pipeline, 0, &overlapped), E_POINTER);
    EXPECT_EQ(table->StartCapture(&pipeline, WINBIO_PURPOSE_VERIFY, nullptr), E_POINTER);
    WINBIO_PIPELINE bare = {};
    EXPECT_EQ(table->StartCapture(&bare, WINBIO_PURPOSE_VERIFY, &overlapped),
              WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(overlapped, nullptr);

    // A second request on the OVERLAPPED while the first is pending is refused.
    ASSERT_EQ(Start(), S_OK);
    sensor->ClearLog();
    EXPECT_EQ(Start(), WINBIO_E_DEVICE_BUSY);
    EXPECT_TRUE(sensor->Log().empty());
    sensor->PresentFinger(Finger());
    // Completed but not finished: a new start replaces it.
    sensor->PresentFinger(Finger(0, 3));
    EXPECT_EQ(Start(), S_OK);
    EXPECT_EQ(Finish(), S_OK);
    EXPECT_EQ(ExportedBytes()[141 - 4], 3); // the image bytes carry the finger
}

TEST_F(SensorCaptureTest, FreeSlotCheckRunsAtTheFirstUsableEnrollmentCapture) {
    for (size_t i = 0; i < 10; ++i) {
        sensor->Enroll(i, IdentityKey{}, 1, static_cast<simsensor::Finger>(100 + i));
    }
    ASSERT_EQ(table->Activate(&pipeline), S_OK);
    // Not for another purpose, nor for a poor sample.
    ASSERT_EQ(Capture(Finger(), WINBIO_PURPOSE_IDENTIFY), S_OK);
    ASSERT_EQ(Capture(Finger(1), WINBIO_PURPOSE_ENROLL), WINBIO_E_BAD_CAPTURE);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_CHECK_FREE_SLOT), 0u);
    // A failed request leaves the check pending.
    sensor->FailNext(IOCTL_MOC_CHECK_FREE_SLOT, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Capture(Finger(), WINBIO_PURPOSE_ENROLL), WINBIO_E_CANCELED);
    EXPECT_EQ(Context()->FreeSlotCheckPending, 1u);
    // No free slot.
    EXPECT_EQ(Capture(Finger(), WINBIO_PURPOSE_ENROLL), WINBIO_E_DATABASE_FULL);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_CHECK_FREE_SLOT), 2u);
    // Asked once per activation.
    EXPECT_EQ(Capture(Finger(), WINBIO_PURPOSE_ENROLL), S_OK);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_CHECK_FREE_SLOT), 2u);
    ASSERT_EQ(table->Activate(&pipeline), S_OK);
    // A reply the driver leaves unwritten keeps the preset answer.
    sensor->ReplyWith(IOCTL_MOC_CHECK_FREE_SLOT, {});
    EXPECT_EQ(Capture(Finger(), WINBIO_PURPOSE_ENROLL), S_OK);
    EXPECT_EQ(sensor->CountOf(IOCTL_MOC_CHECK_FREE_SLOT), 3u);
    const auto check = Requests(IOCTL_MOC_CHECK_FREE_SLOT);
    EXPECT_TRUE(check.back().input.empty());
    EXPECT_EQ(check.back().outputCapacity, 1u);
    EXPECT_FALSE(check.back().overlapped);
}

TEST_F(SensorCaptureTest, CancelSetsTheFlagOnlyWhenItCancelledSomething) {
    // Nothing to cancel: the next capture is not turned into a cancellation.
    EXPECT_EQ(table->Cancel(&pipeline), S_OK);
    EXPECT_EQ(Capture(Finger()), S_OK);

    // Another request of the handle is cancelled while the capture completes
    // at once: the finish still reports the cancellation.
    OVERLAPPED other{};
    BYTE version[5] = {MOC_DATABASE_VERSION_GET, 0, 0, 0, 0};
    sensor->PendNext(IOCTL_MOC_DATABASE_VERSION);
    ASSERT_FALSE(DeviceIoControl(pipeline.SensorHandle, IOCTL_MOC_DATABASE_VERSION, version, 5,
                                 version, 5, nullptr, &other));
    sensor->PresentFinger(Finger(0));
    ASSERT_EQ(Start(), S_OK);
    EXPECT_EQ(table->Cancel(&pipeline), S_OK);
    EXPECT_EQ(Finish(), WINBIO_E_CANCELED);
    // Consumed by that finish; a new capture clears any flag left.
    EXPECT_EQ(Capture(Finger()), S_OK);
    EXPECT_EQ(Context()->CaptureState, 0);

    EXPECT_EQ(table->Cancel(nullptr), E_POINTER);
    WINBIO_PIPELINE bare = pipeline;
    bare.SensorContext = nullptr;
    EXPECT_EQ(table->Cancel(&bare), WINBIO_E_INVALID_DEVICE_STATE);
    bare = pipeline;
    bare.SensorHandle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(table->Cancel(&bare), WINBIO_E_INVALID_DEVICE_STATE);
    // A handle that is no device: the platform's error, mapped.
    bare.SensorHandle = Context()->CaptureOverlapped.hEvent;
    EXPECT_EQ(table->Cancel(&bare), WINBIO_E_DEVICE_FAILURE);
}

// Export and push hand on a sample only under its own verdict: a finish that
// a cancel, a full database or a failed free-slot request ended leaves none,
// nor the sample of the capture before it.
TEST_F(SensorCaptureTest, AFinishThatFailedHandsOnNoSample) {
    OVERLAPPED other{};
    BYTE version[5] = {MOC_DATABASE_VERSION_GET, 0, 0, 0, 0};
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<void()> whileCapturing;
        WINBIO_BIR_PURPOSE purpose;
        HRESULT result;
    } cases[] = {
        // Another request of the handle is what the cancel finds.
        {"cancelled",
         [&] {
             sensor->PendNext(IOCTL_MOC_DATABASE_VERSION);
             ASSERT_FALSE(DeviceIoControl(pipeline.SensorHandle, IOCTL_MOC_DATABASE_VERSION,
                                          version, 5, version, 5, nullptr, &other));
         },
         [&] { ASSERT_EQ(table->Cancel(&pipeline), S_OK); }, WINBIO_PURPOSE_IDENTIFY,
         WINBIO_E_CANCELED},
        {"free-slot request fails",
         [&] { sensor->FailNext(IOCTL_MOC_CHECK_FREE_SLOT, ERROR_GEN_FAILURE); }, [] {},
         WINBIO_PURPOSE_ENROLL, WINBIO_E_DEVICE_FAILURE},
        {"database full",
         [&] {
             for (size_t i = 0; i < 10; ++i) {
                 sensor->Enroll(i, IdentityKey{}, 1, static_cast<simsensor::Finger>(100 + i));
             }
         },
         [] {}, WINBIO_PURPOSE_ENROLL, WINBIO_E_DATABASE_FULL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(table->Activate(&pipeline), S_OK);
        ASSERT_EQ(Capture(Finger()), S_OK);
        c.arrange();
        sensor->PresentFinger(Finger());
        ASSERT_EQ(Start(c.purpose), S_OK);
        c.whileCapturing();
        EXPECT_EQ(Finish(), c.result);
        EXPECT_TRUE(ExportedBytes().empty());
        engine = {};
        WINBIO_REJECT_DETAIL reject = 0xEEEE;
        EXPECT_EQ(table->PushDataToEngine(&pipeline, c.purpose, 0, &reject),
                  WINBIO_E_NO_CAPTURE_DATA);
        EXPECT_EQ(engine.accepts, 0);
    }
}

TEST_F(SensorCaptureTest, ExportGrowsToTheSampleItCopies) {
    const Bytes good = GoodReply();
    // A small sample first, then the whole one: the buffer must grow.
    Bytes small = good;
    PutU32(small, 16, 137);
    PutU32(small, 20 + 12, 60);
    sensor->ReplyWith(IOCTL_BIOMETRIC_CAPTURE_DATA, small);
    ASSERT_EQ(Start(), S_OK);
    ASSERT_EQ(Finish(), S_OK);
    EXPECT_EQ(ExportedBytes(), Bytes(small.begin() + 20, small.begin() + 20 + 137));
    ASSERT_EQ(Capture(Finger(0, 5)), S_OK);
    const Bytes whole = ExportedBytes();
    EXPECT_EQ(whole, moc_test::BytesOf(Context()->CaptureBuffer + 20, 141));
    // The buffer stays the context's and is reused.
    PWINBIO_BIR first = nullptr;
    PWINBIO_BIR second = nullptr;
    SIZE_T size = 0;
    ASSERT_EQ(table->ExportSensorData(&pipeline, &first, &size), S_OK);
    ASSERT_EQ(table->ExportSensorData(&pipeline, &second, &size), S_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(reinterpret_cast<BYTE*>(first), Context()->ExportBuffer);

    EXPECT_EQ(table->ExportSensorData(nullptr, &first, &size), E_POINTER);
    EXPECT_EQ(table->ExportSensorData(&pipeline, nullptr, &size), E_POINTER);
    EXPECT_EQ(table->ExportSensorData(&pipeline, &first, nullptr), E_POINTER);
    ASSERT_EQ(table->Deactivate(&pipeline), S_OK);
    first = reinterpret_cast<PWINBIO_BIR>(1);
    size = 9;
    EXPECT_EQ(table->ExportSensorData(&pipeline, &first, &size), WINBIO_E_NO_CAPTURE_DATA);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(size, 0u);
}

TEST_F(SensorCaptureTest, PushDataToEngineHandsTheSampleThroughTheEngineTable) {
    WINBIO_REJECT_DETAIL reject = 0xEEEE;
    ASSERT_EQ(table->Activate(&pipeline), S_OK);
    EXPECT_EQ(table->PushDataToEngine(&pipeline, WINBIO_PURPOSE_VERIFY, 0, &reject),
              WINBIO_E_NO_CAPTURE_DATA);
    EXPECT_EQ(reject, 0u);
    ASSERT_EQ(Capture(Finger()), S_OK);

    struct Case {
        const char* name;
        std::function<void()> arrange;
        WINBIO_BIR_PURPOSE purpose;
        HRESULT result;
        WINBIO_REJECT_DETAIL reject;
        int accepts;
    } cases[] = {
        {"accepted", [] {}, WINBIO_PURPOSE_VERIFY, S_OK, 0, 1},
        {"rejected by the engine",
         [&] {
             engine.acceptResult = WINBIO_E_BAD_CAPTURE;
             engine.acceptReject = WINBIO_FP_TOO_SKEWED;
         },
         WINBIO_PURPOSE_ENROLL, WINBIO_E_BAD_CAPTURE, WINBIO_FP_TOO_SKEWED, 1},
        {"purpose 0", [] {}, 0, E_INVALIDARG, 0xEEEE, 0},
        {"no engine", [&] { pipeline.EngineInterface = nullptr; }, WINBIO_PURPOSE_VERIFY, E_POINTER,
         0, 0},
        {"engine without sample acceptance", [&] { engineTable.AcceptSampleData = nullptr; },
         WINBIO_PURPOSE_VERIFY, E_NOTIMPL, 0, 0},
        // The buffer is freed: nothing of it is read.
        {"after deactivate", [&] { ASSERT_EQ(table->Deactivate(&pipeline), S_OK); },
         WINBIO_PURPOSE_VERIFY, WINBIO_E_NO_CAPTURE_DATA, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        engine = {};
        engineTable.AcceptSampleData = sensor_test::TestAcceptSampleData;
        pipeline.EngineInterface = &engineTable;
        c.arrange();
        reject = 0xEEEE;
        EXPECT_EQ(table->PushDataToEngine(&pipeline, c.purpose, 0x20, &reject), c.result);
        EXPECT_EQ(reject, c.reject);
        EXPECT_EQ(engine.accepts, c.accepts);
        if (c.accepts != 0) {
            EXPECT_EQ(engine.purpose, c.purpose);
            EXPECT_EQ(engine.sample, ExportedBytes());
        }
    }
    pipeline.EngineInterface = &engineTable;
    EXPECT_EQ(table->PushDataToEngine(nullptr, WINBIO_PURPOSE_VERIFY, 0, &reject), E_POINTER);
    EXPECT_EQ(table->PushDataToEngine(&pipeline, WINBIO_PURPOSE_VERIFY, 0, nullptr), E_POINTER);
    WINBIO_PIPELINE bare = {};
    EXPECT_EQ(table->PushDataToEngine(&bare, WINBIO_PURPOSE_VERIFY, 0, &reject),
              WINBIO_E_INVALID_DEVICE_STATE);
    // A new activation has no capture to push yet.
    ASSERT_EQ(table->Activate(&pipeline), S_OK);
    EXPECT_EQ(table->PushDataToEngine(&pipeline, WINBIO_PURPOSE_VERIFY, 0, &reject),
              WINBIO_E_NO_CAPTURE_DATA);
}

TEST_F(SensorCaptureTest, DeactivateCancelsAPendingCaptureBeforeFreeingItsBuffer) {
    ASSERT_EQ(Start(), S_OK);
    ASSERT_EQ(platform::test::PendingIoCount(pipeline.SensorHandle), 1u);
    ASSERT_EQ(table->Deactivate(&pipeline), S_OK);
    EXPECT_EQ(platform::test::PendingIoCount(pipeline.SensorHandle), 0u);
    EXPECT_EQ(Context()->CaptureBuffer, nullptr);
    // A finger now completes nothing: no request is left to write into the
    // freed buffer.
    sensor->PresentFinger(Finger());
    EXPECT_EQ(sensor->QueuedPresentations(), 1u);
    EXPECT_EQ(Finish(), WINBIO_E_NO_CAPTURE_DATA);

    ASSERT_EQ(table->Activate(&pipeline), S_OK);
    EXPECT_EQ(Start(), S_OK);
    EXPECT_EQ(Finish(), S_OK);

    EXPECT_EQ(table->Activate(nullptr), E_POINTER);
    EXPECT_EQ(table->Deactivate(nullptr), E_POINTER);
    WINBIO_PIPELINE bare = pipeline;
    bare.SensorHandle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(table->Activate(&bare), WINBIO_E_INVALID_DEVICE_STATE);
    bare = {};
    EXPECT_EQ(table->Activate(&bare), WINBIO_E_INVALID_DEVICE_STATE);
    EXPECT_EQ(table->Deactivate(&bare), WINBIO_E_INVALID_DEVICE_STATE);
}

TEST_F(SensorCaptureTest, DetachCancelsAPendingCapture) {
    ASSERT_EQ(Start(), S_OK);
    ASSERT_EQ(table->Detach(&pipeline), S_OK);
    EXPECT_EQ(platform::test::PendingIoCount(pipeline.SensorHandle), 0u);
    sensor->PresentFinger(Finger());
    EXPECT_EQ(sensor->QueuedPresentations(), 1u);
}

} // namespace
