// File permissions as a plain account meets them, for a suite that runs as root: the
// modes of files and folders then hold for the process, as for any account.
#pragma once

namespace moc_test {

// Drops the capabilities that pass over file permissions (CAP_DAC_OVERRIDE,
// CAP_DAC_READ_SEARCH), from the bounding set too, so that a program the process then runs
// gets none of them back. For a child made with fork(): it is for the rest of the process.
// True when permissions now hold (at once for an account that is not root); false when the
// capabilities cannot be dropped.
bool DropPermissionOverride();

} // namespace moc_test
