// Reading lspci captures, walking capability lists and the write rules of real hardware.
#include "sim/pci/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/pci/description.h"

namespace sim {

namespace {

constexpr unsigned kHeaderBytes = 256;

std::string Hex(unsigned v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One line of register content: "OOO: hh hh ...", two or three offset digits and 1 to 16 bytes.
// False for any other line.
bool ParseLine(const std::string& line, unsigned* offset, std::vector<uint8_t>* bytes) {
    size_t i = 0;
    while (i < line.size() && line[i] == ' ') {
        ++i;
    }
    unsigned value = 0;
    size_t digits = 0;
    for (; i < line.size() && HexDigit(line[i]) >= 0; ++i, ++digits) {
        value = value * 16 + static_cast<unsigned>(HexDigit(line[i]));
    }
    if (digits < 2 || digits > 3 || i >= line.size() || line[i] != ':') {
        return false;
    }
    ++i;
    bytes->clear();
    while (i < line.size()) {
        if (line[i] != ' ') {
            return false;
        }
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        if (i + 1 >= line.size() || HexDigit(line[i]) < 0 || HexDigit(line[i + 1]) < 0 ||
            (i + 2 < line.size() && line[i + 2] != ' ')) {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(HexDigit(line[i]) * 16 + HexDigit(line[i + 1])));
        i += 2;
    }
    *offset = value;
    return !bytes->empty() && bytes->size() <= 16;
}

uint8_t At(const ConfigSpace& c, unsigned offset) {
    return static_cast<uint8_t>(c.Read(offset, 1));
}

}  // namespace

RegisterImage ParseRegisterImage(const std::string& text, const std::string& key) {
    RegisterImage image;
    image.bytes.assign(ConfigSpace::kSize, 0);
    std::vector<bool> given(ConfigSpace::kSize, false);
    unsigned end = 0;
    std::istringstream in(text);
    std::string line;
    std::vector<uint8_t> bytes;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        unsigned offset = 0;
        if (!ParseLine(line, &offset, &bytes)) {
            continue;
        }
        if (offset + bytes.size() > ConfigSpace::kSize) {
            throw FabricError(key + ": line \"" + line +
                              "\" lies past the 4096 bytes of a function");
        }
        for (size_t b = 0; b < bytes.size(); ++b) {
            if (given[offset + b]) {
                throw FabricError(key + ": byte " + Hex(static_cast<unsigned>(offset + b)) +
                                  " is given twice");
            }
            given[offset + b] = true;
            image.bytes[offset + b] = bytes[b];
        }
        end = std::max(end, static_cast<unsigned>(offset + bytes.size()));
    }
    unsigned header = 0;
    while (header < kHeaderBytes && given[header]) {
        ++header;
    }
    if (header < kHeaderBytes) {
        throw FabricError(key + ": holds " + std::to_string(header) +
                          " bytes of the 256-byte header, not lines \"OO: hh hh ...\" from 00 "
                          "to ff (lspci -xxx)");
    }
    image.bytes.resize(end > kHeaderBytes ? ConfigSpace::kSize : kHeaderBytes);
    return image;
}

RegisterImage ReadRegisterImage(const std::string& path, const std::string& key) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw FabricError(key + ": " + path + ": cannot be read: " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw FabricError(key + ": " + path + ": cannot be read");
    }
    RegisterImage image = ParseRegisterImage(text.str(), key + ": " + path);
    image.file = path;
    return image;
}

Capabilities FindCapabilities(const ConfigSpace& c) {
    Capabilities caps;
    // 48 entries of 4 bytes fill the space above the standard header; more is a loop.
    unsigned p = At(c, 0x34) & 0xFCu;
    for (unsigned visited = 0; p >= 0x40 && visited < 48; ++visited) {
        const uint8_t id = At(c, p);
        unsigned* slot = id == 0x01   ? &caps.pm
                         : id == 0x05 ? &caps.msi
                         : id == 0x10 ? &caps.pcie
                         : id == 0x11 ? &caps.msix
                                      : nullptr;
        if (slot != nullptr && *slot == 0) {
            *slot = p;
        }
        p = At(c, p + 1) & 0xFCu;
    }
    if (caps.pcie == 0) {
        return caps;  // the extended space is a PCI Express function's
    }
    unsigned x = 0x100;
    for (unsigned visited = 0; x >= 0x100 && x < ConfigSpace::kSize && visited < 480; ++visited) {
        const uint32_t header = c.Dword(x);
        if (header == 0 || header == 0xFFFFFFFF) {
            break;
        }
        if ((header & 0xFFFFu) == 0x0001 && caps.aer == 0) {
            caps.aer = x;
        }
        x = (header >> 20) & 0xFFCu;
    }
    return caps;
}

void LoadImage(ConfigSpace& c, const RegisterImage& image) {
    for (unsigned offset = 0; offset + 4 <= image.bytes.size(); offset += 4) {
        const uint32_t v = uint32_t{image.bytes[offset]} | uint32_t{image.bytes[offset + 1]} << 8 |
                           uint32_t{image.bytes[offset + 2]} << 16 |
                           uint32_t{image.bytes[offset + 3]} << 24;
        if (v != 0 || offset < kHeaderBytes) {
            c.Set(offset, v);
        }
    }
}

