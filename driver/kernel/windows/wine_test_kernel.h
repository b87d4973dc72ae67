// Test-only: what the Wine test build of the driver (corvax-wine-test.sys, never shipped) swaps
// in wdk_kernel.cpp, which includes this after the ddk headers when CORVAX_WINE_TEST is defined.
//
// Wine loads a driver into winedevice.exe, a user process: the port instructions are privileged
// there and no device memory exists, so every port and device-memory access goes to the
// simulated machine instead (corvax-wine-test-fabric.dll). And Wine's kernel lacks a few calls
// (MmGetPhysicalMemoryRanges, ObSetSecurityObjectByPointer and MmMapIoSpaceEx are missing,
// SeExports is a function instead of data, MmBuildMdlForNonPagedPool does nothing): each is
// answered in wine_test_kernel.cpp. Every other line of the WDK layer runs as it is.
#ifndef CORVAX_WINE_TEST_KERNEL_H
#define CORVAX_WINE_TEST_KERNEL_H

extern "C" {
ULONG WineTestReadPortUlong(PULONG port);
VOID WineTestWritePortUlong(PULONG port, ULONG value);
UCHAR WineTestReadRegisterUchar(volatile UCHAR* address);
VOID WineTestWriteRegisterUchar(volatile UCHAR* address, UCHAR value);
ULONG WineTestReadRegisterUlong(volatile ULONG* address);
VOID WineTestWriteRegisterUlong(volatile ULONG* address, ULONG value);
PPHYSICAL_MEMORY_RANGE NTAPI WineTestGetPhysicalMemoryRanges(VOID);
PVOID NTAPI WineTestGetSystemRoutineAddress(PUNICODE_STRING name);
VOID NTAPI WineTestUnmapIoSpace(PVOID address, SIZE_T size);
VOID NTAPI WineTestBuildMdlForNonPagedPool(PMDL mdl);
PSE_EXPORTS WineTestSeExports(VOID);
NTSTATUS NTAPI WineTestSetSecurityObjectByPointer(PVOID object, SECURITY_INFORMATION information,
                                                  PSECURITY_DESCRIPTOR descriptor);
}

#define READ_PORT_ULONG WineTestReadPortUlong
#define WRITE_PORT_ULONG WineTestWritePortUlong
#define READ_REGISTER_UCHAR WineTestReadRegisterUchar
#define WRITE_REGISTER_UCHAR WineTestWriteRegisterUchar
#define READ_REGISTER_ULONG WineTestReadRegisterUlong
#define WRITE_REGISTER_ULONG WineTestWriteRegisterUlong
#define MmGetPhysicalMemoryRanges WineTestGetPhysicalMemoryRanges
#define MmGetSystemRoutineAddress WineTestGetSystemRoutineAddress
#define MmUnmapIoSpace WineTestUnmapIoSpace
#define MmBuildMdlForNonPagedPool WineTestBuildMdlForNonPagedPool
#define SeExports WineTestSeExports()
#define ObSetSecurityObjectByPointer WineTestSetSecurityObjectByPointer

#endif  // CORVAX_WINE_TEST_KERNEL_H
