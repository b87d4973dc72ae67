// Test-only: the answers of the Wine test build of the driver (corvax-wine-test.sys, never
// shipped) to what wine_test_kernel.h swaps in the WDK layer, and the image's entry, which
// builds the simulated machine the service's registry key names before the driver's own entry.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <ntddk.h>

#include "sim/wine_test/wine_test_fabric.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace {

// The service key's value that names the machine: the path of a fabric description.
const WCHAR kFabricValue[] = L"WineTestFabric";
constexpr ULONG kPathCapacity = 520;  // characters

// The two well-known SIDs SeExports would give: SYSTEM (S-1-5-18) and Administrators
// (S-1-5-32-544), laid out as SID records.
struct WellKnownSid {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[2];
};
WellKnownSid g_localSystem = {SID_REVISION, 1, {{0, 0, 0, 0, 0, 5}}, {18, 0}};
WellKnownSid g_administrators = {SID_REVISION, 2, {{0, 0, 0, 0, 0, 5}}, {32, 544}};
SE_EXPORTS g_exports;

PDRIVER_UNLOAD g_driverUnload;

// MmMapIoSpaceEx as the driver asks for it: read-write, not cached, never executable.
PVOID NTAPI WineTestMapIoSpaceEx(PHYSICAL_ADDRESS address, SIZE_T size, ULONG protect) {
    if (protect != (PAGE_READWRITE | PAGE_NOCACHE)) {
        return nullptr;
    }
    return WineTestFabricMapIoSpace(static_cast<uint64_t>(address.QuadPart), size);
}

// The description's path from the service's key; its length in characters, 0 when absent.
ULONG ReadFabricPath(PUNICODE_STRING registryPath, WCHAR* path) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
        return 0;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kFabricValue);
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + kPathCapacity * sizeof(WCHAR)];
    ULONG returned = 0;
    const NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &returned);
    ZwClose(key);
    const auto* value = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (!NT_SUCCESS(status) || value->Type != REG_SZ) {
        return 0;
    }
    ULONG length = value->DataLength / sizeof(WCHAR);
    const WCHAR* data = reinterpret_cast<const WCHAR*>(value->Data);
    while (length > 0 && data[length - 1] == 0) {
        --length;
    }
    if (length > kPathCapacity) {
        return 0;
    }
    for (ULONG i = 0; i < length; ++i) {
        path[i] = data[i];
    }
    return length;
}

VOID NTAPI WineTestDriverUnload(PDRIVER_OBJECT driver) {
    g_driverUnload(driver);
    WineTestFabricStop();
}

}  // namespace

// The image's entry: the machine first, then the driver's own entry, and the machine ends after
// the driver's unload.
extern "C" NTSTATUS NTAPI WineTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    WCHAR path[kPathCapacity];
    const ULONG length = ReadFabricPath(registryPath, path);
    if (length == 0) {
        DbgPrint(
            "corvax-wine-test: the service's key names no machine (a value WineTestFabric "
            "with the path of a fabric description)\n");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    NTSTATUS status = WineTestFabricStart(reinterpret_cast<const uint16_t*>(path), length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = DriverEntry(driver, registryPath);
    if (!NT_SUCCESS(status)) {
        WineTestFabricStop();
        return status;
    }
    g_driverUnload = driver->DriverUnload;
    driver->DriverUnload = WineTestDriverUnload;
    return status;
}

extern "C" {

ULONG WineTestReadPortUlong(PULONG port) {
    return WineTestFabricReadPort(static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(port)));
}

VOID WineTestWritePortUlong(PULONG port, ULONG value) {
    WineTestFabricWritePort(static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(port)), value);
}

UCHAR WineTestReadRegisterUchar(volatile UCHAR* address) {
    return static_cast<UCHAR>(WineTestFabricReadRegister(address, 1));
}

VOID WineTestWriteRegisterUchar(volatile UCHAR* address, UCHAR value) {
    WineTestFabricWriteRegister(address, 1, value);
}

ULONG WineTestReadRegisterUlong(volatile ULONG* address) {
    return WineTestFabricReadRegister(address, 4);
}

VOID WineTestWriteRegisterUlong(volatile ULONG* address, ULONG value) {
    WineTestFabricWriteRegister(address, 4, value);
}

// The machine's RAM as Windows reports it: pool the caller frees, ended by a zero entry.
PPHYSICAL_MEMORY_RANGE NTAPI WineTestGetPhysicalMemoryRanges(VOID) {
    constexpr ULONG kCapacity = 64;
    uint64_t bases[kCapacity];
    uint64_t lengths[kCapacity];
    ULONG count = WineTestFabricRam(bases, lengths, kCapacity);
    if (count > kCapacity) {
        count = kCapacity;
    }
    auto* ranges = static_cast<PPHYSICAL_MEMORY_RANGE>(
        ExAllocatePoolWithTag(NonPagedPoolNx, (count + 1) * sizeof(PHYSICAL_MEMORY_RANGE), 'tWvC'));
    if (ranges == nullptr) {
        return nullptr;
    }
    for (ULONG i = 0; i < count; ++i) {
        ranges[i].BaseAddress.QuadPart = static_cast<LONGLONG>(bases[i]);
        ranges[i].NumberOfBytes.QuadPart = static_cast<LONGLONG>(lengths[i]);
    }
    ranges[count].BaseAddress.QuadPart = 0;
    ranges[count].NumberOfBytes.QuadPart = 0;
    return ranges;
}

// Wine has no MmMapIoSpaceEx, and its MmMapIoSpace maps nothing: the machine's own mapping
// stands for the first; every other routine is Wine's.
PVOID NTAPI WineTestGetSystemRoutineAddress(PUNICODE_STRING name) {
    UNICODE_STRING mapIoSpaceEx;
    RtlInitUnicodeString(&mapIoSpaceEx, L"MmMapIoSpaceEx");
    if (RtlEqualUnicodeString(name, &mapIoSpaceEx, FALSE)) {
        return reinterpret_cast<PVOID>(&WineTestMapIoSpaceEx);
    }
    return MmGetSystemRoutineAddress(name);
}

VOID NTAPI WineTestUnmapIoSpace(PVOID address, SIZE_T size) {
    WineTestFabricUnmapIoSpace(address, size);
}

// What Windows does for resident memory, which Wine leaves undone: the list's system address is
// the address it describes.
VOID NTAPI WineTestBuildMdlForNonPagedPool(PMDL mdl) {
    mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

// Wine exports SeExports as a function, not as the record: the record with the two SIDs the
// driver reads.
PSE_EXPORTS WineTestSeExports(VOID) {
    g_exports.SeLocalSystemSid = &g_localSystem;
    g_exports.SeAliasAdminsSid = &g_administrators;
    return &g_exports;
}

// Wine lacks the call, and its I/O manager checks no descriptor when a device is opened: the
// descriptor is checked as Windows would check it and taken, not applied. (Wine's
// RtlValidSecurityDescriptor answers with a status where Windows answers with a boolean, so the
// absolute record the driver built is read here.)
NTSTATUS NTAPI WineTestSetSecurityObjectByPointer(PVOID object, SECURITY_INFORMATION information,
                                                  PSECURITY_DESCRIPTOR descriptor) {
    const auto* absolute = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
    if (object == nullptr || information != DACL_SECURITY_INFORMATION || absolute == nullptr ||
        absolute->Revision != SECURITY_DESCRIPTOR_REVISION ||
        (absolute->Control & (SE_DACL_PRESENT | SE_SELF_RELATIVE)) != SE_DACL_PRESENT ||
        absolute->Dacl == nullptr || absolute->Dacl->AceCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
