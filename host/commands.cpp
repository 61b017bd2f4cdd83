#include "host/commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <unistd.h>
#include <wtsapi32.h>
#include "host/adapter_library.h"
#include "host/biometric_unit.h"
#include "host/file_trouble.h"
#include "host/identities.h"
#include "host/result_names.h"
#include "host/trace_decoder.h"
#include "host/unit_view.h"
#include "common/trace_guids.h"
#include "platform/native_path.h"
#include "platform/test.h"
#include "simsensor/root_lock.h"
#include "simsensor/simulated_sensor.h"
#include "storage/database_file.h"
#include "storage/legacy_files.h"
#include "storage/reconcile.h"

namespace host {
namespace {

constexpr BYTE kDefaultFinger = WINBIO_ANSI_381_POS_RH_INDEX_FINGER;
constexpr BYTE kUnenrolledDemoFinger = WINBIO_ANSI_381_POS_LH_INDEX_FINGER;

const char kHelp[] =
    "usage: tolvimoc [--root DIR] [--trace] COMMAND [OPTIONS]\n"
    "\n"
    "The framework stand-in: loads TolviMocAdapter as the biometric service does and runs\n"
    "one unit on the simulated sensor, whose chip keeps its state in DIR/simulated-chip.state.\n"
    "\n"
    "commands:\n"
    "  demo                         enroll, sign in, try an unenrolled finger, list, stats, "
    "delete\n"
    "  enroll [--finger N]          enroll finger N of the signed-in user\n"
    "  identify [--finger N]        sign in at the lock screen with finger N\n"
    "  verify [--finger N]          verify finger N against the signed-in user\n"
    "  list                         list the enrollments: identity, finger, chip slot\n"
    "  delete --finger N | --all    delete finger N, or every finger, of the signed-in user\n"
    "  stats                        show the five match counters of the lock screen\n"
    "  reset                        erase the database and this host's templates on the\n"
    "                               chip, and create the database afresh\n"
    "  help                         this text, as --help\n"
    "\n"
    "options:\n"
    "  --root DIR    the folder that stands for the drives (default $WINPLATFORM_ROOT,\n"
    "                else ./winroot)\n"
    "  --trace       print the library's trace statements of each step, decoded\n"
    "  --finger N    the framework's sub-factor, 1 (right thumb) to 10 (left little\n"
    "                finger); default 2, the right index finger\n"
    "  --help        this text\n"
    "\n"
    "demo, the command when none is given, runs on a fresh temporary root of its own.\n"
    "One run at a time holds a root's sensor: a second one waits a moment, then fails.\n"
    "A run whose start removes chip templates or records (a file or the chip's state\n"
    "deleted by hand, another host's purge) says how many, and which slots and fingers;\n"
    "one that finds damaged records says where, and that nothing was deleted for them.\n"
    "exit status: 0 when the command's result is S_OK (help among them), 1 for a failure,\n"
    "2 for a usage error\n";

enum class Command { Demo, Enroll, Identify, Verify, List, Delete, Stats, Reset, Help };

struct Options {
    Command command = Command::Demo;
    std::string root;
    bool rootGiven = false;
    bool trace = false;
    BYTE finger = kDefaultFinger;
    bool fingerGiven = false;
    bool all = false;
};

struct UsageError {
    std::string message;
};

bool ParseCommand(const std::string& word, Command* command) {
    static const std::pair<const char*, Command> kCommands[] = {
        {"demo", Command::Demo},     {"enroll", Command::Enroll}, {"identify", Command::Identify},
        {"verify", Command::Verify}, {"list", Command::List},     {"delete", Command::Delete},
        {"stats", Command::Stats},   {"reset", Command::Reset},   {"help", Command::Help},
    };
    for (const auto& [name, value] : kCommands) {
        if (word == name) {
            *command = value;
            return true;
        }
    }
    return false;
}

// A finger is a plain decimal number; strtol would also take spaces and a sign.
bool ParseFinger(const std::string& text, BYTE* finger) {
    if (text.empty() || text.size() > 2 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = std::stoi(text);
    if (n < kFirstFinger || n > kLastFinger)
        return false;
    *finger = static_cast<BYTE>(n);
    return true;
}

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    bool commandSeen = false;
    std::set<std::string> optionsSeen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* option) {
            if (i + 1 >= args.size())
                throw UsageError{std::string(option) + " needs a value"};
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            o.command = Command::Help;
            return o;
        }
        // Which of two values was meant cannot be told.
        if (a.rfind("--", 0) == 0 && !optionsSeen.insert(a).second)
            throw UsageError{a + " is given twice"};
        if (a == "--root") {
            o.root = value("--root");
            o.rootGiven = true;
            if (o.root.empty())
                throw UsageError{"--root needs a folder"};
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--finger") {
            const std::string text = value("--finger");
            if (!ParseFinger(text, &o.finger))
                throw UsageError{"finger " + text + " is not a finger from " +
                                 std::to_string(kFirstFinger) + " to " +
                                 std::to_string(kLastFinger)};
            o.fingerGiven = true;
        } else if (a == "--all") {
            o.all = true;
        } else if (!a.empty() && a[0] == '-') {
            throw UsageError{"unknown option " + a};
        } else if (!commandSeen) {
            if (!ParseCommand(a, &o.command))
                throw UsageError{"unknown command " + a};
            commandSeen = true;
        } else {
            throw UsageError{"unexpected argument " + a};
        }
    }
    const bool takesFinger = o.command == Command::Enroll || o.command == Command::Identify ||
                             o.command == Command::Verify || o.command == Command::Delete;
    if (o.fingerGiven && !takesFinger)
        throw UsageError{"--finger does not apply to this command"};
    if (o.all && o.command != Command::Delete)
        throw UsageError{"--all applies to delete only"};
    if (o.all && o.fingerGiven)
        throw UsageError{"delete takes --finger N or --all, not both"};
    // Deleting is never done on a default: a bare delete would remove a finger the
    // person did not name.
    if (o.command == Command::Delete && !o.all && !o.fingerGiven)
        throw UsageError{"delete needs --finger N or --all"};
    if (o.rootGiven && o.command == Command::Demo)
        throw UsageError{"demo runs on a fresh temporary root; --root does not apply"};
    return o;
}

