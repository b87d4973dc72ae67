// The kernel boundary over the WDK: a line or two per operation, no logic of its own.
// mingw-w64's ddk headers compile as C++ once these two intrinsics are marked as defined.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <ntddk.h>

#include <stddef.h>

#ifdef CORVAX_WINE_TEST
// The test-only build for Wine: its hardware and the calls Wine lacks, swapped in by name.
#include "driver/kernel/windows/wine_test_kernel.h"
#endif

#include "driver/kernel/kernel.h"

extern "C" NTSTATUS NTAPI ObSetSecurityObjectByPointer(PVOID Object,
                                                       SECURITY_INFORMATION SecurityInformation,
                                                       PSECURITY_DESCRIPTOR SecurityDescriptor);

static_assert(sizeof(KernUnicodeString) == sizeof(UNICODE_STRING), "UNICODE_STRING layout");
static_assert(offsetof(KernUnicodeString, Buffer) == offsetof(UNICODE_STRING, Buffer),
              "UNICODE_STRING layout");
static_assert(sizeof(char16_t) == sizeof(WCHAR), "wide characters are 16-bit");

namespace {

KMUTEX g_requestLock;
KSPIN_LOCK g_configPortLock;

// The system's RAM as the memory manager reported it at load. A fixed table: the driver keeps
// no pool. A machine with more ranges than it holds has the rest folded into its last entry,
// which then also covers the gaps between them; that only refuses more.
constexpr uint32_t kRamRangeCapacity = 64;
KernPhysicalRange g_ramRanges[kRamRangeCapacity];
uint32_t g_ramRangeCount = 0;
bool g_ramRangesTaken = false;

// Neither is in mingw-w64's ddk headers: the priority flag that makes a descriptor-list view
// non-executable, and MmMapIoSpaceEx (Windows 10 and later).
constexpr ULONG kMdlMappingNoExecute = 0x40000000;
typedef PVOID(NTAPI* MapIoSpaceExRoutine)(PHYSICAL_ADDRESS address, SIZE_T size, ULONG protect);
typedef PVOID(NTAPI* MapIoSpaceRoutine)(PHYSICAL_ADDRESS address, SIZE_T size,
                                        MEMORY_CACHING_TYPE cacheType);

// Found by name at load, so that the image imports neither: MmMapIoSpace maps executable, and
// memory integrity holds an import of it against the driver. Written once before the first
// mapping, only read afterwards.
MapIoSpaceExRoutine g_mapIoSpaceEx;
MapIoSpaceRoutine g_mapIoSpace;

PDRIVER_OBJECT AsDriver(KernDriver* driver) {
    return reinterpret_cast<PDRIVER_OBJECT>(driver);
}

PDEVICE_OBJECT AsDevice(KernDevice* device) {
    return reinterpret_cast<PDEVICE_OBJECT>(device);
}

PIRP AsIrp(KernRequest* request) {
    return reinterpret_cast<PIRP>(request);
}

NTSTATUS NTAPI DefaultRoutine(PDEVICE_OBJECT device, PIRP irp) {
    return CorvaxDefaultDispatch(reinterpret_cast<KernDevice*>(device),
                                 reinterpret_cast<KernRequest*>(irp));
}

NTSTATUS NTAPI ControlRoutine(PDEVICE_OBJECT device, PIRP irp) {
    return CorvaxControlDispatch(reinterpret_cast<KernDevice*>(device),
                                 reinterpret_cast<KernRequest*>(irp));
}

VOID NTAPI UnloadRoutine(PDRIVER_OBJECT driver) {
    CorvaxDriverUnload(reinterpret_cast<KernDriver*>(driver));
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    return CorvaxDriverEntry(reinterpret_cast<KernDriver*>(driver));
}

extern "C" {

void KernInstallDispatchRoutines(KernDriver* driver) {
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        AsDriver(driver)->MajorFunction[i] = DefaultRoutine;
    }
    AsDriver(driver)->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ControlRoutine;
}

void KernInstallUnloadRoutine(KernDriver* driver) {
    AsDriver(driver)->DriverUnload = UnloadRoutine;
}

void KernInitUnicodeString(KernUnicodeString* destination, const char16_t* source) {
    RtlInitUnicodeString(reinterpret_cast<PUNICODE_STRING>(destination),
                         reinterpret_cast<PCWSTR>(source));
}

KernStatus KernCreateDevice(KernDriver* driver, uint32_t extensionSize,
                            const KernUnicodeString* name, uint32_t deviceType,
                            uint32_t characteristics, uint8_t exclusive, KernDevice** device) {
    PDEVICE_OBJECT created = nullptr;
    const NTSTATUS status =
        IoCreateDevice(AsDriver(driver), extensionSize,
                       reinterpret_cast<PUNICODE_STRING>(const_cast<KernUnicodeString*>(name)),
                       deviceType, characteristics, exclusive ? TRUE : FALSE, &created);
    *device = reinterpret_cast<KernDevice*>(created);
    return status;
}

KernStatus KernRestrictDeviceToAdministrators(KernDevice* device) {
    // A discretionary list of two entries: full access for SYSTEM and for Administrators.
    alignas(8) UCHAR aclBuffer[256];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    PSID system = SeExports->SeLocalSystemSid;
    PSID administrators = SeExports->SeAliasAdminsSid;
    const ULONG aclSize = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG)) +
                          RtlLengthSid(system) + RtlLengthSid(administrators);
    if (aclSize > sizeof(aclBuffer)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    NTSTATUS status = RtlCreateAcl(acl, aclSize, ACL_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators);
    }
    SECURITY_DESCRIPTOR descriptor;
    if (NT_SUCCESS(status)) {
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        status =
            ObSetSecurityObjectByPointer(AsDevice(device), DACL_SECURITY_INFORMATION, &descriptor);
    }
    return status;
}

