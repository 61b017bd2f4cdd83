// Match statistics: the five counters of sign-ins at the lock screen, kept in
// the header of the private database file and patched there in place.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>

// The private database file as the engine finds it, whatever folder the
// framework's database uses.
inline constexpr char kStatisticsFolder[] = "C:\\Windows\\System32\\WinBioDatabase\\";

// Counts one identify of the given chip result in the private database file:
// the counters are taken from the file, one is added, and the counter bytes
// alone are written back; nothing is counted or written when they cannot be
// read. False when the file does not exist: the caller then sends no match
// report either.
bool UpdateMatchStatistics(PWINIBIO_ENGINE_CONTEXT context, HRESULT identifyResult);

// True when the five counters were read from the file at the context's
// statistics path into the context; false leaves them unchanged.
bool LoadMatchStatistics(PWINIBIO_ENGINE_CONTEXT context);

// True when the context's counters were written over the file's counter bytes,
// and only those, and flushed. The file is opened without truncation and its
// header checked again first; its length never changes.
bool SaveMatchStatistics(PWINIBIO_ENGINE_CONTEXT context);
