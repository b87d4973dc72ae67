// Tolvane: the installer tool's operations, above the device-installation boundary.
#ifndef TOLVANE_TOLVANE_H
#define TOLVANE_TOLVANE_H

#include <cstdint>

#include "setup/setup_api.h"

namespace tolvane {

// Whole program: banner, one command, its result line, the countdown; returns the exit code.
int RunTolvane(int argc, char** argv);

// Text readers. Each can also tell whether it read a digit at all: a 0 read from no digit is
// no address, while a 0 written out names 00:00.0.
uint32_t ParseHexField(const char* text, uint32_t maxChars, bool* digitRead = nullptr);
int32_t ParseLocationPfa(const char* text, bool* digitRead = nullptr);
// True when a location text is the one the system keeps for a PCI function, the only kind
// that carries a PCI location at all.
bool HasPciLocation(const char* text);

// Install and update (0 success, 2 failure).
int32_t InstallDriver(const char* hardwareId, const char* infPath);
int32_t UpdateDriver(const char* hardwareId, const char* infPath);

// Selection and state change.
bool ChangeDeviceState(SetupDevInfoSet set, const SetupDevElement* element, uint32_t state);
int32_t ChangeStateById(const char* operand);
int32_t ChangeStateByPfa(const char* operand, uint32_t state);
int32_t RestartDisks();
int32_t RescanDevices(bool synchronous);

// Removal.
enum class SelectorKind { Class, Maker, Nvme, Location, Listing };
SelectorKind DecideSelectorKind(const char* selector, const SetupGuid* classGuid);
bool RemoveDevice(SetupDevInfoSet set, const SetupDevElement* element);
int32_t RemoveDevices(const char* selector, const SetupGuid* classGuid);

// Formatted console output through the boundary.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

constexpr const char* kToolVersion = "1.0.0.0";
constexpr const char* kDefaultHardwareId = "PCI\\VEN_9999&DEV_9999";
constexpr const char* kPfaPrefix = "PCI:";
constexpr int kCountdownStart = 5;
constexpr uint32_t kCountdownTickMs = 1000;
constexpr uint32_t kPropertyBufferSize = 256;
constexpr uint32_t kInstanceIdBufferSize = 200;
constexpr int32_t kSuccess = 0;
constexpr int32_t kFailure = 2;

// GUID_DEVINTERFACE_DISK {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}.
constexpr SetupGuid kGuidDevinterfaceDisk = {
    0x53F56307u, 0xB6BFu, 0x11D0u, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

}  // namespace tolvane

#endif  // TOLVANE_TOLVANE_H