void KernDeleteDevice(KernDevice* device) {
    IoDeleteDevice(AsDevice(device));
}

void* KernDeviceExtension(KernDevice* device) {
    return AsDevice(device)->DeviceExtension;
}

KernDevice* KernDriverDevice(KernDriver* driver) {
    return reinterpret_cast<KernDevice*>(AsDriver(driver)->DeviceObject);
}

void KernSetDeviceFlags(KernDevice* device, uint32_t set, uint32_t clear) {
    AsDevice(device)->Flags = (AsDevice(device)->Flags | set) & ~clear;
}

KernStatus KernCreateSymbolicLink(const KernUnicodeString* link, const KernUnicodeString* target) {
    return IoCreateSymbolicLink(
        reinterpret_cast<PUNICODE_STRING>(const_cast<KernUnicodeString*>(link)),
        reinterpret_cast<PUNICODE_STRING>(const_cast<KernUnicodeString*>(target)));
}

KernStatus KernDeleteSymbolicLink(const KernUnicodeString* link) {
    return IoDeleteSymbolicLink(
        reinterpret_cast<PUNICODE_STRING>(const_cast<KernUnicodeString*>(link)));
}

void KernGetControlParameters(KernRequest* request, KernControlParameters* parameters) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(AsIrp(request));
    parameters->InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    parameters->OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    parameters->ControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    parameters->Reserved = 0;
    // METHOD_NEITHER requests carry no system buffer; that field then holds nothing of ours.
    parameters->SystemBuffer = (parameters->ControlCode & 3u) == METHOD_NEITHER
                                   ? nullptr
                                   : AsIrp(request)->AssociatedIrp.SystemBuffer;
}

uint8_t KernRequestHasMdl(KernRequest* request) {
    return AsIrp(request)->MdlAddress != nullptr ? 1 : 0;
}

uint16_t KernRequestMdlFlags(KernRequest* request) {
    return static_cast<uint16_t>(AsIrp(request)->MdlAddress->MdlFlags);
}

void* KernRequestMdlMappedSystemVa(KernRequest* request) {
    return AsIrp(request)->MdlAddress->MappedSystemVa;
}

uint32_t KernRequestMdlByteCount(KernRequest* request) {
    return MmGetMdlByteCount(AsIrp(request)->MdlAddress);
}

