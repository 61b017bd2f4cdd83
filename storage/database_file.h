// Byte layout of the storage adapter's private database file: its header with
// the match counters and its 1024-byte record blocks. The storage adapter and
// the engine's match statistics both read and write this file; these records
// are the one description of it. All integers in the file are little-endian,
// as they are in memory on the platform's processors.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include <vector>
#include "device/driver_interface.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the file records are read and written as they lie in memory");

// The file's name, in the folder of the framework's database file.
constexpr char PrivateDatabaseFile[] = "0A0A09AC-31A1-4880-9AC8-B1FF3C9E94EB.DAT";

constexpr DWORD MOC_DATABASE_MAGIC = 0x66688070; // the bytes 70 80 68 66
constexpr BYTE MOC_DATABASE_FILE_VERSION = 3;    // written on every save, ignored on load
constexpr USHORT MOC_DATABASE_HEADER_SIZE = 29;  // every header this system creates
// A file shorter than this holds no header fields the loader could trust.
constexpr DWORD MOC_DATABASE_MIN_FILE_SIZE = 9;

constexpr DWORD MOC_DATABASE_BLOCK_SIZE = 1024;
constexpr DWORD MOC_DATABASE_MAX_BLOCK_COUNT = 0xFFFF; // the header's 16-bit field
constexpr BYTE MOC_BLOCK_TYPE_PLAIN = 0x10;
constexpr BYTE MOC_BLOCK_TYPE_OWNED = 0x11;

// Identity kinds of a record (the first two are also the chip's).
constexpr BYTE MOC_IDENTITY_KIND_GUID = 2;

constexpr DWORD MOC_BLOCK_ACCOUNT_SID_SIZE = 28;
constexpr DWORD MOC_BLOCK_INDEX_ELEMENTS = 4;
constexpr DWORD MOC_BLOCK_TEMPLATE_SIZE = 20;
constexpr DWORD MOC_BLOCK_PAYLOAD_SIZE = 20;

// A block carries an older file's bare record from this offset on: the plain
// record ends before the sensor id length, the owned one after the sensor id.
constexpr DWORD MOC_BLOCK_RECORD_OFFSET = 19;
constexpr DWORD MOC_LEGACY_RECORD_SIZE_PLAIN = 124; // 0x7C, record length of a plain block
constexpr DWORD MOC_LEGACY_RECORD_SIZE_OWNED = 157; // 0x9D, record length of an owned block

#pragma pack(push, 1)

// Five counters of identifications made while the console was locked.
struct MatchStatistics {
    ULONG Identifications;   // every identify counted
    ULONG Matches;           // of these, S_OK
    ULONG BadCaptures;       // of these, WINBIO_E_BAD_CAPTURE
    ULONG UnknownIdentities; // of these, WINBIO_E_UNKNOWN_ID
    ULONG OtherFailures;     // of these, every other result
};

// The fixed part of the header. HeaderSize may be larger than this record (the
// extra bytes are carried verbatim) or, in files from elsewhere, smaller.
struct DatabaseFileHeader {
    ULONG Magic;
    BYTE Version;
    USHORT BlockCount;
    USHORT HeaderSize; // offset of the first block
    MatchStatistics Statistics;
};

struct DatabaseRecordBlock {
    BYTE BlockType;    // MOC_BLOCK_TYPE_*; any other value is kept but never matched
    BYTE RecordLength; // MOC_LEGACY_RECORD_SIZE_* of the block type
    BYTE Zero;
    HostOwnerId Owner; // first byte 0: a block without owner
    // The record an older file holds bare starts here.
    BYTE Valid; // 1: in use
    BYTE IdentityKind;
    BYTE SubFactor;
    BYTE IdentityLength;
    IdentityKey Key;
    BYTE AccountSidLength;
    BYTE AccountSid[MOC_BLOCK_ACCOUNT_SID_SIZE];
    BYTE IndexElementCount;
    BYTE IndexVector[MOC_BLOCK_INDEX_ELEMENTS * 4]; // each element most significant byte first
    BYTE TemplateSize;
    BYTE TemplateBytes[MOC_BLOCK_TEMPLATE_SIZE];
    BYTE PayloadSize;
    BYTE PayloadBytes[MOC_BLOCK_PAYLOAD_SIZE];
    // Owned blocks only from here on.
    BYTE SensorIdLength;
    BYTE SensorId[MOC_SENSOR_ID_SIZE];
    BYTE Reserved[848];
};

#pragma pack(pop)

static_assert(sizeof(MatchStatistics) == 20, "MatchStatistics");
static_assert(sizeof(DatabaseFileHeader) == MOC_DATABASE_HEADER_SIZE, "DatabaseFileHeader");
static_assert(offsetof(DatabaseFileHeader, Version) == 4, "DatabaseFileHeader.Version");
static_assert(offsetof(DatabaseFileHeader, BlockCount) == 5, "DatabaseFileHeader.BlockCount");
static_assert(offsetof(DatabaseFileHeader, HeaderSize) == 7, "DatabaseFileHeader.HeaderSize");
static_assert(offsetof(DatabaseFileHeader, Statistics) == 9, "DatabaseFileHeader.Statistics");

