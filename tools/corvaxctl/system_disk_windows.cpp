// corvaxctl on Windows: where the Windows directory and the page files in use are, as PCI
// locations. A path's volume gives its disk extents, each on a disk with a number; the disk
// interface that reports that number is the disk's device node, and its ancestors lead to the
// PCI function of its controller, whose bus number and address make the location.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>
#include <winioctl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/corvaxctl/system_disk.h"
#include "tools/corvaxctl/windows_support.h"

namespace corvaxctl {

namespace {

// The disk device interface class (GUID_DEVINTERFACE_DISK).
const GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

std::string Narrow(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                            nullptr, nullptr);
    }
    return out;
}

struct DeviceListCloser {
    void operator()(void* list) const {
        if (list != nullptr && list != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(list);
        }
    }
};
using UniqueDeviceList = std::unique_ptr<void, DeviceListCloser>;

// A handle for device control only: no read or write access is needed for the queries.
UniqueHandle OpenForQueries(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

// The disks a path's volume lies on; empty with *problem set when that cannot be had.
std::vector<DWORD> DiskNumbersOf(const std::wstring& path, std::string* problem) {
    wchar_t mount[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(path.c_str(), mount, MAX_PATH)) {
        *problem = "no volume for " + Narrow(path) + ": " + ErrorText(GetLastError());
        return {};
    }
    wchar_t volume[MAX_PATH + 1] = {};
    if (!GetVolumeNameForVolumeMountPointW(mount, volume, MAX_PATH)) {
        *problem = "no volume name for " + Narrow(mount) + ": " + ErrorText(GetLastError());
        return {};
    }
    std::wstring device = volume;
    if (!device.empty() && device.back() == L'\\') {
        device.pop_back();  // the volume itself, not its root folder
    }
    UniqueHandle h = OpenForQueries(device);
    if (!h) {
        *problem = "cannot open the volume of " + Narrow(mount) + ": " + ErrorText(GetLastError());
        return {};
    }
    std::vector<uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS) + 7 * sizeof(DISK_EXTENT));
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD returned = 0;
        if (DeviceIoControl(h.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                            buffer.data(), static_cast<DWORD>(buffer.size()), &returned, nullptr)) {
            const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
            std::vector<DWORD> disks;
            for (DWORD i = 0; i < extents->NumberOfDiskExtents; ++i) {
                const DWORD disk = extents->Extents[i].DiskNumber;
                bool known = false;
                for (DWORD d : disks) {
                    known = known || d == disk;
                }
                if (!known) {
                    disks.push_back(disk);
                }
            }
            if (disks.empty()) {
                *problem = "the volume of " + Narrow(mount) + " lies on no disk";
            }
            return disks;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_MORE_DATA || attempt == 1) {
            *problem =
                "the volume of " + Narrow(mount) + " gives no disk extents: " + ErrorText(error);
            return {};
        }
        const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
        buffer.resize(sizeof(VOLUME_DISK_EXTENTS) +
                      extents->NumberOfDiskExtents * sizeof(DISK_EXTENT));
    }
    return {};
}

// The device node of disk number `number`.
std::optional<DEVINST> DiskNode(DWORD number, std::string* problem) {
    UniqueDeviceList list(SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr,
                                               DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (list.get() == INVALID_HANDLE_VALUE) {
        list.release();
        *problem = "the disks cannot be listed: " + ErrorText(GetLastError());
        return std::nullopt;
    }
    SP_DEVICE_INTERFACE_DATA entry = {};
    entry.cbSize = sizeof(entry);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(list.get(), nullptr, &kDiskInterface, i, &entry);
         ++i) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(list.get(), &entry, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        std::vector<uint8_t> buffer(size);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA node = {};
        node.cbSize = sizeof(node);
        if (!SetupDiGetDeviceInterfaceDetailW(list.get(), &entry, detail, size, nullptr, &node)) {
            continue;
        }
        UniqueHandle disk = OpenForQueries(detail->DevicePath);
        if (!disk) {
            continue;
        }
        STORAGE_DEVICE_NUMBER n = {};
        DWORD returned = 0;
        if (DeviceIoControl(disk.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof(n),
                            &returned, nullptr) &&
            n.DeviceType == FILE_DEVICE_DISK && n.DeviceNumber == number) {
            return node.DevInst;
        }
    }
    *problem = "no disk reports number " + std::to_string(number);
    return std::nullopt;
}

