// Match statistics: the five counters of sign-ins at the lock screen, kept in
// the header of the private database file.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>

// Counts one identify of the given chip result in the private database file
// of the fixed path; false when that file does not exist (nothing is counted,
// and the caller sends no match report either).
bool UpdateMatchStatistics(PWINIBIO_ENGINE_CONTEXT context, HRESULT identifyResult);
