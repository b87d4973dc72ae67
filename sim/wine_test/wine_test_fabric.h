/*
 * Test-only: the simulated machine of the Wine test build of the driver, never shipped.
 *
 * Wine runs a kernel driver inside winedevice.exe, a user process, which may not touch ports or
 * device memory. The Wine test build (corvax-wine-test.sys) therefore reaches its hardware
 * through these calls, served by corvax-wine-test-fabric.dll in the same process: the simulated
 * PCIe fabric the host builds run on, built for Windows with its C++ library and nlohmann-json.
 * The machine's clock follows the process's real time, since everything around the driver there
 * (the client's waits, Wine's own) takes real time.
 *
 * Plain C, fixed-width types.
 */
#ifndef CORVAX_WINE_TEST_FABRIC_H
#define CORVAX_WINE_TEST_FABRIC_H

#include <stdint.h>

#ifdef CORVAX_WINE_TEST_FABRIC_BUILD
#define CORVAX_WINE_TEST_FABRIC_API __declspec(dllexport)
#else
#define CORVAX_WINE_TEST_FABRIC_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Builds the machine a fabric description file describes (a Windows path, UTF-16, length in
 * characters). 0 on success; otherwise an NTSTATUS to fail the driver's load with, the reason
 * written to the debugger (OutputDebugString). */
CORVAX_WINE_TEST_FABRIC_API int32_t WineTestFabricStart(const uint16_t* descriptionPath,
                                                        uint32_t length);
/* Ends the machine, with one line to the debugger: the mappings still live, the faults. */
CORVAX_WINE_TEST_FABRIC_API void WineTestFabricStop(void);

/* Configuration mechanism #1: dword accesses to ports 0xCF8 and 0xCFC. */
CORVAX_WINE_TEST_FABRIC_API uint32_t WineTestFabricReadPort(uint16_t port);
CORVAX_WINE_TEST_FABRIC_API void WineTestFabricWritePort(uint16_t port, uint32_t value);

/* An I/O-space mapping: a reserved, inaccessible range of the process's addresses, which the
 * register accesses below translate back to the physical address; an access that bypasses them
 * faults. Null for RAM, which the machine refuses to map. */
CORVAX_WINE_TEST_FABRIC_API void* WineTestFabricMapIoSpace(uint64_t physicalAddress, uint64_t size);
CORVAX_WINE_TEST_FABRIC_API void WineTestFabricUnmapIoSpace(void* address, uint64_t size);
/* Accesses of 1, 2 or 4 bytes through a live mapping. */
CORVAX_WINE_TEST_FABRIC_API uint32_t WineTestFabricReadRegister(const volatile void* address,
                                                                uint32_t size);
CORVAX_WINE_TEST_FABRIC_API void WineTestFabricWriteRegister(volatile void* address, uint32_t size,
                                                             uint32_t value);

/* The machine's RAM ranges: up to capacity of them into bases and lengths; the number there
 * are. */
CORVAX_WINE_TEST_FABRIC_API uint32_t WineTestFabricRam(uint64_t* bases, uint64_t* lengths,
                                                       uint32_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* CORVAX_WINE_TEST_FABRIC_H */
