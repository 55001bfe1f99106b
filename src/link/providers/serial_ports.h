// USB serial ports as sysfs shows them (Linux): every /sys/class/tty/ttyUSBn
// in port order, and the USB device above each one. The serial provider
// lists and opens readers through this, and kqtool's diagnosis looks at the
// same ports the same way.
//
// Nothing here allocates: the provider lists ports on every KQ_GetSerialNo.
//
// Two environment variables move the places looked at, for tests and
// unusual systems:
//   KQ_SERIAL_SYSFS_ROOT  sysfs root (default /sys)
//   KQ_SERIAL_DEV_DIR     folder of the ttyUSBn nodes (default /dev)
#pragma once

#include <cstddef>

namespace kq::serial {

constexpr char kFtdiVendorId[] = "0403";
// Ports looked at, at most.
constexpr int kMaxPorts = 256;
// Text of one USB attribute (vendor id, serial number, product), NUL
// included: the size of the listing buffer the library's header asks of its
// clients.
constexpr size_t kAttributeMax = 64;

const char* SysfsRoot();
const char* DevDir();

// The n of a name "ttyUSBn", or -1.
int PortNumber(const char* name);

// The numbers of every ttyUSBn in sysfs, ascending, at most cap of them.
// Returns their count.
int ScanPorts(int* numbers, int cap);

// What sysfs tells of one port's USB device.
struct PortInfo {
    char vendor[kAttributeMax]; // "0403" for FTDI
    char serial[kAttributeMax];
    char description[kAttributeMax]; // the USB product text
};

// Fills info from the nearest folder above ttyUSBn's device that has an
// idVendor (the USB device). False when there is none.
bool ReadPortInfo(int n, PortInfo* info);

bool IsFtdi(const PortInfo& info);

// USB devices with this vendor id, whether or not a driver holds them.
int CountUsbDevices(const char* vendor);

// Reads a sysfs attribute into out (cap > 0) without its trailing newline.
// False when it cannot be read.
bool ReadAttribute(const char* path, char* out, size_t cap);

} // namespace kq::serial
