// USB serial ports as sysfs shows them: folder listings read with
// getdents64 into a buffer on the stack (opendir would allocate), paths and
// attributes in fixed buffers.
#include "link/providers/serial_ports.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace kq::serial {

namespace {

const char* EnvOr(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

// Calls visit(name) for every entry of the folder at path. False
// when the folder cannot be read.
template <typename Visit> bool ForEachEntry(const char* path, Visit visit) {
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    alignas(dirent64) char buffer[4096];
    for (;;) {
        ssize_t n = getdents64(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            visit(entry->d_name);
            at += entry->d_reclen;
        }
    }
    close(fd);
    return true;
}

} // namespace

const char* SysfsRoot() {
    return EnvOr("KQ_SERIAL_SYSFS_ROOT", "/sys");
}

const char* DevDir() {
    return EnvOr("KQ_SERIAL_DEV_DIR", "/dev");
}

bool ReadAttribute(const char* path, char* out, size_t cap) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ssize_t n = read(fd, out, cap - 1);
    close(fd);
    if (n < 0) {
        return false;
    }
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) {
        --n;
    }
    out[n] = '\0';
    return true;
}

int PortNumber(const char* name) {
    if (strncmp(name, "ttyUSB", 6) != 0 || name[6] == '\0') {
        return -1;
    }
    int n = 0;
    for (const char* p = name + 6; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || n > 100000) {
            return -1;
        }
        n = n * 10 + (*p - '0');
    }
    return n;
}

int ScanPorts(int* numbers, int cap) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/class/tty", SysfsRoot());
    int count = 0;
    ForEachEntry(path, [&](const char* name) {
        int n = PortNumber(name);
        if (n < 0 || count == cap) {
            return;
        }
        int i = count++;
        while (i > 0 && numbers[i - 1] > n) {
            numbers[i] = numbers[i - 1];
            --i;
        }
        numbers[i] = n;
    });
    return count;
}

bool ReadPortInfo(int n, PortInfo* info) {
    char link[PATH_MAX];
    char dir[PATH_MAX];
    snprintf(link, sizeof link, "%s/class/tty/ttyUSB%d/device", SysfsRoot(), n);
    if (realpath(link, dir) == nullptr) {
        return false;
    }
    for (int level = 0; level < 6; ++level) {
        char attr[PATH_MAX + 16];
        snprintf(attr, sizeof attr, "%s/idVendor", dir);
        if (ReadAttribute(attr, info->vendor, sizeof info->vendor)) {
            snprintf(attr, sizeof attr, "%s/serial", dir);
            if (!ReadAttribute(attr, info->serial, sizeof info->serial)) {
                info->serial[0] = '\0';
            }
            snprintf(attr, sizeof attr, "%s/product", dir);
            if (!ReadAttribute(attr, info->description, sizeof info->description)) {
                info->description[0] = '\0';
            }
            return true;
        }
        char* slash = strrchr(dir, '/');
        if (slash == nullptr || slash == dir) {
            return false;
        }
        *slash = '\0';
    }
    return false;
}

bool IsFtdi(const PortInfo& info) {
    return strcmp(info.vendor, kFtdiVendorId) == 0;
}

int CountUsbDevices(const char* vendor) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/bus/usb/devices", SysfsRoot());
    int count = 0;
    ForEachEntry(path, [&](const char* name) {
        char attr[PATH_MAX];
        char value[kAttributeMax];
        int length = snprintf(attr, sizeof attr, "%s/%s/idVendor", path, name);
        if (length > 0 && static_cast<size_t>(length) < sizeof attr &&
            ReadAttribute(attr, value, sizeof value) && strcmp(value, vendor) == 0) {
            ++count;
        }
    });
    return count;
}

} // namespace kq::serial
