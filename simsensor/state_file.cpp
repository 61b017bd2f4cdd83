// The simulated chip's flash: its lasting state as a text file, checked when it is read
// and replaced whole when it is written.
#include "simsensor/simulated_sensor.h"

#include <mbedtls/md.h>
#include <sstream>
#include "common/whole_file.h"

namespace simsensor {
namespace {

constexpr char kVersionLine[] = "tolvimoc-simulated-chip 1";
constexpr char kChecksumKey[] = "sha256";
// 255 slots of about 250 characters each and the fixed lines stay far below this; a larger
// file is not one of ours.
constexpr size_t kMaxStateFileSize = 256 * 1024;

std::string HexOf(const uint8_t* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

template <class T> std::string HexOf(const T& record) {
    return HexOf(reinterpret_cast<const uint8_t*>(&record), sizeof(T));
}

bool HexInto(const std::string& text, uint8_t* out, size_t size) {
    if (text.size() != 2 * size)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int nibble;
        if (c >= '0' && c <= '9')
            nibble = c - '0';
        else if (c >= 'a' && c <= 'f')
            nibble = c - 'a' + 10;
        else
            return false;
        if (i % 2 == 0)
            out[i / 2] = static_cast<uint8_t>(nibble << 4);
        else
            out[i / 2] |= static_cast<uint8_t>(nibble);
    }
    return true;
}

template <class T> bool HexInto(const std::string& text, T* record) {
    return HexInto(text, reinterpret_cast<uint8_t*>(record), sizeof(T));
}

bool DecimalInto(const std::string& text, DWORD* out) {
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu)
        return false;
    *out = static_cast<DWORD>(value);
    return true;
}

std::string Sha256Hex(const std::string& text) {
    uint8_t digest[32] = {};
    if (mbedtls_md(mbedtls_md_info_from_type(MBEDTLS_MD_SHA256),
                   reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest) != 0)
        return {};
    return HexOf(digest, sizeof(digest));
}

std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    while (true) {
        size_t space = line.find(' ', start);
        out.push_back(line.substr(start, space - start));
        if (space == std::string::npos)
            return out;
        start = space + 1;
    }
}

std::string Failure(const char* step, const std::string& path, DWORD error) {
    return std::string(step) + " " + path + ": error " + std::to_string(error);
}

// Through the stand-in's file calls and the one atomic writer, as the flash of a real
// chip keeps its state: a crash leaves the old state or the new one, and the file
// controls of the tests (failures, process ends, power cuts) reach it.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string* why) {
    const DWORD error =
        ReplaceWholeFile(path.c_str(), reinterpret_cast<const BYTE*>(text.data()), text.size());
    if (error != 0) {
        *why = Failure("cannot replace", path, error);
        return false;
    }
    return true;
}

} // namespace

std::string SimulatedSensor::StateText() const {
    std::ostringstream out;
    out << kVersionLine << "\n";
    out << "capabilities " << HexOf(capabilities_) << "\n";
    out << "policy " << HexOf(policy_) << "\n";
    out << "host-owner-id " << HexOf(hostOwner_) << "\n";
    out << "sensor-id " << HexOf(sensorId_) << "\n";
    out << "database-version " << databaseVersion_ << "\n";
    out << "purge-flag " << HexOf(purgeFlag_) << "\n";
    out << "enrollment " << (enrollment_.active ? 1 : 0) << " "
        << static_cast<DWORD>(enrollment_.slot) << " " << enrollment_.finger << " "
        << enrollment_.samples << "\n";
    out << "slots " << table_.size() << "\n";
    for (const SimSlot& slot : table_) {
        out << "slot " << HexOf(slot.state) << " " << HexOf(slot.identityKind) << " "
            << HexOf(slot.subFactor) << " " << HexOf(slot.key) << " " << HexOf(slot.reserved) << " "
            << HexOf(slot.owner) << " " << HexOf(slot.rawKey) << " " << slot.finger << "\n";
    }
    std::string body = out.str();
    return body + kChecksumKey + " " + Sha256Hex(body) + "\n";
}

