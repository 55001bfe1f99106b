// Diagnosis of a failed open on Linux: sysfs and /dev as the library's
// serial provider sees them (its own port listing), the vendor library, and
// the permissions and holders of a serial node.
#include "diagnose.h"

#if defined(__linux__)

#include "link/providers/serial_ports.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kqtool {

namespace {

namespace fs = std::filesystem;

constexpr const char* kUdevRule = "60-kq-reader.rules";

std::string EnvOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] != '\0' ? v : fallback;
}

std::string DevDir() {
    return kq::serial::DevDir();
}

std::string Attribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// One ttyUSB port as sysfs shows it.
struct Port {
    std::string name;
    std::string vendor; // empty when no USB device was found above it
    std::string serial;
};

// Every ttyUSB port in port order, with the USB device above it, as the
// library's serial provider lists them.
std::vector<Port> UsbSerialPorts() {
    int numbers[kq::serial::kMaxPorts];
    int count = kq::serial::ScanPorts(numbers, kq::serial::kMaxPorts);
    std::vector<Port> ports;
    for (int i = 0; i < count; ++i) {
        Port port{"ttyUSB" + std::to_string(numbers[i]), {}, {}};
        kq::serial::PortInfo info;
        if (kq::serial::ReadPortInfo(numbers[i], &info)) {
            port.vendor = info.vendor;
            port.serial = info.serial;
        }
        ports.push_back(port);
    }
    return ports;
}

// FTDI USB devices that no ttyUSB port belongs to: the kernel driver is not
// bound to them (unloaded, or unbound for the vendor's library).
int UnboundFtdiDevices(const std::vector<Port>& ports) {
    int ftdi_devices = kq::serial::CountUsbDevices(kq::serial::kFtdiVendorId);
    int ftdi_ports = static_cast<int>(std::count_if(ports.begin(), ports.end(), [](const Port& p) {
        return p.vendor == kq::serial::kFtdiVendorId;
    }));
    return std::max(0, ftdi_devices - ftdi_ports);
}

std::string GroupName(gid_t gid) {
    const group* g = getgrgid(gid);
    return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string UserName(uid_t uid) {
    const passwd* p = getpwuid(uid);
    return p != nullptr ? p->pw_name : std::to_string(uid);
}

std::string Mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Processes that have path open, as "PID (name)".
std::vector<std::string> Holders(const std::string& path) {
    std::vector<std::string> holders;
    std::error_code ec;
    fs::path target = fs::canonical(path, ec);
    if (ec) {
        return holders;
    }
    for (const auto& proc : fs::directory_iterator("/proc", ec)) {
        std::string pid = proc.path().filename();
        if (pid.empty() ||
            !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            pid == std::to_string(getpid())) {
            continue;
        }
        std::error_code fd_ec;
        for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
            std::error_code link_ec;
            if (fs::read_symlink(fd.path(), link_ec) == target) {
                holders.push_back(pid + " (" + Attribute(proc.path() / "comm") + ")");
                break;
            }
        }
    }
    return holders;
}

// The USB serial number of the FTDI port behind a device node (a ttyUSBn or
// a link to one); "SERIAL" when sysfs does not tell.
std::string SerialOfNode(const std::string& path) {
    int n = kq::serial::PortNumber(fs::path(path).filename().c_str());
    if (n < 0) { // a link such as /dev/kq-reader-A12B34CD
        std::error_code ec;
        n = kq::serial::PortNumber(fs::canonical(path, ec).filename().c_str());
    }
    kq::serial::PortInfo info;
    if (n >= 0 && kq::serial::ReadPortInfo(n, &info) && info.serial[0] != '\0') {
        return info.serial;
    }
    return "SERIAL";
}

std::string PermissionAdvice(const std::string& path) {
    std::ostringstream out;
    struct stat st {};
    stat(path.c_str(), &st);
    out << "You may not open " << path << " (owner " << UserName(st.st_uid) << ", group "
        << GroupName(st.st_gid) << ", mode " << Mode(st.st_mode) << "; you are "
        << UserName(geteuid()) << ").\n"
        << "Fix it once for this reader with kq's udev rule, " << kUdevRule
        << " (installed with libkq0 in /lib/udev/rules.d; from the source tree:\n"
        << "    sudo install -m 644 packaging/udev/" << kUdevRule << " /etc/udev/rules.d/\n"
        << "). It acts only on the readers a local rule names by serial number:\n"
        << "    echo 'SUBSYSTEMS==\"usb\", ATTRS{idVendor}==\"0403\", ATTRS{serial}==\""
        << SerialOfNode(path) << "\", ENV{KQ_READER}=\"1\"' |\n"
        << "      sudo tee -a /etc/udev/rules.d/59-kq-readers.rules\n"
        << "    sudo udevadm control --reload-rules && sudo udevadm trigger\n"
        << "then unplug and replug the reader.\n";
    if (st.st_gid != 0 && (st.st_mode & 0060) == 0060) {
        out << "Or join the device's group and log in again:\n"
            << "    sudo usermod -aG " << GroupName(st.st_gid) << " " << UserName(geteuid())
            << "\n";
    }
    return out.str();
}

