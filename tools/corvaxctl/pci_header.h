// corvaxctl: what a configuration header says, one small decoder per capability, the way
// lspci -vv reads it: the BARs, power management, the PCI Express capability (device, link and
// slot), MSI-X. `config` prints them; the cycle's verdicts judge a drive by them. Each works on
// the 256 bytes CORVAX_READ_CONFIG returns and finds its capability by walking the list, so a
// drive that keeps its PCI Express capability at 0x60 or 0x80 reads as well as one at 0x70.
#ifndef CORVAXCTL_PCI_HEADER_H
#define CORVAXCTL_PCI_HEADER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/corvaxctl/decode.h"

namespace corvaxctl {

// Capability IDs.
constexpr uint8_t kCapPowerManagement = 0x01;
constexpr uint8_t kCapPciExpress = 0x10;
constexpr uint8_t kCapMsix = 0x11;

// ---- BARs ----

struct BarInfo {
    unsigned index = 0;  // BAR0..BAR5 (a 64-bit BAR takes two)
    bool io = false;
    bool is64 = false;
    bool prefetchable = false;
    uint64_t address = 0;  // address bits only, both halves of a 64-bit BAR
};
// The BARs of a type 0 header that are implemented as the bytes show them: a BAR that reads 0
// is left out unless it is BAR0 (a drive's BAR0 reads 0 when it has no address).
std::vector<BarInfo> DecodeBars(const Bytes& header);

// ---- power management ----

struct PowerManagement {
    unsigned offset = 0;
    unsigned version = 0;
    unsigned state = 0;  // 0-3: D0, D1, D2, D3hot
    bool noSoftReset = false;
};
std::optional<PowerManagement> DecodePowerManagement(const Bytes& header);

// ---- the PCI Express capability ----

// Link speeds as Link Capabilities and Link Status encode them: 1 = 2.5 GT/s ... 6 = 64 GT/s.
std::string SpeedText(unsigned code);  // "8 GT/s"; "speed 7" for a code this client lacks
// "8 GT/s x4".
std::string LinkText(unsigned speed, unsigned width);
// A speed given in GT/s as people write it ("2.5", "5", "8", "16") to its code; none otherwise.
std::optional<unsigned> SpeedCode(const std::string& text);

// Device Status error bits.
struct DeviceErrors {
    bool correctable = false;
    bool nonFatal = false;
    bool fatal = false;
    bool unsupportedRequest = false;
    bool Any() const { return correctable || nonFatal || fatal || unsupportedRequest; }
    // "correctable, unsupported request"; "" when none.
    std::string Text() const;
};

struct PciExpress {
    unsigned offset = 0;
    unsigned version = 0;
    unsigned portType = 0;  // 0 endpoint, 4 root port, 5 upstream, 6 downstream ...
    bool slotImplemented = false;
    // Device Capabilities, Control and Status.
    unsigned maxPayloadSupported = 0;  // bytes
    unsigned maxPayload = 0;           // bytes
    unsigned maxReadRequest = 0;       // bytes
    bool relaxedOrdering = false;
    bool noSnoop = false;
    DeviceErrors errors;
    bool transactionsPending = false;
    // Link Capabilities, Control and Status.
    unsigned maxSpeed = 0;  // code
    unsigned maxWidth = 0;
    unsigned portNumber = 0;
    unsigned aspmControl = 0;  // Link Control bits 1:0
    bool linkDisable = false;
    bool commonClock = false;
    bool clockPowerManagement = false;
    unsigned speed = 0;  // code
    unsigned width = 0;
    bool linkTraining = false;
    bool slotClock = false;
    bool linkActive = false;
    // Slot Control and Status, when a slot is implemented.
    unsigned slotControl = 0;
    unsigned slotStatus = 0;
};
std::optional<PciExpress> DecodePciExpress(const Bytes& header);
std::string PortTypeName(unsigned type);  // "Endpoint", "Downstream Port", ...

// ---- MSI-X ----

struct Msix {
    unsigned offset = 0;
    unsigned vectors = 0;  // Message Control bits 10:0, plus one
    bool enabled = false;
    bool functionMasked = false;
    unsigned tableBar = 0;
    uint32_t tableOffset = 0;
    unsigned pbaBar = 0;
    uint32_t pbaOffset = 0;
};
std::optional<Msix> DecodeMsix(const Bytes& header);

// ---- all of it ----

// The lines `config` prints between its first line and the bytes, as lspci -vv words them,
// indented by two blanks: BARs, then each capability found in the list's order.
std::vector<std::string> DescribeHeader(const Bytes& header);

}  // namespace corvaxctl

#endif  // CORVAXCTL_PCI_HEADER_H