// The simulated sensor gets finger N as finger number N under sub-factor N, so that the
// same finger matches in a later run.
simsensor::Presentation FingerPresentation(BYTE finger) {
    simsensor::Presentation p;
    p.finger = finger;
    p.subFactor = finger;
    return p;
}

// A failed result as people read it, with the engine's or sensor's reject detail when it gave one.
std::string FailureText(HRESULT result, WINBIO_REJECT_DETAIL rejectDetail) {
    std::string text = ResultText(result);
    if (rejectDetail != 0)
        text += ", reject detail " + std::to_string(rejectDetail);
    return text;
}

// "1 record", "2 records".
std::string Counted(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "a", "a and b", "a, b and c".
std::string Listed(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    return text;
}

// The chip's state is kept by the simulated sensor, whose reasons carry a failed file call's
// Win32 error as a number; people read it by name.
std::string WithErrorNames(const std::string& text) {
    static const std::regex number("\\berror ([0-9]{1,9})\\b");
    std::string named;
    size_t from = 0;
    for (auto m = std::sregex_iterator(text.begin(), text.end(), number);
         m != std::sregex_iterator(); ++m) {
        named += text.substr(from, static_cast<size_t>(m->position()) - from);
        named += Win32ErrorMessage(static_cast<DWORD>(std::stoul((*m)[1].str())));
        from = static_cast<size_t>(m->position() + m->length());
    }
    return named + text.substr(from);
}

// What each of the unit's files keeps, for the advice when a name that is no file stands
// where it belongs: putting the file back costs nothing, going on without it may.
struct UnitFile {
    const char* what;
    std::string path; // the platform's
    const char* remedy;
};

constexpr char kRecordFileRemedy[] =
    "Put the record file back in its place: a start without it deletes the chip's templates "
    "that no record describes.";
constexpr char kChipStateRemedy[] =
    "Put the chip's state file back in its place: a start without it starts a fresh chip, whose "
    "templates are then gone.";
constexpr char kHoldsNoRecordsRemedy[] =
    "What is there holds no records: move it out of the way, then run the command again.";

std::string Narrow(const WCHAR* text) {
    std::string narrow;
    for (; *text != 0; ++text)
        narrow += static_cast<char>(*text); // the unit's paths are ASCII
    return narrow;
}

// The storage adapter's create, of an older file it leaves out: one that holds the create
// back (damaged while templates are at stake; args: label, path, damage, count), one left
// in place as the database is built without it (label, path, damage), and one that cannot
// be read (label, path).
constexpr USHORT kOlderFileHeldBack = 41;
constexpr USHORT kOlderFileLeftOut = 42;
constexpr USHORT kOlderFileUnread = 43;

// The library's whole-file reader and writer (common/whole_file.cpp), each naming the file
// first: a read that failed to open or measure it (args: path, error), the temporary file
// of a replacement not made and a later step that failed (path, the bytes it was writing,
// error).
constexpr USHORT kReaderNotOpened = 10;
constexpr USHORT kReaderNotMeasured = 11;
constexpr USHORT kWriterTemporaryNotMade = 14;
constexpr USHORT kWriterNotReplaced = 15;

// What the library met on the file at `path`, as its trace carries it: the last failure of
// its reader or writer there.
struct LibraryFileFailure {
    bool found = false;
    std::optional<size_t> bytes; // that its writer was writing
    std::string what;            // after "could not be ": "replaced: the library's writer met ..."
};
LibraryFileFailure LibraryFailureOf(const std::vector<platform::test::TraceStatement>& traces,
                                    const std::string& path) {
    LibraryFileFailure failure;
    for (const platform::test::TraceStatement& t : traces) {
        if (!FromUnit(t, kTraceGuidWholeFile) || StatementText(t, 0) != path)
            continue;
        const DecodedTrace decoded = DecodeTrace(t);
        if (decoded.level != "error")
            continue;
        failure = LibraryFileFailure{};
        failure.found = true;
        const bool write = t.number == kWriterTemporaryNotMade || t.number == kWriterNotReplaced;
        const bool read = t.number == kReaderNotOpened || t.number == kReaderNotMeasured;
        ULONGLONG bytes = 0, error = 0;
        if (write && StatementNumber(t, 1, &bytes) && StatementNumber(t, 2, &error)) {
            failure.bytes = static_cast<size_t>(bytes);
            failure.what = "replaced: the library's writer met " +
                           Win32ErrorMessage(static_cast<DWORD>(error)) + ", writing " +
                           std::to_string(bytes) + " bytes";
        } else if (read && StatementNumber(t, 1, &error)) {
            failure.what = "read: the library met " + Win32ErrorMessage(static_cast<DWORD>(error));
        } else {
            failure.what = "used: the library met " + decoded.text;
        }
    }
    return failure;
}

// The library's last error of the run, as its trace carries it; "" when it traced none.
std::string LastLibraryError(const std::vector<platform::test::TraceStatement>& traces) {
    for (auto t = traces.rbegin(); t != traces.rend(); ++t) {
        const DecodedTrace decoded = DecodeTrace(*t);
        if (decoded.level == "error")
            return decoded.text.empty() ? TraceLine(decoded) : decoded.text;
    }
    return "";
}

// The two older files by what people call them.
bool IsOlderRecordFile(const std::string& path) {
    const std::string name = LegacyRecordFile;
    return path.size() >= name.size() &&
           path.compare(path.size() - name.size(), name.size(), name) == 0;
}
std::string OlderFileName(const std::string& path) {
    return IsOlderRecordFile(path) ? "the older record file" : "the older block file";
}

// What is wrong with a damaged older file, after "it is damaged: ".
std::string OlderFileDamage(const std::string& path, ULONGLONG damage) {
    switch (static_cast<LegacyDamage>(damage)) {
    case LegacyDamage::Refused:
        return IsOlderRecordFile(path) ? "it is cut short, or counts records it does not hold"
                                       : "its header is damaged, or its blocks run past its end";
    case LegacyDamage::UncountedBytes:
        return "it holds bytes behind the blocks its header counts";
    case LegacyDamage::MalformedHostRecord:
        return "a record of this host in it is damaged";
    case LegacyDamage::None:
        break;
    }
    return "its records cannot be told";
}

// The files the create writes: the record file first, and the framework's database file,
// which a reset's create writes afresh.
std::vector<UnitFile> CreatedFiles() {
    return {{"the record file", PrivateDatabasePath(), kRecordFileRemedy},
            {"the framework's database file", Narrow(kDatabaseFilePath), kHoldsNoRecordsRemedy}};
}

// The chip slot that holds an identity's template for a finger, as the simulated sensor
// shows its table; -1 when none does.
int ChipSlotOf(const simsensor::SimulatedSensor& sensor, const EnrolledRecord& record) {
    const std::vector<simsensor::SimSlot> table = sensor.Table();
    for (size_t i = 0; i < table.size(); ++i) {
        const simsensor::SimSlot& slot = table[i];
        if (slot.state != MOC_SLOT_STATE_USED || slot.subFactor != record.subFactor)
            continue;
        const WINBIO_IDENTITY& id = record.identity;
        if (id.Type == WINBIO_ID_TYPE_SID && id.Value.AccountSid.Size <= MOC_IDENTITY_KEY_SIZE &&
            std::memcmp(slot.rawKey.Bytes, id.Value.AccountSid.Data, id.Value.AccountSid.Size) == 0)
            return static_cast<int>(i);
        if (id.Type == WINBIO_ID_TYPE_SECURE_ID &&
            std::memcmp(slot.rawKey.Bytes, id.Value.SecureId, WINBIO_SECURE_ID_SIZE) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

class Session {
public:
    Session(const Options& options, const std::string& library, std::ostream& out,
            std::ostream& err)
        : o_(options), library_(library), out_(out), err_(err) {}
    ~Session();
    int Run();

private:
    bool PrepareRoot();
    bool CheckUnitFiles();
    bool PrepareChip();
    void ReportRefusedChipState(const std::string& path, const std::string& why);
    void ReportChipSaveFailure(const std::string& headline, const std::string& why);
    void ReportTrouble(const char* what, const std::string& path, const FileTrouble& trouble,
                       const char* notAFileRemedy);
    bool StartUnit();
    void ReportRemoval(const UnitView& before, const UnitView& after);
    void ReportHold(const UnitView& before);
    void AdviseOnDamage();
    void Advise(bool started);
    bool ReportOlderFileHeldBack();
    void ReportOlderFileLeftOut();
    bool ReportWriteFailure();
    void ReportTry(const UnitFile& file);
    bool TryWhatAResetWrites();
    FileTrouble TryChipState();
    int RunCommand();
    void StopUnit();
    void PrintTraces(const std::string& step);
    int Enroll(BYTE finger);
    int Identify(BYTE finger, bool expectMatch, bool* asExpected);
    int Verify(BYTE finger);
    int List(size_t* count);
    int Delete(BYTE subFactor);
    int Stats();
    int Demo();

    Options o_;
    std::string library_;
    std::ostream& out_;
    std::ostream& err_;
    std::string root_;
    bool temporaryRoot_ = false;
    // Held from before the chip's state is loaded until its last save; declared before the
    // sensor and the unit, so that it goes after them.
    simsensor::RootLock rootLock_;
    std::shared_ptr<simsensor::SimulatedSensor> sensor_;
    std::unique_ptr<AdapterLibrary> adapters_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
    std::unique_ptr<BiometricUnit> unit_;
    std::string openResult_, createResult_;
    bool databaseRefused_ = false; // a storage call answered WINBIO_E_DATABASE_CORRUPTED
    // The library's trace statements of the run, as captured: what it met tells people why
    // a call failed, whether or not they are printed.
    std::vector<platform::test::TraceStatement> traces_;
};

Session::~Session() {
    StopUnit();
    if (temporaryRoot_) {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
}

void Session::PrintTraces(const std::string& step) {
    std::vector<platform::test::TraceStatement> taken = TakeStatements();
    if (o_.trace) {
        out_ << "  > " << step << "\n";
        for (const platform::test::TraceStatement& t : taken)
            out_ << "      " << TraceLine(DecodeTrace(t)) << "\n";
    }
    traces_.insert(traces_.end(), std::make_move_iterator(taken.begin()),
                   std::make_move_iterator(taken.end()));
}

bool Session::PrepareRoot() {
    if (o_.command == Command::Demo) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tolvimoc-demo-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            err_ << "tolvimoc: cannot make a temporary root: " << std::strerror(errno) << "\n";
            return false;
        }
        root_ = pattern;
        temporaryRoot_ = true;
    } else if (o_.rootGiven) {
        root_ = o_.root;
    } else {
        const char* env = std::getenv("WINPLATFORM_ROOT");
        root_ = env != nullptr && env[0] != '\0' ? env : "./winroot";
    }
    platform::SetDriveRoot(root_);
    std::error_code ec;
    std::filesystem::create_directories(platform::NativePath(kDatabaseFolder), ec);
    if (ec || ::access(root_.c_str(), W_OK) != 0) {
        err_ << "tolvimoc: cannot write to the root " << root_ << ": "
             << (ec ? ec.message() : std::strerror(errno)) << "\n";
        return false;
    }
    return true;
}

// Every file of the unit is tried before the unit starts: a name there that is no file,
// or one the platform refuses, is left as it is and the run touches nothing.
bool Session::CheckUnitFiles() {
    const std::string folder = kDatabaseFolder;
    const UnitFile files[] = {
        {"the record file", PrivateDatabasePath(), kRecordFileRemedy},
        {"the older record file", folder + "\\" + LegacyRecordFile, kHoldsNoRecordsRemedy},
        {"the older block file", folder + "\\" + LegacyBlockFile, kHoldsNoRecordsRemedy},
        {"the framework's database file", Narrow(kDatabaseFilePath), kHoldsNoRecordsRemedy},
        {"the chip's state", ChipStatePath(root_), kChipStateRemedy},
    };
    for (const UnitFile& file : files) {
        bool present = false;
        const FileTrouble trouble = OpenAsFile(file.path, &present);
        if (trouble) {
            ReportTrouble(file.what, file.path, trouble, file.remedy);
            return false;
        }
    }
    return true;
}

void Session::ReportTrouble(const char* what, const std::string& path, const FileTrouble& trouble,
                            const char* notAFileRemedy) {
    const TroubleWords words = DescribeTrouble(trouble, root_);
    err_ << "tolvimoc: " << what << " " << ShownPath(path) << " " << words.cause << ".\n"
         << "  It is left as it is, and nothing was deleted for it. "
         << (trouble.kind == FileTrouble::Kind::NotAFile ? notAFileRemedy : words.remedy) << "\n";
}

bool Session::PrepareChip() {
    std::string why;
    const DWORD held = rootLock_.Take(root_, simsensor::kRootLockWait, &why);
    if (held == ERROR_SHARING_VIOLATION) {
        err_ << "tolvimoc: the sensor is in use by another process\n";
        return false;
    }
    if (held != 0) {
        err_ << "tolvimoc: the sensor cannot be held: " << why << "\n";
        return false;
    }
    if (!CheckUnitFiles())
        return false;
    sensor_ = std::make_shared<simsensor::SimulatedSensor>();
    const std::string path = ChipStatePath(root_);
    switch (sensor_->LoadState(path, &why)) {
    case simsensor::SimulatedSensor::StateLoad::Loaded:
        out_ << "chip: state loaded from " << path << "\n";
        break;
    case simsensor::SimulatedSensor::StateLoad::Missing:
        out_ << "chip: no saved state at " << path << "; starting a fresh chip\n";
        break;
    case simsensor::SimulatedSensor::StateLoad::Refused:
        ReportRefusedChipState(path, why);
        return false;
    }
    if (!sensor_->KeepStateIn(path, &why)) {
        ReportChipSaveFailure("cannot save the chip's state", why);
        return false;
    }
    return true;
}

// An unusable state is never taken for an empty chip: that would lose its templates. Nor
// is one that a file call refused taken for a damaged one: moving it away would too.
void Session::ReportRefusedChipState(const std::string& path, const std::string& why) {
    const FileRead read = ReadThroughPlatform(path);
    if (read.trouble) {
        ReportTrouble("the chip's state", path, read.trouble, kChipStateRemedy);
        return;
    }
    // A refusal that a second load does not repeat came from a file call that has passed.
    simsensor::SimulatedSensor second;
    std::string again;
    if (!read.present ||
        second.LoadState(path, &again) != simsensor::SimulatedSensor::StateLoad::Refused) {
        err_ << "tolvimoc: the chip's state " << path << " could not be read ("
             << WithErrorNames(why) << "), but it reads now.\n"
             << "  It is left as it is, and nothing was deleted for it: run the command again.\n";
        return;
    }
    err_ << "tolvimoc: the chip's state cannot be used: " << WithErrorNames(again) << "\n"
         << "tolvimoc: it is left as it is. Moving " << path << " away starts a fresh chip,\n"
         << "  whose templates are then gone: every finger must be enrolled again.\n";
}

void Session::ReportChipSaveFailure(const std::string& headline, const std::string& why) {
    err_ << "tolvimoc: " << headline << ": " << WithErrorNames(why) << "\n";
    const FileTrouble trouble = TryChipState();
    if (trouble)
        ReportTrouble("the chip's state", ChipStatePath(root_), trouble, kChipStateRemedy);
}

// The chip's state is written whole after each change, of about the size it has; a fresh
// chip's (no file yet) takes about 2 KiB.
FileTrouble Session::TryChipState() {
    const std::string path = ChipStatePath(root_);
    const FileRead read = ReadThroughPlatform(path);
    if (read.trouble)
        return read.trouble;
    return TryReplacing(path, std::max<size_t>(read.bytes.size() + MOC_DATABASE_BLOCK_SIZE, 4096));
}

// A reset erases before it creates: everything the erase and the create will write is tried
// first, and the older files the create will read, so that it never stops between the two
// with the templates gone and no database made.
bool Session::TryWhatAResetWrites() {
    const std::string folder = kDatabaseFolder;
    FileTrouble trouble;
    for (const UnitFile& file : CreatedFiles()) {
        if ((trouble = TryReplacing(file.path))) {
            ReportTrouble(file.what, file.path, trouble, file.remedy);
            break;
        }
    }
    if (!trouble && (trouble = TryChipState()))
        ReportTrouble("the chip's state", ChipStatePath(root_), trouble, kChipStateRemedy);
    const UnitFile read[] = {
        {"the older record file", folder + "\\" + LegacyRecordFile, kHoldsNoRecordsRemedy},
        {"the older block file", folder + "\\" + LegacyBlockFile, kHoldsNoRecordsRemedy},
    };
    for (const UnitFile& file : read) {
        if (trouble)
            break;
        if ((trouble = ReadThroughPlatform(file.path).trouble))
            ReportTrouble(file.what, file.path, trouble, file.remedy);
    }
    if (trouble)
        err_ << "tolvimoc: reset: nothing was erased, since the database could not be made "
                "afresh after it.\n";
    return !trouble;
}

bool Session::StartUnit() {
    EnableLibraryTraces();
    std::string why;
    adapters_ = AdapterLibrary::Load(library_, &why);
    PrintTraces("load " + library_);
    if (adapters_ == nullptr) {
        err_ << "tolvimoc: " << why << "\n";
        return false;
    }
    device_ = platform::test::OpenDevice(sensor_);
    unit_ = std::make_unique<BiometricUnit>(adapters_->Tables(), device_,
                                            [this](const std::string& call, HRESULT hr) {
                                                if (call == "storage OpenDatabase")
                                                    openResult_ = ResultText(hr);
                                                if (call == "storage CreateDatabase")
                                                    createResult_ = ResultText(hr);
                                                if (hr == WINBIO_E_DATABASE_CORRUPTED)
                                                    databaseRefused_ = true;
                                                PrintTraces(call + ": " + ResultText(hr));
                                            });
    // The library's interface carries no count of what a start removed, nor says what kept
    // it from reconciling: both are seen on the chip and in the files, before and after.
    const UnitView before = ViewUnit(*sensor_, kDatabaseFolder);
    HRESULT hr = o_.command == Command::Reset ? unit_->StartAfresh() : unit_->Start();
    ReportRemoval(before, ViewUnit(*sensor_, kDatabaseFolder));
    if (o_.command != Command::Reset)
        ReportHold(before);
    if (FAILED(hr)) {
        err_ << "tolvimoc: the unit did not start: " << ResultText(hr) << "\n";
        return false;
    }
    out_ << "unit: adapters attached; database "
         << (createResult_.empty() ? "opened" : "created (open: " + openResult_ + ")")
         << "; activated\n";
    ReportOlderFileLeftOut();
    return true;
}

void Session::ReportRemoval(const UnitView& before, const UnitView& after) {
    const Removal removed = RemovedBetween(before, after);
    if (o_.command == Command::Reset) {
        std::vector<std::string> what;
        if (before.records.state == RecordFileView::State::Damaged)
            what.push_back("the damaged record file");
        else if (removed.records != 0)
            what.push_back(Counted(removed.records, "record", "records"));
        if (removed.hostTemplates != 0)
            what.push_back(Counted(removed.hostTemplates, "chip template", "chip templates"));
        if (removed.foreignTemplates != 0)
            what.push_back(Counted(removed.foreignTemplates, "template of other hosts",
                                   "templates of other hosts"));
        if (what.empty()) {
            out_ << "reset: there was nothing to remove\n";
            return;
        }
        out_ << "reset: removed ";
        for (size_t i = 0; i < what.size(); ++i)
            out_ << (i == 0 ? "" : i + 1 == what.size() ? " and " : ", ") << what[i];
        out_ << "\n";
        return;
    }
    // Which fingers went, so that a person knows which to enroll again.
    auto slots = [&](bool foreign) {
        std::vector<std::string> held;
        for (const RemovedTemplate& t : removed.templates)
            if (t.foreign == foreign)
                held.push_back("slot " + std::to_string(t.slot) + " with " +
                               FingerText(t.subFactor));
        return Listed(held);
    };
    if (removed.hostTemplates != 0)
        out_ << "open: deleted "
             << Counted(removed.hostTemplates, "chip template", "chip templates")
             << " that no record described: " << slots(false) << "\n";
    if (removed.foreignTemplates != 0)
        out_ << "open: deleted " << Counted(removed.foreignTemplates, "template", "templates")
             << " of other hosts, as the chip's policy asks: " << slots(true) << "\n";
    if (removed.records != 0)
        out_ << "open: dropped " << Counted(removed.records, "record", "records")
             << " whose template the chip no longer holds\n";
}

// What the open found that kept it from reconciling: the records it would have judged on
// are kept as they are, and so are the chip's templates.
void Session::ReportHold(const UnitView& before) {
    const char* kept = ": the open reconciled nothing, and nothing was deleted for ";
    for (const FileHold& hold : before.hold.files) {
        const std::string file = (hold.older ? "the older file " : "") + ShownPath(hold.path);
        if (hold.refused) {
            out_ << "open: " << file << " is damaged or cannot be read" << kept
                 << "it; a good copy of it put back mends it\n";
            continue;
        }
        if (hold.damagedRecords != 0) {
            std::vector<std::string> where;
            for (size_t i : hold.damagedBlocks)
                where.push_back("block " + std::to_string(i + 1) + " at byte " +
                                std::to_string(hold.headerSize + i * MOC_DATABASE_BLOCK_SIZE));
            const bool one = hold.damagedRecords == 1;
            out_ << "open: " << Counted(hold.damagedRecords, "damaged record", "damaged records")
                 << " of this host in " << file << (where.empty() ? "" : " (" + Listed(where) + ")")
                 << kept << (one ? "it" : "them") << "; a good copy of the file put back mends "
                 << (one ? "it" : "them") << "\n";
        }
        if (hold.bytesPastBlocks != 0)
            out_ << "open: " << file << " holds " << Counted(hold.bytesPastBlocks, "byte", "bytes")
                 << " behind the blocks its header counts" << kept
                 << "them; a good copy of the file put back mends it\n";
    }
}

// A refused record file is left as it is; what the person can do depends on why, and only
// damage is worth the templates that a reset costs.
void Session::AdviseOnDamage() {
    if (!databaseRefused_)
        return;
    const std::string path = PrivateDatabasePath();
    const RecordFileView view = ReadRecordFile(path);
    switch (view.state) {
    case RecordFileView::State::Unreadable:
        ReportTrouble("the record file", path, view.trouble, kRecordFileRemedy);
        return;
    case RecordFileView::State::Damaged:
        err_ << "tolvimoc: the record file is damaged: " << ShownPath(path) << "\n"
             << "  It is left as it is, and no template was deleted for it. Put back a good copy\n"
             << "  of it, or run 'tolvimoc --root " << root_ << " reset' to start the database\n"
             << "  afresh: that removes the file and this host's templates from the chip, and\n"
             << "  every finger must be enrolled again.\n";
        return;
    case RecordFileView::State::Absent:
    case RecordFileView::State::Read:
        break;
    }
    ReportTry(CreatedFiles()[0]);
}

// A file the library could not read or replace, named with its cause as the same try finds
// it, or, when the try passes, with what the library met.
void Session::ReportTry(const UnitFile& file) {
    const LibraryFileFailure failure = LibraryFailureOf(traces_, file.path);
    const FileTrouble trouble = TryReplacing(file.path, failure.bytes);
    if (trouble) {
        ReportTrouble(file.what, file.path, trouble, file.remedy);
        return;
    }
    err_ << "tolvimoc: " << file.what << " " << ShownPath(file.path) << " could not be "
         << (failure.found ? failure.what : "read or replaced")
         << ". It reads and takes a write of as many bytes now:\n"
         << "  it is not damaged, and nothing was deleted for it. Run the command again.\n";
}

// A replacement that the library's writer could not make, of a file that the create writes.
bool Session::ReportWriteFailure() {
    for (const UnitFile& file : CreatedFiles()) {
        if (LibraryFailureOf(traces_, file.path).found) {
            ReportTry(file);
            return true;
        }
    }
    return false;
}

// What a run that failed can tell people of its cause, from the files and from what the
// library met.
void Session::Advise(bool started) {
    if (!started && ReportOlderFileHeldBack())
        return;
    if (databaseRefused_) {
        AdviseOnDamage();
        return;
    }
    // The chip's own failure to keep a change is reported after this.
    if (started || !sensor_->StateSaveFailure().empty() || ReportWriteFailure())
        return;
    const std::string error = LastLibraryError(traces_);
    if (!error.empty())
        err_ << "tolvimoc: the library's last error: " << error << "\n";
}

// A create that an older file held back leaves the way back to the person: the file's
// records may describe the chip's templates, which only a good copy of it keeps.
bool Session::ReportOlderFileHeldBack() {
    for (const platform::test::TraceStatement& t : traces_) {
        const std::string path = StatementText(t, 1);
        if (IsStatement(t, kTraceGuidDatabaseLifecycle, kOlderFileUnread)) {
            const FileRead read = ReadThroughPlatform(path);
            if (read.trouble) {
                ReportTrouble(OlderFileName(path).c_str(), path, read.trouble,
                              kHoldsNoRecordsRemedy);
            } else {
                err_ << "tolvimoc: " << OlderFileName(path) << " " << ShownPath(path)
                     << " could not be read, but it reads now.\n"
                     << "  It is left as it is, and nothing was deleted for it: run the command "
                        "again.\n";
            }
            return true;
        }
        ULONGLONG damage = 0;
        if (!IsStatement(t, kTraceGuidDatabaseLifecycle, kOlderFileHeldBack) ||
            !StatementNumber(t, 2, &damage))
            continue;
        err_ << "tolvimoc: " << OlderFileName(path) << " " << ShownPath(path)
             << " is damaged: " << OlderFileDamage(path, damage) << ".\n"
             << "  The database is not created while the chip holds templates of this host that "
                "it may\n"
             << "  describe: it is left as it is, and no template was deleted for it. Put back "
                "a good\n"
             << "  copy of it, or run 'tolvimoc --root " << root_
             << " reset': that erases this host's\n"
             << "  templates from the chip, and the database is then created without it; every "
                "finger\n"
             << "  must be enrolled again.\n";
        return true;
    }
    return false;
}

void Session::ReportOlderFileLeftOut() {
    for (const platform::test::TraceStatement& t : traces_) {
        ULONGLONG damage = 0;
        if (!IsStatement(t, kTraceGuidDatabaseLifecycle, kOlderFileLeftOut) ||
            !StatementNumber(t, 2, &damage))
            continue;
        const std::string path = StatementText(t, 1);
        out_ << "database: built without " << OlderFileName(path) << " " << ShownPath(path)
             << ", which is damaged (" << OlderFileDamage(path, damage) << ") and left as it is\n";
    }
}

void Session::StopUnit() {
    if (unit_ != nullptr) {
        unit_->Stop();
        unit_.reset();
    }
    if (device_ != INVALID_HANDLE_VALUE) {
        CloseHandle(device_);
        device_ = INVALID_HANDLE_VALUE;
    }
    if (adapters_ != nullptr) {
        adapters_.reset();
        PrintTraces("unload");
    }
    DisableLibraryTraces();
}

int Session::Run() {
    // A root that cannot be used is a failure of the run, not of its command line.
    if (!PrepareRoot())
        return kExitFailure;
    if (o_.command == Command::Demo)
        out_ << "tolvimoc demo on a fresh root: " << root_ << "\n";
    if (!PrepareChip())
        return kExitFailure;
    if (o_.command == Command::Reset && !TryWhatAResetWrites())
        return kExitFailure;
    const bool started = StartUnit();
    const int status = started ? RunCommand() : kExitFailure;
    StopUnit();
    Advise(started);
    const std::string saveFailure = sensor_->StateSaveFailure();
    if (!saveFailure.empty()) {
        ReportChipSaveFailure("the chip could not keep a change", saveFailure);
        return kExitFailure;
    }
    return status;
}

int Session::RunCommand() {
    out_ << "signed-in user: " << IdentityText(SignedInUser()) << "\n";
    int status = kExitFailure;
    size_t count = 0;
    bool asExpected = false;
    switch (o_.command) {
    case Command::Demo:
        status = Demo();
        break;
    case Command::Enroll:
        status = Enroll(o_.finger);
        break;
    case Command::Identify:
        status = Identify(o_.finger, true, &asExpected);
        break;
    case Command::Verify:
        status = Verify(o_.finger);
        break;
    case Command::List:
        status = List(&count);
        break;
    case Command::Delete:
        status = Delete(o_.all ? WINBIO_SUBTYPE_ANY : o_.finger);
        break;
    case Command::Stats:
        status = Stats();
        break;
    case Command::Reset:
        // The unit started on the database made afresh.
        out_ << "reset: the database is created afresh; every finger must be enrolled again\n";
        status = kExitSuccess;
        break;
    case Command::Help:
        break;
    }
    return status;
}

int Session::Enroll(BYTE finger) {
    const WINBIO_IDENTITY user = SignedInUser();
    out_ << "enroll: " << FingerText(finger) << " of " << IdentityText(user) << "\n";
    sensor_->PresentFinger(FingerPresentation(finger));
    EnrollResult r = unit_->Enroll(user, finger, [&](const SampleReport& s) {
        const std::string of = s.total != 0 ? " of " + std::to_string(s.total) : "";
        if (s.result == S_OK || s.result == WINBIO_I_MORE_DATA) {
            out_ << "  sample " << s.index << of << " accepted\n";
        } else {
            out_ << "  sample " << s.index << of
                 << " rejected: " << FailureText(s.result, s.rejectDetail) << "\n";
        }
        // The finger goes down again for the next sample.
        if (s.result == WINBIO_I_MORE_DATA)
            sensor_->PresentFinger(FingerPresentation(finger));
    });
    if (r.duplicateChecked) {
        if (r.duplicate)
            out_ << "  duplicate check: the chip already holds it, as "
                 << IdentityText(r.duplicateIdentity) << ", " << FingerText(r.duplicateSubFactor)
                 << "\n";
        else
            out_ << "  duplicate check: no duplicate on the chip\n";
    } else if (r.step == "duplicate check") {
        out_ << "  duplicate check: " << ResultText(r.result) << "\n";
    }
    if (r.step == "commit")
        out_ << "  commit: " << ResultText(r.result) << "\n";
    if (r.result != S_OK) {
        out_ << "enroll: " << r.step << ": " << ResultText(r.result) << "\n";
        return kExitFailure;
    }
    out_ << "enrolled " << IdentityText(user) << ", " << FingerText(finger) << "\n";
    return kExitSuccess;
}

int Session::Identify(BYTE finger, bool expectMatch, bool* asExpected) {
    out_ << "identify: " << FingerText(finger) << " presented at the lock screen\n";
    sensor_->PresentFinger(FingerPresentation(finger));
    // A sign-in happens at the lock screen, where the engine counts its statistics.
    platform::test::SetConsoleLockState(static_cast<LONG>(WTS_SESSIONSTATE_LOCK));
    IdentifyResult r = unit_->Identify();
    platform::test::SetConsoleLockState(static_cast<LONG>(WTS_SESSIONSTATE_UNLOCK));
    *asExpected = expectMatch ? r.result == S_OK && SameIdentity(r.identity, SignedInUser()) &&
                                    r.subFactor == finger
                              : r.result == WINBIO_E_UNKNOWN_ID;
    if (r.result != S_OK) {
        out_ << "identify: " << FailureText(r.result, r.rejectDetail) << "\n";
        return kExitFailure;
    }
    out_ << "identified " << IdentityText(r.identity) << ", " << FingerText(r.subFactor) << ": "
         << ResultText(r.result) << "\n";
    return kExitSuccess;
}

int Session::Verify(BYTE finger) {
    const WINBIO_IDENTITY user = SignedInUser();
    out_ << "verify: " << FingerText(finger) << " presented for " << IdentityText(user) << "\n";
    sensor_->PresentFinger(FingerPresentation(finger));
    VerifyResult r = unit_->Verify(user, finger);
    if (r.result != S_OK || !r.match) {
        out_ << "verify: " << FailureText(r.result, r.rejectDetail) << "\n";
        return kExitFailure;
    }
    out_ << "verified " << IdentityText(user) << ", " << FingerText(finger) << ": "
         << ResultText(r.result) << "\n";
    return kExitSuccess;
}

int Session::List(size_t* count) {
    ListResult r = unit_->List();
    *count = r.records.size();
    if (r.result != S_OK) {
        out_ << "list: " << ResultText(r.result) << "\n";
        return kExitFailure;
    }
    out_ << "enrollments: " << r.records.size() << "\n";
    for (const EnrolledRecord& record : r.records) {
        const int slot = ChipSlotOf(*sensor_, record);
        out_ << "  " << IdentityText(record.identity) << ", " << FingerText(record.subFactor)
             << ", " << (slot >= 0 ? "chip slot " + std::to_string(slot) : "no chip slot") << "\n";
    }
    return kExitSuccess;
}

int Session::Delete(BYTE subFactor) {
    const WINBIO_IDENTITY user = SignedInUser();
    out_ << "delete: " << FingerText(subFactor) << " of " << IdentityText(user) << "\n";
    HRESULT hr = unit_->Delete(user, subFactor);
    if (hr != S_OK) {
        out_ << "delete: " << ResultText(hr) << "\n";
        return kExitFailure;
    }
    out_ << "deleted " << FingerText(subFactor) << " of " << IdentityText(user) << ": "
         << ResultText(hr) << "\n";
    return kExitSuccess;
}

int Session::Stats() {
    const std::string path = PrivateDatabasePath();
    const RecordFileView file = ReadRecordFile(path);
    if (!file.headerRead) {
        out_ << "stats: " << path << " holds no match statistics\n";
        return kExitFailure;
    }
    const MatchStatistics& s = file.header.Statistics;
    out_ << "match statistics at the lock screen (" << path << "):\n"
         << "  identifications     " << s.Identifications << "\n"
         << "  successes           " << s.Matches << "\n"
         << "  bad captures        " << s.BadCaptures << "\n"
         << "  unknown identities  " << s.UnknownIdentities << "\n"
         << "  other failures      " << s.OtherFailures << "\n";
    return kExitSuccess;
}

int Session::Demo() {
    bool ok = true;
    bool asExpected = false;
    size_t count = 0;
    out_ << "\n== 1. enroll " << FingerText(kDefaultFinger) << " ==\n";
    ok &= Enroll(kDefaultFinger) == kExitSuccess;
    out_ << "\n== 2. sign in with the enrolled finger ==\n";
    Identify(kDefaultFinger, true, &asExpected);
    ok &= asExpected;
    out_ << "\n== 3. sign in with a finger never enrolled ==\n";
    Identify(kUnenrolledDemoFinger, false, &asExpected);
    ok &= asExpected;
    out_ << "\n== 4. list the enrollments ==\n";
    ok &= List(&count) == kExitSuccess && count == 1;
    out_ << "\n== 5. the statistics of the two sign-ins ==\n";
    ok &= Stats() == kExitSuccess;
    out_ << "\n== 6. delete the enrollment ==\n";
    ok &= Delete(kDefaultFinger) == kExitSuccess;
    out_ << "\n"
         << (ok ? "demo: every step gave what it should" : "demo: a step went wrong") << "\n";
    return ok ? kExitSuccess : kExitFailure;
}

} // namespace

std::string ChipStatePath(const std::string& root) {
    return root + "/simulated-chip.state";
}

int RunTolvimoc(const std::vector<std::string>& arguments, const std::string& library,
                std::ostream& out, std::ostream& err) {
    Options options;
    try {
        options = ParseOptions(arguments);
    } catch (const UsageError& e) {
        err << "tolvimoc: " << e.message << " (tolvimoc --help lists the commands)\n";
        return kExitUsage;
    }
    if (options.command == Command::Help) {
        out << kHelp;
        return kExitSuccess;
    }
    Session session(options, library, out, err);
    return session.Run();
}

} // namespace host
