// corvaxctl: what the driver's records and the user's operands mean. Pure functions over bytes
// and text, shared by the Windows and the simulated builds.
#ifndef CORVAXCTL_DECODE_H
#define CORVAXCTL_DECODE_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/control/corvax_ioctl.h"

namespace corvaxctl {

using Bytes = std::vector<uint8_t>;

// Bad operand or command line: reported in one line, exit code 2.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// ---- operands ----

// A hexadecimal number with or without "0x", at most `max`; nullopt when it is not one.
std::optional<uint64_t> ParseHex(const std::string& text, uint64_t max);
// A decimal number, or hexadecimal with "0x"; at most `max`.
std::optional<uint64_t> ParseCount(const std::string& text, uint64_t max);
// A PCI function address as bus:device.function (hexadecimal fields, as lspci prints them) or
// as one hexadecimal number; throws UsageError.
uint16_t ParsePfa(const std::string& text);
// "bus:device.function" as lspci prints it: "05:00.0".
std::string FormatPfa(uint32_t pfa);
// VENDOR:DEVICE in hexadecimal; throws UsageError.
uint32_t ParseVendorDevice(const std::string& text);
// Bytes given as hexadecimal digit pairs in order; blanks, ':' and '-' between pairs are
// allowed. Throws UsageError.
Bytes ParseHexBytes(const std::string& text);
// A control code: a number or the name of a known code (any case).
uint32_t ParseControlCode(const std::string& text);

// ---- plain formatting ----

std::string Hex32(uint32_t value);  // "0x%08X"
std::string Hex16(uint32_t value);  // "0x%04X"
// The one hexadecimal style of the JSON output: "0x", lower case, `digits` digits ("0x0b00").
std::string JsonHex(uint64_t value, int digits);
std::string IdText(uint32_t pciId);  // "1f0a:0710" (vendor:device, lower case as lspci)
std::string LowerHex(const Bytes& bytes);
// Lines of 16 bytes as lspci -xxx prints them: "00: 0a 1f 10 07 ...".
std::vector<std::string> HexDump(const Bytes& bytes);
// The version dword as its four parts: 0x02000120 -> "2.0.1.20".
std::string VersionText(uint32_t value);

// ---- names ----

// "STATUS_SUCCESS" and the other values the driver completes with; "" for others.
std::string StatusName(uint32_t status);
// Error severity (the two top bits set): what the I/O manager treats as a failed request.
inline bool IsErrorStatus(uint32_t status) {
    return (status >> 30) == 3;
}
// "CORVAX_GET_TABLE" and so on; "" for a code this driver does not know.
std::string ControlCodeName(uint32_t code);
const char* MethodName(uint32_t code);
// "PEX 8748" for a switch identifier; "" for 0, "unknown" otherwise.
std::string SwitchModelName(uint32_t switchId);
// The slots a model has: never more than the twelve a switch record holds.
unsigned SwitchSlotCount(uint32_t switchId);
// The switch's link map: the device number of the downstream port of each slot on the
// switch's internal bus, and back. None for a model without one or a slot or port it lacks.
std::optional<unsigned> PortDeviceOfSlot(uint32_t switchId, unsigned slot);
std::optional<unsigned> SlotOfPortDevice(uint32_t switchId, unsigned device);

// The driver's default accepted-vendor list, as the build of this client gives it (its first
// entry is the controller maker's vendor ID, a build setting), without the terminating 0.
std::vector<uint32_t> DefaultVendorList();

// ---- records ----

// The entries of a CORVAX_GET_TABLE answer, up to the first all-zero one.
std::vector<PciTableEntry> DecodeTable(const Bytes& output);
// Words for the fgStatus bits of a table entry: "new", "no-memory", "unlisted-vendor", and
// "0x........" for bits this client does not know.
std::vector<std::string> EntryFlagWords(uint32_t fgStatus);
// The three records of a PLX_QUERY_PCI answer (fewer when the answer is short).
std::vector<BridgeApInfo> DecodeBridges(const Bytes& output);
bool BridgeInUse(const BridgeApInfo& bridge);
// Ports whose bit is set in a bitmap word, in ascending order.
std::vector<unsigned> BitmapSlots(uint32_t bitmap);

// What a configuration header says about the function.
struct ConfigSummary {
    uint16_t vendor = 0;
    uint16_t device = 0;
    uint32_t classCode = 0;  // class << 16 | subclass << 8 | programming interface
    uint8_t revision = 0;
    uint8_t headerType = 0;
    uint64_t bar0 = 0;  // address bits only; 64-bit when the BAR says so
    bool bar0Io = false;
    bool bar064 = false;
    bool bar0Prefetchable = false;
    // The MSI-X capability, when the header's capability list holds one.
    std::optional<unsigned> msixVectors;  // Message Control bits 10:0, plus one
    uint32_t msixTable = 0;               // Table Offset/BIR: offset bits 31:3, BAR bits 2:0
};
ConfigSummary DecodeConfig(const Bytes& header);
// The offset of a capability in a configuration header, walking its list; 0 when absent.
unsigned FindCapability(const Bytes& header, uint8_t id);

// ---- the hotswap comparison ----

enum class Change {
    None,
    New,
    Replaced,
    ReplacedRestored,
    Lost,
    Restored,
    MemoryLost,          // the same drive came back without its memory address and kept it so
    MemoryLostUnlisted,  // the same, of a vendor missing from the accepted list
};
// "", "new", "replaced", "replaced,restored", "lost", "restored", "memory-lost",
// "memory-lost,unlisted-vendor"
const char* ChangeName(Change change);

struct DriveChange {
    PciTableEntry entry;  // as the driver now reports it (as it was, for a lost drive)
    Change change = Change::None;
};

// Compares the drive table taken before the links were cut with the two taken after: `settled`
// after the rescan and restore (BARs as the drives came back) and `after` after a last rescan
// (BARs as the restore left them). Drives are matched by PFA: a slot's drive always answers at
// the same address. Drives of `after` first, in its order, then the lost ones.
std::vector<DriveChange> CompareTables(const std::vector<PciTableEntry>& before,
                                       const std::vector<PciTableEntry>& settled,
                                       const std::vector<PciTableEntry>& after);

}  // namespace corvaxctl

#endif  // CORVAXCTL_DECODE_H
