// What a simulated machine holds: host bridge, PLX switches with their slots, on-board drives
// and any other functions. Built in C++ (FabricBuilder) or read from JSON; both paths end in
// ValidateFabric so that a bad description fails the same way with the key named.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/pci/image.h"

namespace sim {

// Raised for a description that cannot be built; the message names the offending key in the
// JSON path form ("switches[0].ports[2].drive.bar0_size: ...") so a person can find it.
class FabricError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

enum class SwitchModel : uint16_t { Plx8618 = 0x8618, Plx8732 = 0x8732, Plx8748 = 0x8748 };

constexpr uint16_t kPlxVendor = 0x10B5;

// Slot count and link map (slot index -> device number of the downstream port on the
// switch's internal bus).
unsigned SlotCount(SwitchModel model);
const std::vector<uint8_t>& LinkMap(SwitchModel model);
std::optional<SwitchModel> ModelFromName(const std::string& name);
std::string ModelName(SwitchModel model);

// Max_Payload_Size encoding of a size in bytes (128 -> 0 ... 4096 -> 5); nullopt otherwise.
std::optional<unsigned> PayloadCode(unsigned bytes);

// The most a link may train to, as Link Capabilities encode it: speed 1 = 2.5 GT/s, 2 = 5 GT/s,
// 3 = 8 GT/s, 4 = 16 GT/s, 5 = 32 GT/s, 6 = 64 GT/s; width in lanes (1, 2, 4, 8, 12, 16, 32).
struct LinkLimit {
    unsigned speed = 0;
    unsigned width = 0;
};
bool ValidLinkSpeed(unsigned speed);
bool ValidLinkWidth(unsigned width);

// A BAR of a drive besides BAR0 (BAR1 to BAR5).
struct BarDescription {
    unsigned index = 1;      // 1 to 5; a 64-bit BAR takes index + 1 for its upper half
    uint64_t size = 0x1000;  // a power of two: memory 0x1000 to 1 TiB, I/O 4 to 256
    uint64_t address = 0;    // as the firmware left it; 0 = not programmed
    bool wide = false;       // a 64-bit memory BAR
    bool prefetchable = false;
    bool io = false;
};

// A range of memory a drive decodes (or would, with memory decoding on), as its description
// places it; reg is the BAR's configuration offset (0x30 for the expansion ROM).
struct MemoryRange {
    unsigned reg = 0;
    uint64_t base = 0;
    uint64_t size = 0;
    bool prefetchable = false;
};

struct DriveDescription {
    uint16_t vendor = 0x1F0A;
    uint16_t device = 0x0001;
    uint64_t bar0 = 0;  // as the firmware left it; 0 = not programmed
    uint64_t bar0Size = 0x4000;
    bool bar0Wide = true;  // a 64-bit memory BAR (BAR1 is its upper half); else 32-bit
    std::vector<BarDescription> bars;
    uint64_t romSize = 0;       // expansion ROM: 0 = none; else a power of two, 2 KiB to 16 MiB
    uint32_t romAddress = 0;    // as the firmware left it (decoding off); 0 = not programmed
    unsigned maxPayload = 128;  // bytes, as the firmware left Device Control
    std::optional<uint32_t> msixTable;  // Table Offset/BIR dword; none = no MSI-X capability
    unsigned msixVectors = 32;
    uint16_t linkControl = 0x0140;  // firmware's Link Control: common clock and clock PM on
    // After its link trains, how long the drive takes before it answers configuration
    // requests (its firmware starting up); it reads all-ones until then.
    unsigned readyMs = 0;
    // What its Link Capabilities advertise instead of the image's or the model's (8 GT/s x4).
    std::optional<unsigned> linkSpeed;
    std::optional<unsigned> linkWidth;
    // A real drive's registers to start from. The fields above then hold what the image says
    // unless the description gave them (FromImage); msixTable and msixVectors always come
    // from the image.
    std::shared_ptr<const RegisterImage> image;