void* KernMapRequestMdl(KernRequest* request) {
    return MmMapLockedPagesSpecifyCache(
        AsIrp(request)->MdlAddress, KernelMode, MmCached, nullptr, FALSE,
        static_cast<MM_PAGE_PRIORITY>(NormalPagePriority | kMdlMappingNoExecute));
}

void KernCompleteRequest(KernRequest* request, KernStatus status, uint64_t information) {
    AsIrp(request)->IoStatus.Status = status;
    AsIrp(request)->IoStatus.Information = static_cast<ULONG_PTR>(information);
    IoCompleteRequest(AsIrp(request), IO_NO_INCREMENT);
}

void KernRequestLockInitialize(void) {
    KeInitializeMutex(&g_requestLock, 0);
    KeInitializeSpinLock(&g_configPortLock);
}

void KernRequestLockAcquire(void) {
    KeWaitForSingleObject(&g_requestLock, Executive, KernelMode, FALSE, nullptr);
}

void KernRequestLockRelease(void) {
    KeReleaseMutex(&g_requestLock, FALSE);
}

uint64_t KernConfigPortAcquire(void) {
    // HIGH_LEVEL holds every interrupt off on this processor; the spin lock keeps the other
    // processors' requests of this driver out of the pair.
    const KIRQL previous = KfRaiseIrql(HIGH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&g_configPortLock);
    return previous;
}

void KernConfigPortRelease(uint64_t state) {
    KeReleaseSpinLockFromDpcLevel(&g_configPortLock);
#ifndef CORVAX_FAULT_IRQL_LEFT_RAISED
    KeLowerIrql(static_cast<KIRQL>(state));
#endif
}

void KernTakeSystemRamRanges(void) {
    PPHYSICAL_MEMORY_RANGE ranges = MmGetPhysicalMemoryRanges();
    if (ranges == nullptr) {
        return;
    }
    for (PPHYSICAL_MEMORY_RANGE r = ranges;
         r->BaseAddress.QuadPart != 0 || r->NumberOfBytes.QuadPart != 0; ++r) {
        const uint64_t base = static_cast<uint64_t>(r->BaseAddress.QuadPart);
        const uint64_t length = static_cast<uint64_t>(r->NumberOfBytes.QuadPart);
        if (g_ramRangeCount < kRamRangeCapacity) {
            g_ramRanges[g_ramRangeCount++] = KernPhysicalRange{base, length};
            continue;
        }
        KernPhysicalRange& last = g_ramRanges[kRamRangeCapacity - 1];
        const uint64_t low = base < last.Base ? base : last.Base;
        const uint64_t end =
            base + length > last.Base + last.Length ? base + length : last.Base + last.Length;
        last = KernPhysicalRange{low, end - low};
    }
    ExFreePool(ranges);
    g_ramRangesTaken = true;
}

const KernPhysicalRange* KernSystemRamRanges(uint32_t* count) {
    *count = g_ramRangeCount;
    return g_ramRangesTaken ? g_ramRanges : nullptr;
}

void KernWritePortUlong(uint16_t port, uint32_t value) {
    WRITE_PORT_ULONG(reinterpret_cast<PULONG>(static_cast<ULONG_PTR>(port)), value);
}

uint32_t KernReadPortUlong(uint16_t port) {
    return READ_PORT_ULONG(reinterpret_cast<PULONG>(static_cast<ULONG_PTR>(port)));
}

uint64_t KernTimeUs(void) {
    LARGE_INTEGER frequency;
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    if (perSecond == 0) {
        return 0;
    }
    // In two parts, so that the product never overflows whatever the frequency.
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

void KernDelayUs(uint32_t us) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * static_cast<LONGLONG>(us);  // relative, in 100 ns units
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void KernFindMappingRoutines(void) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"MmMapIoSpaceEx");
    g_mapIoSpaceEx = reinterpret_cast<MapIoSpaceExRoutine>(MmGetSystemRoutineAddress(&name));
    if (g_mapIoSpaceEx == nullptr) {
        // A kernel older than Windows 10 has no other way to map I/O space.
        RtlInitUnicodeString(&name, L"MmMapIoSpace");
        g_mapIoSpace = reinterpret_cast<MapIoSpaceRoutine>(MmGetSystemRoutineAddress(&name));
    }