// Why the tty at path cannot be used, or an empty text.
std::string DiagnoseNode(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return path + " does not exist: is the reader plugged in?\n";
    }
    if (!S_ISCHR(st.st_mode)) {
        return path + " is not a serial device.\n";
    }
    if (access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        return PermissionAdvice(path);
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM) {
            return PermissionAdvice(path);
        }
        if (errno == EBUSY) {
            std::string text = path + " is held exclusively by another program";
            auto holders = Holders(path);
            for (size_t i = 0; i < holders.size(); ++i) {
                text += (i == 0 ? ": " : ", ") + holders[i];
            }
            return text + ".\n";
        }
        return path + ": " + std::strerror(errno) + "\n";
    }
    bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    if (locked) {
        std::string text = path + " is in use by another program using this library";
        auto holders = Holders(path);
        for (size_t i = 0; i < holders.size(); ++i) {
            text += (i == 0 ? ": " : ", ") + holders[i];
        }
        return text + ".\n";
    }
    return {};
}

std::string DiagnoseSerialProvider(const std::string& serial) {
    if (serial.compare(0, 5, "/dev/") == 0) {
        return DiagnoseNode(serial);
    }
    std::vector<Port> ports = UsbSerialPorts();
    std::vector<const Port*> ftdi;
    for (const auto& p : ports) {
        if (p.vendor == kq::serial::kFtdiVendorId) {
            ftdi.push_back(&p);
        }
    }
    if (ftdi.empty()) {
        std::string text = "No reader found: no FTDI USB serial port (/dev/ttyUSB*, USB vendor "
                           "0403) is present.\n";
        if (UnboundFtdiDevices(ports) > 0) {
            text += "An FTDI USB device is attached, but the kernel's ftdi_sio driver is not "
                    "bound to it.\nLoad it with 'sudo modprobe ftdi_sio' (or replug the reader), "
                    "or use the vendor's libftd2xx.so instead (unset KQ_D2XX).\n";
        } else {
            text += "Is the reader plugged in? Is the kernel's FTDI driver available "
                    "('sudo modprobe ftdi_sio')?\n";
        }
        return text;
    }
    for (const Port* p : ftdi) {
        if (!serial.empty() && p->serial == serial) {
            return DiagnoseNode(DevDir() + "/" + p->name);
        }
    }
    std::string text;
    if (!serial.empty()) {
        text = "No reader has the serial number '" + serial + "'. ";
    }
    text += "Readers found:";
    for (const Port* p : ftdi) {
        text += "\n    " + (p->serial.empty() ? std::string("(no serial number)") : p->serial) +
                "  " + DevDir() + "/" + p->name;
    }
    text += "\n";
    // Without a serial number (listing failed) the first port is the one.
    if (serial.empty()) {
        text += DiagnoseNode(DevDir() + "/" + ftdi.front()->name);
    }
    return text;
}

} // namespace

std::string DiagnoseOpenFailure(const char* serial_no) {
    std::string serial = serial_no != nullptr ? serial_no : "";
    std::string choice = EnvOr("KQ_D2XX", "");
    if (choice.empty()) {
        void* vendor = dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL);
        if (vendor != nullptr) {
            dlclose(vendor);
            // The vendor library reaches the reader through raw USB, which the
            // kernel driver must not hold.
            for (const auto& p : UsbSerialPorts()) {
                if (p.vendor == kq::serial::kFtdiVendorId &&
                    (serial.empty() || p.serial == serial)) {
                    return "The vendor's libftd2xx.so is in use, but the kernel's ftdi_sio driver "
                           "holds the reader as /dev/" +
                           p.name +
                           ".\nUnbind it ('sudo rmmod ftdi_sio'), or use the kernel driver "
                           "instead: KQ_D2XX=serial.\n";
                }
            }
            return {};
        }
        return DiagnoseSerialProvider(serial);
    }
    if (choice == "serial") {
        return DiagnoseSerialProvider(serial);
    }
    void* lib = dlopen(choice.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        const char* why = dlerror();
        return "KQ_D2XX names '" + choice + "', which cannot be loaded" +
               (why != nullptr ? std::string(": ") + why : std::string()) +
               ".\nUnset KQ_D2XX for the vendor library or the kernel driver, or set it to "
               "'serial'.\n";
    }
    bool d2xx = dlsym(lib, "FT_OpenEx") != nullptr && dlsym(lib, "FT_ListDevices") != nullptr;
    dlclose(lib);
    if (!d2xx) {
        return "KQ_D2XX names '" + choice +
               "', which is not a D2XX library (it lacks FT_OpenEx or FT_ListDevices).\n";
    }
    return {};
}

} // namespace kqtool

#else

namespace kqtool {

std::string DiagnoseOpenFailure(const char*) {
    return {};
}

} // namespace kqtool

#endif
