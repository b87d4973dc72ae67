/*
 * The kernel boundary: every operating-system service the Corvax driver uses.
 *
 * The portable driver core calls only these functions. Two implementations exist and one is
 * chosen at link time: kernel/windows/ over the WDK for corvax.sys, and sim/kernel/ for host
 * builds, where the same core runs against a simulated kernel and PCIe fabric.
 *
 * Plain C, fixed-width types, opaque handles. Nothing here may name a Windows type.
 */
#ifndef CORVAX_KERNEL_H
#define CORVAX_KERNEL_H

#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque objects: the driver object, the control device object and one I/O request. */
typedef struct KernDriver KernDriver;
typedef struct KernDevice KernDevice;
typedef struct KernRequest KernRequest;

/* A counted wide string with the layout of the kernel's UNICODE_STRING on x64. */
typedef struct KernUnicodeString {
    uint16_t Length;        /* bytes, without a terminator */
    uint16_t MaximumLength; /* bytes, with the terminator */
    uint32_t Reserved;      /* alignment padding of the native record */
    const char16_t* Buffer;
} KernUnicodeString;

typedef int32_t KernStatus;

#define KERN_STATUS_SUCCESS ((KernStatus)0x00000000)
#define KERN_STATUS_INVALID_PARAMETER ((KernStatus)0xC000000D)
#define KERN_STATUS_BUFFER_TOO_SMALL ((KernStatus)0xC0000023)
#define KERN_STATUS_OBJECT_NAME_COLLISION ((KernStatus)0xC0000035)
#define KERN_STATUS_INSUFFICIENT_RESOURCES ((KernStatus)0xC000009A)
#define KERN_STATUS_FAIL_CHECK ((KernStatus)0xC0000229)

/* Device object values. */
#define KERN_FILE_DEVICE_UNKNOWN 0x00000022u
#define KERN_FILE_DEVICE_SECURE_OPEN 0x00000100u
#define KERN_DO_BUFFERED_IO 0x00000004u
#define KERN_DO_DEVICE_INITIALIZING 0x00000080u

/* Descriptor-list flags that say the pages already have a system address. */
#define KERN_MDL_MAPPED_TO_SYSTEM_VA 0x0001u
#define KERN_MDL_SOURCE_IS_NONPAGED_POOL 0x0004u

/* ---- Routines the core provides and the kernel layer calls (the driver's entry points). ---- */

/* Load: runs once on the loading thread. */
KernStatus CorvaxDriverEntry(KernDriver* driver);
/* Unload: runs once when the system unloads the driver. */
void CorvaxDriverUnload(KernDriver* driver);
/* Every major function but device control. */
KernStatus CorvaxDefaultDispatch(KernDevice* device, KernRequest* request);
/* Device control (IRP_MJ_DEVICE_CONTROL). */
KernStatus CorvaxControlDispatch(KernDevice* device, KernRequest* request);

/* ---- Driver and device objects. ---- */

/* Points all 28 major-function entries at CorvaxDefaultDispatch, then device control at
 * CorvaxControlDispatch. */
void KernInstallDispatchRoutines(KernDriver* driver);
/* Installs CorvaxDriverUnload as the driver's unload routine. */
void KernInstallUnloadRoutine(KernDriver* driver);

void KernInitUnicodeString(KernUnicodeString* destination, const char16_t* source);

/* IoCreateDevice: on success *device is the new device object with a zeroed extension of
 * extensionSize bytes. */
KernStatus KernCreateDevice(KernDriver* driver, uint32_t extensionSize,
                            const KernUnicodeString* name, uint32_t deviceType,
                            uint32_t characteristics, uint8_t exclusive, KernDevice** device);
/* Gives the device a security descriptor that lets only SYSTEM and Administrators open it. */
KernStatus KernRestrictDeviceToAdministrators(KernDevice* device);
void KernDeleteDevice(KernDevice* device);
void* KernDeviceExtension(KernDevice* device);
/* The first device object of the driver (the control device), or null. */
KernDevice* KernDriverDevice(KernDriver* driver);
void KernSetDeviceFlags(KernDevice* device, uint32_t set, uint32_t clear);

KernStatus KernCreateSymbolicLink(const KernUnicodeString* link, const KernUnicodeString* target);
KernStatus KernDeleteSymbolicLink(const KernUnicodeString* link);

/* ---- Requests. ---- */

typedef struct KernControlParameters {
    uint32_t InputLength;
    uint32_t OutputLength;
    uint32_t ControlCode;
    uint32_t Reserved;
    void* SystemBuffer; /* the request's system buffer; null when the I/O manager made none */
} KernControlParameters;