bool SimulatedSensor::ApplyStateText(const std::string& text, std::string* why) {
    // The checksum line closes the file: everything before it is what it covers.
    if (text.empty() || text.back() != '\n') {
        *why = "the file does not end with a complete line";
        return false;
    }
    const size_t lastStart = text.rfind('\n', text.size() - 2);
    const std::string body = lastStart == std::string::npos ? "" : text.substr(0, lastStart + 1);
    const std::string last =
        text.substr(body.size(), text.size() - body.size() - 1); // without its newline
    std::vector<std::string> lines;
    {
        size_t start = 0;
        while (start < body.size()) {
            size_t end = body.find('\n', start);
            lines.push_back(body.substr(start, end - start));
            start = end + 1;
        }
    }
    if (lines.empty() || lines[0] != kVersionLine) {
        *why = "the first line is not \"" + std::string(kVersionLine) + "\"";
        return false;
    }
    const std::vector<std::string> sum = Tokens(last);
    if (sum.size() != 2 || sum[0] != kChecksumKey) {
        *why = "the last line is not its checksum";
        return false;
    }
    if (sum[1] != Sha256Hex(body)) {
        *why = "the checksum does not match the content";
        return false;
    }

    MocCapabilities capabilities{};
    MocPolicy policy{};
    HostOwnerId owner{};
    MocSensorId sensorId{};
    DWORD databaseVersion = 0;
    BYTE purgeFlag = 0;
    Enrollment enrollment;
    std::vector<SimSlot> table;
    auto field = [&](size_t index, const char* key, size_t count) -> std::vector<std::string> {
        if (index >= lines.size())
            return {};
        std::vector<std::string> tokens = Tokens(lines[index]);
        if (tokens.size() != count + 1 || tokens[0] != key)
            return {};
        return tokens;
    };
    auto bad = [&](size_t index) {
        *why = "line " + std::to_string(index + 1) + " is malformed";
        return false;
    };
    std::vector<std::string> t;
    if ((t = field(1, "capabilities", 1)).empty() || !HexInto(t[1], &capabilities))
        return bad(1);
    if ((t = field(2, "policy", 1)).empty() || !HexInto(t[1], &policy))
        return bad(2);
    if ((t = field(3, "host-owner-id", 1)).empty() || !HexInto(t[1], &owner))
        return bad(3);
    if ((t = field(4, "sensor-id", 1)).empty() || !HexInto(t[1], &sensorId))
        return bad(4);
    if ((t = field(5, "database-version", 1)).empty() || !DecimalInto(t[1], &databaseVersion))
        return bad(5);
    if ((t = field(6, "purge-flag", 1)).empty() || !HexInto(t[1], &purgeFlag))
        return bad(6);
    DWORD active = 0, slot = 0, samples = 0;
    if ((t = field(7, "enrollment", 4)).empty() || !DecimalInto(t[1], &active) || active > 1 ||
        !DecimalInto(t[2], &slot) || slot > 0xFF || !DecimalInto(t[3], &enrollment.finger) ||
        !DecimalInto(t[4], &samples))
        return bad(7);
    enrollment.active = active == 1;
    enrollment.slot = static_cast<BYTE>(slot);
    enrollment.samples = samples;
    DWORD count = 0;
    if ((t = field(8, "slots", 1)).empty() || !DecimalInto(t[1], &count) ||
        count != capabilities.SlotCount)
        return bad(8);
    if (lines.size() != 9 + static_cast<size_t>(count)) {
        *why = "the file holds " + std::to_string(lines.size() - 9) + " slot lines for " +
               std::to_string(count) + " slots";
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        SimSlot s;
        if ((t = field(9 + i, "slot", 8)).empty() || !HexInto(t[1], &s.state) ||
            !HexInto(t[2], &s.identityKind) || !HexInto(t[3], &s.subFactor) ||
            !HexInto(t[4], &s.key) || !HexInto(t[5], &s.reserved) || !HexInto(t[6], &s.owner) ||
            !HexInto(t[7], &s.rawKey) || !DecimalInto(t[8], &s.finger))
            return bad(9 + i);
        table.push_back(s);
    }

    capabilities_ = capabilities;
    policy_ = policy;
    hostOwner_ = owner;
    sensorId_ = sensorId;
    databaseVersion_ = databaseVersion;
    purgeFlag_ = purgeFlag;
    enrollment_ = enrollment;
    table_ = std::move(table);
    return true;
}

SimulatedSensor::StateLoad SimulatedSensor::LoadState(const std::string& path, std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return StateLoad::Missing;
        *why = Failure("cannot open", path, error);
        return StateLoad::Refused;
    }
    if (attributes.nFileSizeHigh != 0 || attributes.nFileSizeLow > kMaxStateFileSize) {
        *why = path + " is larger than a chip's state can be";
        return StateLoad::Refused;
    }
    std::vector<BYTE> bytes;
    if (FAILED(LoadWholeFile(path.c_str(), &bytes))) {
        *why = Failure("cannot read", path, GetLastError());
        return StateLoad::Refused;
    }
    // Measured again: the file may have grown since.
    if (bytes.size() > kMaxStateFileSize) {
        *why = path + " is larger than a chip's state can be";
        return StateLoad::Refused;
    }
    std::string reason;
    if (!ApplyStateText(std::string(bytes.begin(), bytes.end()), &reason)) {
        *why = path + ": " + reason;
        return StateLoad::Refused;
    }
    return StateLoad::Loaded;
}

bool SimulatedSensor::KeepStateIn(const std::string& path, std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string text = StateText();
    if (!WriteWholeFile(path, text, why))
        return false;
    statePath_ = path;
    savedState_ = text;
    saveFailure_.clear();
    return true;
}

std::string SimulatedSensor::StateSaveFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return saveFailure_;
}

bool SimulatedSensor::SaveChangedState() {
    if (statePath_.empty())
        return true;
    const std::string text = StateText();
    if (text == savedState_)
        return true;
    std::string why;
    if (WriteWholeFile(statePath_, text, &why)) {
        savedState_ = text;
        return true;
    }
    // What the flash could not keep did not happen: the request fails with no change.
    saveFailure_ = why;
    std::string ignored;
    ApplyStateText(savedState_, &ignored);
    return false;
}

} // namespace simsensor