#ifdef CORVAX_FAULT_UNBOUND_IMPORT
    (void)KeQueryTimeIncrement();
#endif
}

void* KernMapIoSpace(uint64_t physicalAddress, uint32_t size) {
    PHYSICAL_ADDRESS address;
    address.QuadPart = static_cast<LONGLONG>(physicalAddress);
    if (g_mapIoSpaceEx != nullptr) {
#ifdef CORVAX_FAULT_EXECUTABLE_MAPPING
        return g_mapIoSpaceEx(address, size, PAGE_EXECUTE_READWRITE | PAGE_NOCACHE);
#else
        return g_mapIoSpaceEx(address, size, PAGE_READWRITE | PAGE_NOCACHE);
#endif
    }
    return g_mapIoSpace != nullptr ? g_mapIoSpace(address, size, MmNonCached) : nullptr;
}

void KernUnmapIoSpace(void* address, uint32_t size) {
    MmUnmapIoSpace(address, size);
}

void* KernAllocateMdl(void* address, uint32_t size) {
    return IoAllocateMdl(address, size, FALSE, FALSE, nullptr);
}

void KernBuildMdlForNonPagedPool(void* mdl) {
    MmBuildMdlForNonPagedPool(static_cast<PMDL>(mdl));
}

// Both routines decide by the same flag, so that a view is unmapped exactly when it was mapped
// here: a list built for non-paged memory (as every list of this driver is) already has its
// system address, which the I/O-space unmapping releases. Both return and take the view at
// its page; the caller adds the list's byte offset.
void* KernMapLockedPages(void* mdl) {
    PMDL list = static_cast<PMDL>(mdl);
    if ((list->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) != 0) {
        return static_cast<char*>(list->MappedSystemVa) - MmGetMdlByteOffset(list);
    }
    char* view = static_cast<char*>(MmMapLockedPagesSpecifyCache(
        list, KernelMode, MmNonCached, nullptr, FALSE,
        static_cast<MM_PAGE_PRIORITY>(NormalPagePriority | kMdlMappingNoExecute)));
    return view != nullptr ? view - MmGetMdlByteOffset(list) : nullptr;
}

void KernUnmapLockedPages(void* view, void* mdl) {
    PMDL list = static_cast<PMDL>(mdl);
    if ((list->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) == 0) {
        MmUnmapLockedPages(view, list);
    }
}

uint32_t KernMdlByteOffset(void* mdl) {
    return MmGetMdlByteOffset(static_cast<PMDL>(mdl));
}

void KernFreeMdl(void* mdl) {
    IoFreeMdl(static_cast<PMDL>(mdl));
}

uint8_t KernReadRegisterUchar(const volatile void* address) {
    return READ_REGISTER_UCHAR(static_cast<volatile UCHAR*>(const_cast<volatile void*>(address)));
}

void KernWriteRegisterUchar(volatile void* address, uint8_t value) {
    WRITE_REGISTER_UCHAR(static_cast<volatile UCHAR*>(address), value);
}

uint32_t KernReadRegisterUlong(const volatile void* address) {
    return READ_REGISTER_ULONG(static_cast<volatile ULONG*>(const_cast<volatile void*>(address)));
}

void KernWriteRegisterUlong(volatile void* address, uint32_t value) {
    WRITE_REGISTER_ULONG(static_cast<volatile ULONG*>(address), value);
}

void KernDebugPrint(const char* format, ...) {
    // DbgPrint's own component and level, so the lines reach the debugger exactly as a
    // DbgPrint call would send them.
    va_list args;
    va_start(args, format);
    vDbgPrintEx(DPFLTR_DEFAULT_ID, DPFLTR_INFO_LEVEL, format, args);
    va_end(args);
}

}  // extern "C"