static_assert(sizeof(DatabaseRecordBlock) == MOC_DATABASE_BLOCK_SIZE, "DatabaseRecordBlock");
static_assert(offsetof(DatabaseRecordBlock, RecordLength) == 1, "RecordLength");
static_assert(offsetof(DatabaseRecordBlock, Owner) == 3, "Owner");
static_assert(offsetof(DatabaseRecordBlock, Valid) == MOC_BLOCK_RECORD_OFFSET, "Valid");
static_assert(offsetof(DatabaseRecordBlock, IdentityKind) == 20, "IdentityKind");
static_assert(offsetof(DatabaseRecordBlock, SubFactor) == 21, "SubFactor");
static_assert(offsetof(DatabaseRecordBlock, IdentityLength) == 22, "IdentityLength");
static_assert(offsetof(DatabaseRecordBlock, Key) == 23, "Key");
static_assert(offsetof(DatabaseRecordBlock, AccountSidLength) == 55, "AccountSidLength");
static_assert(offsetof(DatabaseRecordBlock, AccountSid) == 56, "AccountSid");
static_assert(offsetof(DatabaseRecordBlock, IndexElementCount) == 84, "IndexElementCount");
static_assert(offsetof(DatabaseRecordBlock, IndexVector) == 85, "IndexVector");
static_assert(offsetof(DatabaseRecordBlock, TemplateSize) == 101, "TemplateSize");
static_assert(offsetof(DatabaseRecordBlock, TemplateBytes) == 102, "TemplateBytes");
static_assert(offsetof(DatabaseRecordBlock, PayloadSize) == 122, "PayloadSize");
static_assert(offsetof(DatabaseRecordBlock, PayloadBytes) == 123, "PayloadBytes");
static_assert(offsetof(DatabaseRecordBlock, SensorIdLength) ==
                  MOC_BLOCK_RECORD_OFFSET + MOC_LEGACY_RECORD_SIZE_PLAIN,
              "SensorIdLength");
static_assert(offsetof(DatabaseRecordBlock, SensorId) == 144, "SensorId");
static_assert(offsetof(DatabaseRecordBlock, Reserved) ==
                  MOC_BLOCK_RECORD_OFFSET + MOC_LEGACY_RECORD_SIZE_OWNED,
              "Reserved");

// ---------------------------------------------------------------------------
// Moving the whole file between disk and the storage context
// ---------------------------------------------------------------------------

// The 29-byte header of a file without blocks, as a reset and a fresh
// framework database file carry it: magic, version 3, no block, header size
// 29, zero counters.
inline DatabaseFileHeader FreshDatabaseHeader(DWORD magic) {
    DatabaseFileHeader header{};
    header.Magic = magic;
    header.Version = MOC_DATABASE_FILE_VERSION;
    header.BlockCount = 0;
    header.HeaderSize = MOC_DATABASE_HEADER_SIZE;
    return header;
}

// Where the blocks of a private file read whole lie, or why they cannot be
// told: the one layout rule of the loader and of anyone else reading the file.
enum class DatabaseFileLayout {
    Fits,          // `headerSize` and `blockCount` are set, the blocks lie inside the file
    NoHeader,      // shorter than 9 bytes or another magic
    HeaderPastEnd, // the header size runs past the file
    BlocksPastEnd, // the blocks run past the file
};
DatabaseFileLayout CheckDatabaseFileLayout(const std::vector<BYTE>& file, DWORD magic,
                                           DWORD* headerSize, DWORD* blockCount);

// The start of the context's file loaders: E_POINTER for a null context or
// path, else the file at `path` read whole into `file` as LoadWholeFile
// reads it, a failure traced as statement 11 of `unit`.
HRESULT ReadContextFile(PWINIBIO_STORAGE_CONTEXT context, const char* path, const GUID& unit,
                        std::vector<BYTE>* file, bool* unreadable);

// Reads the file at `path` and appends its blocks to the context's three
// lists by block type (the caller empties them first), keeping its header
// and trailing bytes for the next save. S_OK; WINBIO_E_DATABASE_CORRUPTED
// for a file that cannot be read whole, is shorter than 9 bytes, carries
// another magic, or whose header size or blocks reach past its end (nothing
// is loaded then; the last two also set the kept header size to 29);
// E_OUTOFMEMORY. On every failure the lists are as they were. `unreadable`,
// when given, tells whether the failure was a file call that failed (see
// LoadWholeFile).
HRESULT LoadDatabaseFile(PWINIBIO_STORAGE_CONTEXT context, const char* path,
                         bool* unreadable = nullptr);

// Empties the three lists and loads the private file into them, as every
// operation that works on the records begins. The lists then show the file
// (ListsMayDifferFromFile is cleared), unless the load failed.
HRESULT ReloadDatabaseFile(PWINIBIO_STORAGE_CONTEXT context);

// Replaces the private file with the three lists (plain, owned, other), the
// kept header bytes and the kept trailing bytes, then releases the kept
// copies. S_OK (the lists then show the file), or WINBIO_E_DATABASE_CORRUPTED
// with the old file untouched (they may then differ from it).
HRESULT SaveDatabaseFile(PWINIBIO_STORAGE_CONTEXT context);

// Releases the kept header and trailing copies (both counts become 0), as
// every operation that loads does before it returns.
void ReleaseKeptCopies(PWINIBIO_STORAGE_CONTEXT context);
