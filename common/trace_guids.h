// Message GUIDs of the adapter library's source units. A decoder pairs
// (message GUID, message number) with the message text, so a GUID once
// published never changes and never moves to another unit.
#pragma once
#include <wintypes.h>

// Module entry: 10 load, 11 unload.
// {81DBB5CD-7953-3C54-8E02-7737DF6DC6E6}
inline constexpr GUID kTraceGuidModuleEntry = {
    0x81DBB5CD, 0x7953, 0x3C54, {0x8E, 0x02, 0x77, 0x37, 0xDF, 0x6D, 0xC6, 0xE6}};

// Engine adapter, and the shared adapter functions: 10 full hex-dump line,
// 11 last hex-dump line.
// {A9D075A2-66FB-3286-F6E2-3530928C6506}
inline constexpr GUID kTraceGuidEngineAdapter = {
    0xA9D075A2, 0x66FB, 0x3286, {0xF6, 0xE2, 0x35, 0x30, 0x92, 0x8C, 0x65, 0x06}};

// Sensor adapter.
// {1D805D09-B515-37CF-9C39-29A614B7C36F}
inline constexpr GUID kTraceGuidSensorAdapter = {
    0x1D805D09, 0xB515, 0x37CF, {0x9C, 0x39, 0x29, 0xA6, 0x14, 0xB7, 0xC3, 0x6F}};

// Storage adapter.
// {EC01D703-28A1-33CE-07D1-9B43D1C2DA25}
inline constexpr GUID kTraceGuidStorageAdapter = {
    0xEC01D703, 0x28A1, 0x33CE, {0x07, 0xD1, 0x9B, 0x43, 0xD1, 0xC2, 0xDA, 0x25}};

// The sensor adapter's attach operation.
// {A5A67C24-A6E9-37A9-A813-492AF4C74DBF}
inline constexpr GUID kTraceGuidSensorAttach = {
    0xA5A67C24, 0xA6E9, 0x37A9, {0xA8, 0x13, 0x49, 0x2A, 0xF4, 0xC7, 0x4D, 0xBF}};

// Units without a published GUID; these values are the library's own.

// Device channel: device objects and chip operations (device/).
// {BADC54AA-3F6C-4523-B490-66A08EB68996}
inline constexpr GUID kTraceGuidDeviceChannel = {
    0xBADC54AA, 0x3F6C, 0x4523, {0xB4, 0x90, 0x66, 0xA0, 0x8E, 0xB6, 0x89, 0x96}};

// Secure-connection exchange and its crypto client.
// {6ACD0C52-1C9D-435C-AB5C-4738C08CEA8C}
inline constexpr GUID kTraceGuidSecureConnection = {
    0x6ACD0C52, 0x1C9D, 0x435C, {0xAB, 0x5C, 0x47, 0x38, 0xC0, 0x8C, 0xEA, 0x8C}};

// Private database file of the storage adapter.
// {DED7FF64-B3EB-4B25-89D5-08E30A951512}
inline constexpr GUID kTraceGuidDatabaseFile = {
    0xDED7FF64, 0xB3EB, 0x4B25, {0x89, 0xD5, 0x08, 0xE3, 0x0A, 0x95, 0x15, 0x12}};

// Legacy database files and their migration.
// {FC6BD9BD-13B6-477F-9276-F1FB29D6445E}
inline constexpr GUID kTraceGuidLegacyDatabase = {
    0xFC6BD9BD, 0x13B6, 0x477F, {0x92, 0x76, 0xF1, 0xFB, 0x29, 0xD6, 0x44, 0x5E}};

// The engine's match statistics file.
// {E90E2F68-52DA-4DFB-B641-5587039B8BC4}
inline constexpr GUID kTraceGuidMatchStatistics = {
    0xE90E2F68, 0x52DA, 0x4DFB, {0xB6, 0x41, 0x55, 0x87, 0x03, 0x9B, 0x8B, 0xC4}};

// Storage adapter: open, create and erase of the template database.
// {5654FA0F-4C47-421F-A53E-B52DA539F75A}
inline constexpr GUID kTraceGuidDatabaseLifecycle = {
    0x5654FA0F, 0x4C47, 0x421F, {0xA5, 0x3E, 0xB5, 0x2D, 0xA5, 0x39, 0xF7, 0x5A}};