    // A drive as its image shows it: identifiers, BAR0, payload size, Link Control and its
    // MSI-X capability (offset, table place and size).
    static DriveDescription FromImage(std::shared_ptr<const RegisterImage> image);
    static DriveDescription Make(uint16_t vendorId, uint16_t deviceId) {
        DriveDescription d;
        d.vendor = vendorId;
        d.device = deviceId;
        return d;
    }
    DriveDescription& WithBar0(uint64_t address, uint64_t size = 0x4000) {
        bar0 = address;
        bar0Size = size;
        return *this;
    }
    DriveDescription& WithMaxPayload(unsigned bytes) {
        maxPayload = bytes;
        return *this;
    }
    DriveDescription& WithMsix(uint32_t tableOffsetBir, unsigned vectors = 32) {
        msixTable = tableOffsetBir;
        msixVectors = vectors;
        return *this;
    }
    DriveDescription& WithLinkControl(uint16_t value) {
        linkControl = value;
        return *this;
    }
    DriveDescription& WithReadyMs(unsigned ms) {
        readyMs = ms;
        return *this;
    }
    DriveDescription& With32BitBar0() {
        bar0Wide = false;
        return *this;
    }
    DriveDescription& WithBar(const BarDescription& bar) {
        bars.push_back(bar);
        return *this;
    }
    DriveDescription& WithRom(uint64_t size, uint32_t address = 0) {
        romSize = size;
        romAddress = address;
        return *this;
    }
};

// The memory a drive's description places: BAR0, the other memory BARs and the expansion ROM,
// those with an address only.
std::vector<MemoryRange> DriveMemoryRanges(const DriveDescription& drive);

// A bridge's memory or prefetchable window: the addresses it forwards downstream, both ends
// included, on 1 MiB boundaries. Closed when base is above limit.
struct Window {
    uint64_t base = 0xFFF00000;
    uint64_t limit = 0;
    bool Open() const { return base <= limit; }
    bool Covers(uint64_t start, uint64_t size) const {
        return Open() && size != 0 && start >= base && start <= limit && size - 1 <= limit - start;
    }
};

struct BridgeWindows {
    Window memory;        // below 4 GiB, for non-prefetchable memory
    Window prefetchable;  // 64-bit
};

struct SwitchDescription;

struct PortDescription {
    unsigned index = 0;  // slot index; the model's link map gives the device number
    uint8_t bus = 0;     // the port's secondary bus, where the drive behind it answers
    std::optional<DriveDescription> drive;
    // A switch in the slot instead of a drive: its upstream port on the port's secondary bus,
    // its own ports and drives on buses above that.
    std::shared_ptr<const SwitchDescription> lowerSwitch;
    // Slot Control at load; none: the image's, or 0x01C0 without one (power on, power
    // indicator on, attention indicator off).
    std::optional<uint16_t> slotControl;
    // How long the link takes to train once it may; none: the switch's own time.
    std::optional<unsigned> linkTrainMs;
    // What the port's Link Capabilities advertise instead of the image's or the model's.
    std::optional<unsigned> linkSpeed;
    std::optional<unsigned> linkWidth;
    // A real port's registers to start from (the switch's port image when none).
    std::shared_ptr<const RegisterImage> image;
    // The windows as firmware left them; none: covering the drive behind, as firmware does.
    std::optional<Window> memoryWindow;
    std::optional<Window> prefetchableWindow;
};

struct SwitchDescription {
    SwitchModel model = SwitchModel::Plx8748;
    uint8_t bus = 0;          // upstream port, device 0 function 0
    uint8_t internalBus = 0;  // where the downstream ports sit
    uint32_t bar0 = 0;
    unsigned maxPayload = 128;
    // How long a downstream port's link takes to train once Link Disable clears, slot power
    // returns or a drive is inserted; a port may give its own.
    unsigned linkTrainMs = 0;
    std::vector<PortDescription> ports;
    // Real registers to start from: the upstream port's, and every downstream port's. The
    // model gives the identifiers, the keys the bus numbers, BAR0 and the payload size.
    std::shared_ptr<const RegisterImage> image;
    std::shared_ptr<const RegisterImage> portImage;
    // The upstream port's windows; none: covering every port's, as firmware does.
    std::optional<Window> memoryWindow;
    std::optional<Window> prefetchableWindow;
};

// The highest bus number a switch and everything in its slots use.
uint8_t HighestBus(const SwitchDescription& sw);

// Size of a switch's upstream BAR0 (its register space).
uint64_t SwitchBarSize(SwitchModel model);

// The windows a switch's ports have when the machine is built: as the description gives them,
// else the smallest that cover what sits behind each port (1 MiB boundaries; non-prefetchable
// memory below 4 GiB in the memory window, the rest in the prefetchable one), and for the
// upstream port the smallest that cover all of its ports'.
struct SwitchWindows {
    BridgeWindows upstream;
    std::vector<BridgeWindows> ports;  // in the order of SwitchDescription::ports
};
SwitchWindows EffectiveWindows(const SwitchDescription& sw);
// The smallest windows that cover ranges, as firmware programs a bridge.
BridgeWindows CoveringWindows(const std::vector<MemoryRange>& ranges);

struct OnboardDescription {
    uint8_t bus = 0;
    DriveDescription drive;
};

struct FunctionDescription {
    uint16_t pfa = 0;
    std::map<unsigned, uint32_t> dwords;  // offset -> value, over the image; read-only
    std::shared_ptr<const RegisterImage> image;
};

struct HostBridgeDescription {
    uint16_t vendor = 0x8086;
    uint16_t device = 0x3E0F;
    uint64_t ecam = 0xE0000001;  // configuration dwords 0x60 (low half) and 0x64 (high half)
    // Where the window really decodes; 0 = no window. By default, on an Intel bridge whose
    // register is enabled with a length it defines, where that register puts it; nowhere on
    // any other (there dword 0x60 means something else).
    std::optional<uint64_t> ecamWindow;
    // Real registers to start from; the fields above hold the image's unless given.
    std::shared_ptr<const RegisterImage> image;
    // Configuration Request Retry Status Software Visibility, enabled at the root port above
    // the switches: a function still starting answers a read of its vendor ID with 0x0001
    // (dword 0xFFFF0001) instead of all-ones.
    bool crsVisibility = false;

