// corvaxctl: decoding a configuration header, capability by capability.
#include "tools/corvaxctl/pci_header.h"

#include <cstdio>
#include <cstring>

namespace corvaxctl {
namespace {

uint32_t At32(const Bytes& h, unsigned offset) {
    uint32_t v = 0;
    if (h.size() >= offset + 4) {
        std::memcpy(&v, h.data() + offset, 4);
    }
    return v;
}

uint16_t At16(const Bytes& h, unsigned offset) {
    return static_cast<uint16_t>(h.size() >= offset + 2 ? h[offset] | h[offset + 1] << 8 : 0);
}

std::string Flag(const char* name, bool on) {
    return std::string(name) + (on ? "+" : "-");
}

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::vector<BarInfo> DecodeBars(const Bytes& header) {
    std::vector<BarInfo> bars;
    // Type 0 headers only: a bridge has two BARs and its bus numbers behind them.
    if (header.size() < 0x40 || (header[0x0E] & 0x7F) != 0) {
        return bars;
    }
    for (unsigned i = 0; i < 6; ++i) {
        const uint32_t low = At32(header, 0x10 + 4 * i);
        BarInfo b;
        b.index = i;
        b.io = (low & 1) != 0;
        if (b.io) {
            b.address = low & ~3u;
        } else {
            b.is64 = ((low >> 1) & 3) == 2;
            b.prefetchable = (low & 8) != 0;
            b.address = low & ~0xFu;
            if (b.is64 && i < 5) {
                b.address |= static_cast<uint64_t>(At32(header, 0x14 + 4 * i)) << 32;
            }
        }
        if (low != 0 || i == 0) {
            bars.push_back(b);
        }
        if (b.is64) {
            ++i;
        }
    }
    return bars;
}

std::optional<PowerManagement> DecodePowerManagement(const Bytes& header) {
    const unsigned at = FindCapability(header, kCapPowerManagement);
    if (at == 0) {
        return std::nullopt;
    }
    PowerManagement p;
    p.offset = at;
    p.version = At16(header, at + 2) & 7;
    const uint16_t control = At16(header, at + 4);
    p.state = control & 3;
    p.noSoftReset = (control & 0x8) != 0;
    return p;
}

std::string SpeedText(unsigned code) {
    static const char* const kSpeeds[] = {"2.5 GT/s", "5 GT/s",  "8 GT/s",
                                          "16 GT/s",  "32 GT/s", "64 GT/s"};
    if (code >= 1 && code <= 6) {
        return kSpeeds[code - 1];
    }
    return "speed " + std::to_string(code);
}

std::string LinkText(unsigned speed, unsigned width) {
    return SpeedText(speed) + " x" + std::to_string(width);
}

std::optional<unsigned> SpeedCode(const std::string& text) {
    static const char* const kWritten[] = {"2.5", "5", "8", "16", "32", "64"};
    for (unsigned i = 0; i < 6; ++i) {
        if (text == kWritten[i] || text == std::string(kWritten[i]) + "GT/s") {
            return i + 1;
        }
    }
    return std::nullopt;
}

std::string DeviceErrors::Text() const {
    std::string text;
    auto add = [&text](bool on, const char* name) {
        if (on) {
            text += (text.empty() ? "" : ", ") + std::string(name);
        }
    };
    add(correctable, "correctable error");
    add(nonFatal, "non-fatal error");
    add(fatal, "fatal error");
    add(unsupportedRequest, "unsupported request");
    return text;
}

std::optional<PciExpress> DecodePciExpress(const Bytes& header) {
    const unsigned at = FindCapability(header, kCapPciExpress);
    // The capability needs 0x14 bytes up to Link Status, 0x1C with the slot registers.
    if (at == 0 || at + 0x14 > header.size()) {
        return std::nullopt;
    }
    PciExpress e;
    e.offset = at;
    const uint16_t caps = At16(header, at + 2);
    e.version = caps & 0xF;
    e.portType = (caps >> 4) & 0xF;
    e.slotImplemented = (caps & 0x100) != 0;

    const uint32_t devCap = At32(header, at + 4);
    e.maxPayloadSupported = 128u << (devCap & 7);
    const uint16_t devCtl = At16(header, at + 8);
    e.relaxedOrdering = (devCtl & 0x10) != 0;
    e.maxPayload = 128u << ((devCtl >> 5) & 7);
    e.noSnoop = (devCtl & 0x800) != 0;
    e.maxReadRequest = 128u << ((devCtl >> 12) & 7);
    const uint16_t devSta = At16(header, at + 0xA);
    e.errors.correctable = (devSta & 1) != 0;
    e.errors.nonFatal = (devSta & 2) != 0;
    e.errors.fatal = (devSta & 4) != 0;
    e.errors.unsupportedRequest = (devSta & 8) != 0;
    e.transactionsPending = (devSta & 0x20) != 0;

    const uint32_t linkCap = At32(header, at + 0xC);
    e.maxSpeed = linkCap & 0xF;
    e.maxWidth = (linkCap >> 4) & 0x3F;
    e.portNumber = linkCap >> 24;
    const uint16_t linkCtl = At16(header, at + 0x10);
    e.aspmControl = linkCtl & 3;
    e.linkDisable = (linkCtl & 0x10) != 0;
    e.commonClock = (linkCtl & 0x40) != 0;
    e.clockPowerManagement = (linkCtl & 0x100) != 0;
    const uint16_t linkSta = At16(header, at + 0x12);
    e.speed = linkSta & 0xF;
    e.width = (linkSta >> 4) & 0x3F;
    e.linkTraining = (linkSta & 0x800) != 0;
    e.slotClock = (linkSta & 0x1000) != 0;
    e.linkActive = (linkSta & 0x2000) != 0;

    if (e.slotImplemented && at + 0x1C <= header.size()) {
        e.slotControl = At16(header, at + 0x18);
        e.slotStatus = At16(header, at + 0x1A);
    }
    return e;
}

std::string PortTypeName(unsigned type) {
    switch (type) {
        case 0:
            return "Endpoint";
        case 1:
            return "Legacy Endpoint";
        case 4:
            return "Root Port";
        case 5:
            return "Upstream Port";
        case 6:
            return "Downstream Port";
        case 7:
            return "PCI-Express to PCI Bridge";
        case 9:
            return "Root Complex Integrated Endpoint";
        default:
            return "type " + std::to_string(type);
    }
}

std::optional<Msix> DecodeMsix(const Bytes& header) {
    const unsigned at = FindCapability(header, kCapMsix);
    if (at == 0 || at + 12 > header.size()) {
        return std::nullopt;
    }
    Msix m;
    m.offset = at;
    const uint16_t control = At16(header, at + 2);
    m.vectors = (control & 0x7FFu) + 1;
    m.functionMasked = (control & 0x4000) != 0;
    m.enabled = (control & 0x8000) != 0;
    const uint32_t table = At32(header, at + 4);
    m.tableBar = table & 7;
    m.tableOffset = table & ~7u;
    const uint32_t pba = At32(header, at + 8);
    m.pbaBar = pba & 7;
    m.pbaOffset = pba & ~7u;
    return m;
}

namespace {

std::string CapabilityName(uint8_t id) {
    switch (id) {
        case 0x05:
            return "MSI";
        case 0x09:
            return "Vendor Specific";
        case 0x0D:
            return "Subsystem";
        default:
            return "capability " + Hex(id);
    }
}

std::string CapabilityHead(unsigned offset, const std::string& what) {
    char head[16];
    std::snprintf(head, sizeof(head), "[%02x] ", offset);
    return "  " + std::string(head) + what;
}

void DescribePowerManagement(const PowerManagement& p, std::vector<std::string>& lines) {
    static const char* const kStates[] = {"D0", "D1", "D2", "D3hot"};
    lines.push_back(
        CapabilityHead(p.offset, "Power Management version " + std::to_string(p.version) + ": " +
                                     kStates[p.state] + " " + Flag("NoSoftRst", p.noSoftReset)));
}

void DescribePciExpress(const PciExpress& e, std::vector<std::string>& lines) {
    static const char* const kAspm[] = {"ASPM Disabled", "ASPM L0s", "ASPM L1", "ASPM L0s L1"};
    const std::string pad = "       ";
    lines.push_back(CapabilityHead(e.offset, "Express (v" + std::to_string(e.version) + ") " +
                                                 PortTypeName(e.portType) +
                                                 (e.slotImplemented ? " (Slot+)" : "")));
    lines.push_back(pad + "DevCap: MaxPayload " + std::to_string(e.maxPayloadSupported) + " bytes");
    lines.push_back(pad + "DevCtl: MaxPayload " + std::to_string(e.maxPayload) +
                    " bytes, MaxReadReq " + std::to_string(e.maxReadRequest) + " bytes, " +
                    Flag("RlxdOrd", e.relaxedOrdering) + " " + Flag("NoSnoop", e.noSnoop));
    lines.push_back(pad + "DevSta: " + Flag("CorrErr", e.errors.correctable) + " " +
                    Flag("NonFatalErr", e.errors.nonFatal) + " " +
                    Flag("FatalErr", e.errors.fatal) + " " +
                    Flag("UnsupReq", e.errors.unsupportedRequest) + " " +
                    Flag("TransPend", e.transactionsPending));
    lines.push_back(pad + "LnkCap: Port #" + std::to_string(e.portNumber) + ", Speed " +
                    SpeedText(e.maxSpeed) + ", Width x" + std::to_string(e.maxWidth));
    lines.push_back(pad + "LnkCtl: " + kAspm[e.aspmControl] + "; " +
                    Flag("LnkDisable", e.linkDisable) + " " + Flag("CommClk", e.commonClock) + " " +
                    Flag("ClockPM", e.clockPowerManagement));
    const bool slower = e.speed < e.maxSpeed, narrower = e.width < e.maxWidth;
    lines.push_back(pad + "LnkSta: Speed " + SpeedText(e.speed) + (slower ? " (downgraded)" : "") +
                    ", Width x" + std::to_string(e.width) + (narrower ? " (downgraded)" : "") +
                    ", " + Flag("Train", e.linkTraining) + " " + Flag("SlotClk", e.slotClock) +
                    " " + Flag("DLActive", e.linkActive));
    if (e.slotImplemented) {
        static const char* const kIndicator[] = {"?", "On", "Blink", "Off"};
        const unsigned c = e.slotControl, s = e.slotStatus;
        lines.push_back(pad + "SltCtl: AttnInd " + kIndicator[(c >> 6) & 3] + ", PwrInd " +
                        kIndicator[(c >> 8) & 3] + ", slot power " + ((c & 0x400) ? "off" : "on"));
        lines.push_back(pad + "SltSta: " + Flag("PresDet", s & 0x40) + " " +
                        Flag("CmdCplt", s & 0x10) + " " + Flag("DLLStateChanged", s & 0x100));
    }
}

void DescribeMsix(const Msix& m, std::vector<std::string>& lines) {
    lines.push_back(CapabilityHead(
        m.offset, "MSI-X: " + std::to_string(m.vectors) + " vectors, " + Flag("Enable", m.enabled) +
                      " " + Flag("Masked", m.functionMasked) + "; table at " + Hex(m.tableOffset) +
                      " in BAR" + std::to_string(m.tableBar) + ", PBA at " + Hex(m.pbaOffset) +
                      " in BAR" + std::to_string(m.pbaBar)));
}

}  // namespace

std::vector<std::string> DescribeHeader(const Bytes& header) {
    std::vector<std::string> lines;
    for (const BarInfo& b : DecodeBars(header)) {
        std::string kind = b.io ? "I/O" : b.is64 ? "64-bit memory" : "32-bit memory";
        if (b.prefetchable) {
            kind += ", prefetchable";
        }
        if (b.address == 0) {
            kind += ", unassigned";
        }
        lines.push_back("  BAR" + std::to_string(b.index) + ": " + Hex(b.address) + " (" + kind +
                        ")");
    }
    // Each capability in the list's own order, as lspci shows them; a list that loops ends
    // after the 48 entries a 256-byte header can hold.
    if (header.size() < 0x100 || !(header[0x06] & 0x10)) {
        return lines;
    }
    const std::optional<PowerManagement> pm = DecodePowerManagement(header);
    const std::optional<PciExpress> express = DecodePciExpress(header);
    const std::optional<Msix> msix = DecodeMsix(header);
    unsigned at = header[0x34] & 0xFCu;
    for (int i = 0; i < 48 && at >= 0x40 && at < 0x100; ++i) {
        if (pm && pm->offset == at) {
            DescribePowerManagement(*pm, lines);
        } else if (express && express->offset == at) {
            DescribePciExpress(*express, lines);
        } else if (msix && msix->offset == at) {
            DescribeMsix(*msix, lines);
        } else {
            lines.push_back(CapabilityHead(at, CapabilityName(header[at])));
        }
        at = header[at + 1] & 0xFCu;
    }
    return lines;
}

}  // namespace corvaxctl