void SetBarMasks(ConfigSpace& c, unsigned reg, uint64_t size, bool wide, bool io) {
    const uint64_t sizeMask = size != 0 ? ~(size - 1) : 0;
    c.SetWriteMask(reg, static_cast<uint32_t>(sizeMask) & (io ? ~0x3u : ~0xFu));
    if (wide) {
        c.SetWriteMask(reg + 4, static_cast<uint32_t>(sizeMask >> 32));
    }
}

void DeriveMasks(ConfigSpace& c, FunctionRole role, uint64_t barSize) {
    const bool bridge = role != FunctionRole::Endpoint;
    // Command: I/O (ports only: a drive decodes no I/O), memory, bus master, parity, SERR,
    // INTx disable. Status: the error bits are write-one-to-clear.
    c.SetWriteMask(0x04, bridge ? 0x0547u : 0x0546u);
    c.SetW1cMask(0x04, 0xF900u << 16);
    c.SetWriteMask(0x0C, 0x000000FF);  // cache line size
    // BAR0 keeps its type bits and the bits its size leaves; a 64-bit BAR0 has its upper half
    // in BAR1.
    c.SetWriteMask(0x14, 0);
    SetBarMasks(c, 0x10, barSize, (c.Dword(0x10) & 0x7u) == 0x4u, false);
    if (bridge) {
        c.SetWriteMask(0x18, 0x00FFFFFF);   // primary, secondary, subordinate bus
        c.SetW1cMask(0x1C, 0xF900u << 16);  // Secondary Status
        c.SetWriteMask(0x20, 0xFFF0FFF0);   // memory base and limit
        c.SetWriteMask(0x24, 0xFFF0FFF0);   // prefetchable base and limit
        c.SetWriteMask(0x28, 0xFFFFFFFF);
        c.SetWriteMask(0x2C, 0xFFFFFFFF);
        // Interrupt line; Bridge Control: parity, SERR, ISA, VGA, VGA 16-bit, Secondary Bus
        // Reset.
        c.SetWriteMask(0x3C, 0x005F00FF);
    } else {
        c.SetWriteMask(0x3C, 0x000000FF);
    }

    const Capabilities caps = FindCapabilities(c);
    if (caps.pm != 0) {
        // Power state and PME enable; PME status is write-one-to-clear.
        c.SetWriteMask(caps.pm + 4, 0x00000103);
        c.SetW1cMask(caps.pm + 4, 0x00008000);
    }
    if (caps.msi != 0) {
        const bool wide = (c.Dword(caps.msi) & (0x80u << 16)) != 0;
        c.SetWriteMask(caps.msi, 0x00710000);  // enable and the messages enabled
        c.SetWriteMask(caps.msi + 4, 0xFFFFFFFC);
        c.SetWriteMask(caps.msi + 8, wide ? 0xFFFFFFFF : 0x0000FFFF);
        if (wide) {
            c.SetWriteMask(caps.msi + 12, 0x0000FFFF);
        }
    }
    if (caps.msix != 0) {
        c.SetWriteMask(caps.msix, 0xC0000000);  // MSI-X Enable, Function Mask
    }
    if (caps.pcie != 0) {
        const unsigned p = caps.pcie;
        // Device Control (not Initiate FLR, bit 15, which resets the function) and Device
        // Status's error bits.
        c.SetWriteMask(p + 8, 0x000079FF);
        c.SetW1cMask(p + 8, 0x000Fu << 16);
        // Link Control: an endpoint's ASPM, RCB, common clock, extended synch, clock PM and
        // width control; a port's Link Disable and bandwidth notifications besides, and a
        // downstream port's bandwidth-change status bits in Link Status.
        const uint32_t linkControl = role == FunctionRole::Endpoint       ? 0x03CBu
                                     : role == FunctionRole::UpstreamPort ? 0x0FC3u
                                                                          : 0x0FD3u;
        c.SetWriteMask(p + 0x10, linkControl);
        if (role == FunctionRole::DownstreamPort) {
            c.SetW1cMask(p + 0x10, 0xC000u << 16);
        }
        // Slot Control and Status where the capability says a slot is implemented.
        if (role == FunctionRole::DownstreamPort && (c.Dword(p) & (0x0100u << 16)) != 0) {
            c.SetWriteMask(p + 0x18, 0x000017FF);
            c.SetW1cMask(p + 0x18, 0x011Fu << 16);
        }
    }
    if (caps.aer != 0) {
        // Error status registers are write-one-to-clear; their masks and severities writable.
        c.SetW1cMask(caps.aer + 0x04, 0xFFFFFFFF);
        c.SetWriteMask(caps.aer + 0x08, 0xFFFFFFFF);
        c.SetWriteMask(caps.aer + 0x0C, 0xFFFFFFFF);
        c.SetW1cMask(caps.aer + 0x10, 0xFFFFFFFF);
        c.SetWriteMask(caps.aer + 0x14, 0xFFFFFFFF);
    }
}

}  // namespace sim