    static HostBridgeDescription Intel(uint16_t deviceId, uint64_t windowRegister,
                                       std::optional<uint64_t> window = std::nullopt) {
        HostBridgeDescription hb;
        hb.vendor = 0x8086;
        hb.device = deviceId;
        hb.ecam = windowRegister;
        hb.ecamWindow = window;
        return hb;
    }
};

// Where an Intel host bridge's window register makes the window decode, and how far: size 0
// when it is disabled or its length field is one no part defines. The base keeps only the
// bits above the length, as the hardware does.
struct WindowDecode {
    uint64_t base = 0;
    uint64_t size = 0;
};
WindowDecode DecodeWindowRegister(uint64_t windowRegister);
// The window of a host bridge as its description gives it (explicitly, or by default).
WindowDecode EffectiveWindow(const HostBridgeDescription& hb);

// A range of the machine's RAM: the system's own memory, where no device may decode and where
// nothing of this system may be mapped.
struct RamRange {
    uint64_t base = 0;
    uint64_t size = 0;
};

// Where the Windows this machine runs keeps what it cannot run without: the PCI location (PFA)
// of the disk controller of the Windows directory and of each page file. Not hardware: what
// the machine's own Windows would answer a tool that asks.
struct WindowsDisksDescription {
    std::optional<uint16_t> system;
    std::vector<uint16_t> pageFiles;
};

struct FabricDescription {
    HostBridgeDescription hostBridge;
    std::vector<SwitchDescription> switches;
    std::vector<OnboardDescription> onboard;
    std::vector<FunctionDescription> functions;
    // By default the first 2 GiB.
    std::vector<RamRange> ram = {{0, 0x80000000ull}};
    // None: the machine does not say (a tool finds nothing).
    std::optional<WindowsDisksDescription> windows = std::nullopt;
};

// The longest link training and drive start-up a description may give.
constexpr unsigned kMaxTimingMs = 60000;

// Throws FabricError naming the key of the first problem found.
void ValidateFabric(const FabricDescription& fabric);
// The same checks for one drive; key prefixes the messages ("drive" when empty).
void ValidateDrive(const DriveDescription& drive, const std::string& key);

// JSON text or file to a validated description. Image files are named relative to baseDir
// (the description's folder for a file).
FabricDescription ParseFabricJson(const std::string& text, const std::string& baseDir = "");
FabricDescription LoadFabricFile(const std::string& path);
// The built-in machine (examples/fabrics/plx8748.json as it was at build time).
const char* DefaultFabricJson();

// Chained construction for tests: ports and their drives go to the last switch added.
class FabricBuilder {
  public:
    FabricBuilder& HostBridge(uint16_t vendor, uint16_t device, uint64_t ecam);
    FabricBuilder& EcamWindow(uint64_t base);
    FabricBuilder& Ram(std::vector<RamRange> ranges);
    FabricBuilder& Switch(SwitchModel model, uint8_t bus, uint8_t internalBus, uint32_t bar0 = 0,
                          unsigned maxPayload = 128);
    // Link training time of the last switch added (all its ports), or of the last port added.
    FabricBuilder& LinkTrainMs(unsigned ms);
    FabricBuilder& PortLinkTrainMs(unsigned ms);
    FabricBuilder& EmptyPort(unsigned index, uint8_t bus);
    FabricBuilder& Port(unsigned index, uint8_t bus, const DriveDescription& drive);
    FabricBuilder& Onboard(uint8_t bus, const DriveDescription& drive);
    FabricBuilder& Function(uint16_t pfa, std::map<unsigned, uint32_t> dwords);
    // Validates; throws FabricError.
    FabricDescription Build() const;

  private:
    FabricDescription fabric_;
};

}  // namespace sim