/* Reads the current stack location of a device-control request. */
void KernGetControlParameters(KernRequest* request, KernControlParameters* parameters);
/* The request's memory descriptor list: whether there is one, its flags and mapped address. */
uint8_t KernRequestHasMdl(KernRequest* request);
uint16_t KernRequestMdlFlags(KernRequest* request);
void* KernRequestMdlMappedSystemVa(KernRequest* request);
/* The byte count of the request's descriptor list (MmGetMdlByteCount): a kernel-mode sender may
 * describe fewer bytes than the output length it gives. */
uint32_t KernRequestMdlByteCount(KernRequest* request);
/* MmMapLockedPagesSpecifyCache(KernelMode, MmCached, no address, no bug check,
 * NormalPagePriority | MdlMappingNoExecute) on the request's descriptor list; null on failure.
 * The I/O manager releases the view with the list. */
void* KernMapRequestMdl(KernRequest* request);
/* Stores status and information in the request and completes it with IO_NO_INCREMENT. */
void KernCompleteRequest(KernRequest* request, KernStatus status, uint64_t information);

/* ---- The driver-wide request lock (serialises control requests). ---- */

void KernRequestLockInitialize(void);
void KernRequestLockAcquire(void);
void KernRequestLockRelease(void);

/* ---- Configuration ports (mechanism #1). ---- */

/* Holds off this driver's other configuration accesses (on this processor and the others)
 * until KernConfigPortRelease, so that none of them splits an address/data pair; the system's
 * own accesses through the ports are not held off. The returned value goes back to the
 * release. */
uint64_t KernConfigPortAcquire(void);
void KernConfigPortRelease(uint64_t state);
void KernWritePortUlong(uint16_t port, uint32_t value);
uint32_t KernReadPortUlong(uint16_t port);

/* ---- The system's RAM. ---- */

/* One range of physical memory the system uses as RAM. */
typedef struct KernPhysicalRange {
    uint64_t Base;
    uint64_t Length; /* bytes */
} KernPhysicalRange;

/* Takes the system's RAM ranges (MmGetPhysicalMemoryRanges) once, at load, before anything is
 * mapped, and keeps them for the life of the driver. */
void KernTakeSystemRamRanges(void);
/* The ranges taken at load; *count of them. Null when they could not be taken: then no
 * physical address can be shown to lie outside RAM. */
const KernPhysicalRange* KernSystemRamRanges(uint32_t* count);

/* ---- Physical memory: the three objects of one mapping. ---- */

/* Finds the I/O-space mapping routine by name, once at load before the first mapping. */
void KernFindMappingRoutines(void);
/* Non-cached: MmMapIoSpaceEx(PAGE_READWRITE | PAGE_NOCACHE), never executable; only a kernel
 * older than Windows 10, which lacks it (and memory integrity), gets MmMapIoSpace(MmNonCached).
 * Null on failure. */
void* KernMapIoSpace(uint64_t physicalAddress, uint32_t size);
void KernUnmapIoSpace(void* address, uint32_t size);
/* IoAllocateMdl(address, size, not secondary, no quota, no request); null on failure. */
void* KernAllocateMdl(void* address, uint32_t size);
void KernBuildMdlForNonPagedPool(void* mdl);
/* MmMapLockedPagesSpecifyCache(KernelMode, MmNonCached, no bug check, MdlMappingNoExecute): a
 * kernel view of the described pages, never one in the calling process, returned at its page
 * (the data lies KernMdlByteOffset bytes into it); null on failure. */
void* KernMapLockedPages(void* mdl);
/* Releases a view; view is the address of the data (the view's page plus the byte offset). */
void KernUnmapLockedPages(void* view, void* mdl);
uint32_t KernMdlByteOffset(void* mdl);
void KernFreeMdl(void* mdl);

/* Device-memory accesses through a view (READ_REGISTER_* / WRITE_REGISTER_*). */
uint8_t KernReadRegisterUchar(const volatile void* address);
void KernWriteRegisterUchar(volatile void* address, uint8_t value);
uint32_t KernReadRegisterUlong(const volatile void* address);
void KernWriteRegisterUlong(volatile void* address, uint32_t value);

/* ---- Time. ---- */

/* Microseconds since the system started, from a clock that never goes back
 * (KeQueryPerformanceCounter). */
uint64_t KernTimeUs(void);
/* Lets at least that many microseconds pass on the calling thread (KeDelayExecutionThread;
 * passive or APC level only, never with a configuration-port pair held). The system's timer
 * may make the wait longer. */
void KernDelayUs(uint32_t us);

/* ---- Debug log. ---- */

/* DbgPrint: one print, formatted by the kernel's print routine (%p is 16 upper-case hex
 * digits on x64). */
void KernDebugPrint(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#ifdef __cplusplus
}
#endif

#endif /* CORVAX_KERNEL_H */
