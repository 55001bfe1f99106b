// Diagnosis of a failed open: what kqtool tells its user when KQ_OpenUSB
// (or KQ_GetSerialNo) could not reach a reader, when the cause is one the
// user can fix on this machine.
#pragma once

#include <string>

namespace kqtool {

// Looks at how the library will reach the reader named serial_no (a USB
// serial number, or a path that starts with "/dev/") and explains what
// stands in the way: a serial line the user may not open (with the udev rule
// that fixes it), a reader held by another program, no FTDI reader attached
// or the kernel's FTDI driver not bound, a serial number that matches none
// of the readers found, or a KQ_D2XX library that cannot be loaded.
// serial_no may be null or empty (KQ_GetSerialNo failed). Returns one or
// more lines of text ending in a newline, or an empty text when it finds
// nothing to say.
//
// Looks in sysfs and /dev like the library's serial provider does, so
// KQ_SERIAL_SYSFS_ROOT and KQ_SERIAL_DEV_DIR move it as well.
std::string DiagnoseOpenFailure(const char* serial_no);

} // namespace kqtool