std::wstring InstanceId(DEVINST node) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) {
        return std::wstring();
    }
    return id;
}

bool DwordProperty(DEVINST node, ULONG property, DWORD* value) {
    ULONG length = sizeof(*value);
    ULONG type = 0;
    return CM_Get_DevNode_Registry_PropertyW(node, property, &type, value, &length, 0) ==
               CR_SUCCESS &&
           type == REG_DWORD && length == sizeof(*value);
}

// The PCI function above a device node: the first ancestor (or the node itself) that the PCI
// bus driver enumerated. Its bus number and address (device in the high word, function in the
// low) make the PFA.
std::optional<uint16_t> PciLocationOf(DEVINST node, DWORD disk, std::string* problem) {
    for (int depth = 0; depth < 32; ++depth) {
        const std::wstring id = InstanceId(node);
        if (id.size() > 4 && _wcsnicmp(id.c_str(), L"PCI\\", 4) == 0) {
            DWORD bus = 0;
            DWORD address = 0;
            if (!DwordProperty(node, CM_DRP_BUSNUMBER, &bus) ||
                !DwordProperty(node, CM_DRP_ADDRESS, &address)) {
                *problem = Narrow(id) + " above disk " + std::to_string(disk) +
                           " gives no bus number and address";
                return std::nullopt;
            }
            return static_cast<uint16_t>((bus & 0xFF) << 8 | ((address >> 16) & 0x1F) << 3 |
                                         (address & 7));
        }
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) {
            break;
        }
        node = parent;
    }
    *problem = "disk " + std::to_string(disk) + " has no PCI device above it";
    return std::nullopt;
}

// The page files in use ("\??\C:\pagefile.sys"), as Windows lists them; an empty list when it
// lists none (paging is off). False with *problem when the list cannot be read.
bool PageFiles(std::vector<std::wstring>* files, std::string* problem) {
    const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
    DWORD size = 0;
    LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ExistingPageFiles",
                                  RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 2, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (status == ERROR_SUCCESS) {
        status = RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ExistingPageFiles", RRF_RT_REG_MULTI_SZ,
                              nullptr, text.data(), &size);
    }
    if (status != ERROR_SUCCESS) {
        *problem = "the page files in use cannot be read: " + ErrorText(static_cast<DWORD>(status));
        return false;
    }
    for (const wchar_t* p = text.data(); *p != L'\0'; p += wcslen(p) + 1) {
        std::wstring file = p;
        if (file.rfind(L"\\??\\", 0) == 0) {
            file.erase(0, 4);
        }
        files->push_back(file);
    }
    return true;
}

class WindowsSystemDisks : public SystemDiskLocator {
  public:
    std::vector<SystemDisk> Locate() override {
        std::vector<SystemDisk> disks;
        wchar_t directory[MAX_PATH + 1] = {};
        const UINT n = GetSystemWindowsDirectoryW(directory, MAX_PATH);
        if (n == 0 || n > MAX_PATH) {
            disks.push_back({"the Windows directory", std::nullopt,
                             "its path cannot be had: " + ErrorText(GetLastError())});
        } else {
            Add(&disks, "the Windows directory " + Narrow(directory), directory);
        }
        std::vector<std::wstring> files;
        std::string problem;
        if (!PageFiles(&files, &problem)) {
            disks.push_back({"the page files", std::nullopt, problem});
        }
        for (const std::wstring& file : files) {
            Add(&disks, "the page file " + Narrow(file), file);
        }
        return disks;
    }

  private:
    static void Add(std::vector<SystemDisk>* disks, const std::string& what,
                    const std::wstring& path) {
        std::string problem;
        const std::vector<DWORD> numbers = DiskNumbersOf(path, &problem);
        if (numbers.empty()) {
            disks->push_back({what, std::nullopt, problem});
            return;
        }
        for (DWORD number : numbers) {
            const std::string named =
                numbers.size() > 1 ? what + " (disk " + std::to_string(number) + ")" : what;
            std::optional<uint16_t> pfa;
            if (const std::optional<DEVINST> node = DiskNode(number, &problem)) {
                pfa = PciLocationOf(*node, number, &problem);
            }
            disks->push_back({named, pfa, pfa ? std::string() : problem});
        }
    }
};

}  // namespace

std::unique_ptr<SystemDiskLocator> MakeSystemDiskLocator(const Transport*) {
    return std::make_unique<WindowsSystemDisks>();
}

}  // namespace corvaxctl