// Storage adapter: legacy migration sequence and reconciliation with the chip.
// {D7C4921F-3C61-4208-A0FA-9AAFFF299B83}
inline constexpr GUID kTraceGuidReconcile = {
    0xD7C4921F, 0x3C61, 0x4208, {0xA0, 0xFA, 0x9A, 0xAF, 0xFF, 0x29, 0x9B, 0x83}};

// Storage adapter: whole-file reads and replacing writes.
// {5D9C170D-0CEC-4549-A7EB-27B487496465}
inline constexpr GUID kTraceGuidWholeFile = {
    0x5D9C170D, 0x0CEC, 0x4549, {0xA7, 0xEB, 0x27, 0xB4, 0x87, 0x49, 0x64, 0x65}};

// Storage adapter: record blocks and template slots shared by its operations.
// {2F595EA2-A7B4-4241-ACCE-DF15A2F5E221}
inline constexpr GUID kTraceGuidRecordBlock = {
    0x2F595EA2, 0xA7B4, 0x4241, {0xAC, 0xCE, 0xDF, 0x15, 0xA2, 0xF5, 0xE2, 0x21}};

// The engine's sample acceptance.
// {FFD3C930-780C-4632-A6E3-7AD4901679FD}
inline constexpr GUID kTraceGuidEngineSampleAcceptance = {
    0xFFD3C930, 0x780C, 0x4632, {0xA6, 0xE3, 0x7A, 0xD4, 0x90, 0x16, 0x79, 0xFD}};

// The engine's identify and verify on the chip.
// {07DC326A-9C0A-44D9-9F8B-A9013F683628}
inline constexpr GUID kTraceGuidEngineIdentify = {
    0x07DC326A, 0x9C0A, 0x44D9, {0x9F, 0x8B, 0xA9, 0x01, 0x3F, 0x68, 0x36, 0x28}};

// The engine's enrollment.
// {4594429E-159E-4D8D-8988-39FA62E15699}
inline constexpr GUID kTraceGuidEngineEnrollment = {
    0x4594429E, 0x159E, 0x4D8D, {0x89, 0x88, 0x39, 0xFA, 0x62, 0xE1, 0x56, 0x99}};

// The engine's private control codes, power and activation.
// {375765CE-C508-44AD-A4EB-792E45B73141}
inline constexpr GUID kTraceGuidEngineControl = {
    0x375765CE, 0xC508, 0x44AD, {0xA4, 0xEB, 0x79, 0x2E, 0x45, 0xB7, 0x31, 0x41}};

// Storage adapter: adding records.
// {AE926141-3C8E-4C6E-8584-1FC4BB2E8D05}
inline constexpr GUID kTraceGuidAddRecord = {
    0xAE926141, 0x3C8E, 0x4C6E, {0x85, 0x84, 0x1F, 0xC4, 0xBB, 0x2E, 0x8D, 0x05}};

// Storage adapter: deleting records.
// {5DDEE438-50AD-45F1-94D5-01AD66D3FD6E}
inline constexpr GUID kTraceGuidDeleteRecord = {
    0x5DDEE438, 0x50AD, 0x45F1, {0x94, 0xD5, 0x01, 0xAD, 0x66, 0xD3, 0xFD, 0x6E}};

// Storage adapter: query by subject and the purge rules.
// {CE982681-CC5B-497C-86E1-319A1D080E19}
inline constexpr GUID kTraceGuidQueryBySubject = {
    0xCE982681, 0xCC5B, 0x497C, {0x86, 0xE1, 0x31, 0x9A, 0x1D, 0x08, 0x0E, 0x19}};

// Storage adapter: query by content, the database size and the result walk.
// {DB929849-65C1-4E59-931A-64149DC59A7A}
inline constexpr GUID kTraceGuidQueryByContent = {
    0xDB929849, 0x65C1, 0x4E59, {0x93, 0x1A, 0x64, 0x14, 0x9D, 0xC5, 0x9A, 0x7A}};
