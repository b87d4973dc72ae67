// Real register images: a function's configuration space as `lspci -xxx` or `-xxxx` printed it
// on a real machine, and the write rules real hardware gives the registers the driver and the
// operating system touch, derived from the function's own capability lists. The same rules
// serve the models' own layouts, so that a function behaves alike whether its bytes came from
// a capture or from the model.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/pci/config_space.h"

namespace sim {

// The bytes of one capture: 256 (-xxx) or up to 4096 (-xxxx).
struct RegisterImage {
    std::vector<uint8_t> bytes;
    std::string file;  // where it was read from; empty for text given directly
};

// Reads the text of a capture: lines "OOO: hh hh ..." (an offset in hexadecimal and up to 16
// bytes); every other line is not register content. Throws FabricError naming key (and the
// file) when the text holds no whole 256-byte header, when its lines leave a gap, or when two
// lines give the same bytes.
RegisterImage ParseRegisterImage(const std::string& text, const std::string& key);
// The same for a file; an unreadable file is named with the system's reason.
RegisterImage ReadRegisterImage(const std::string& path, const std::string& key);

// Where a function keeps the capabilities the models and their rules use; 0 for none.
struct Capabilities {
    unsigned pm = 0;    // power management (ID 0x01)
    unsigned msi = 0;   // MSI (ID 0x05)
    unsigned pcie = 0;  // PCI Express (ID 0x10)
    unsigned msix = 0;  // MSI-X (ID 0x11)
    unsigned aer = 0;   // advanced error reporting (extended ID 0x0001)
};

// Walks the standard list (from 0x34) and the extended one (from 0x100), bounded and ignoring
// the pointers' reserved low bits, as the system's PCI code does.
Capabilities FindCapabilities(const ConfigSpace& c);

enum class FunctionRole { Endpoint, UpstreamPort, DownstreamPort };

// Stores the image's bytes as the function's register values (masks untouched).
void LoadImage(ConfigSpace& c, const RegisterImage& image);

// Sets the write and write-one-to-clear masks of the registers the driver and the operating
// system touch, as real hardware of that role has them: Command and Status, cache line size,
// BAR0 (of barSize bytes; 0 for none), the bridge windows and bus numbers of a port, the
// interrupt line, and in the capabilities found: power management control and status, MSI and
// MSI-X control, Device Control and Status, Link Control and (on a downstream port) Status,
// Slot Control and Status where a slot is implemented, and the error status registers of AER.
// Everything else reads back as it is, whatever is written.
void DeriveMasks(ConfigSpace& c, FunctionRole role, uint64_t barSize);

// The write mask of one BAR of size bytes at offset reg: the address bits its size leaves
// (so that all-ones written reads back as the size, as software sizes a BAR), its type bits
// read-only; a 64-bit BAR's upper half in the next dword.
void SetBarMasks(ConfigSpace& c, unsigned reg, uint64_t size, bool wide, bool io);

}  // namespace sim
