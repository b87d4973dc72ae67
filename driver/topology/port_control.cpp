// Link control of one downstream port of a PLX switch, through the PCI Express capability of
// the port (fixed at 0x68 on these switches, so the list is not walked).
#include "driver/topology/port_control.h"

#include <string.h>

#include "driver/topology/pci_access.h"

namespace corvax {

const uint32_t PowerMap8618[12] = {2, 10, 12, 14, 1, 5, 7, 9, 3, 11, 13, 15};
const uint32_t IndicatorMap8618[12] = {2, 10, 12, 14, 1, 5, 7, 9, 3, 11, 13, 15};
const uint32_t PowerMap8732[4] = {8, 9, 10, 11};
const uint32_t IndicatorMap8732[4] = {8, 9, 10, 11};

namespace {

constexpr uint32_t kLinkControl = 0x78;
constexpr uint32_t kSlotControl = 0x80;
constexpr uint32_t kLinkDisable = 0x10;
constexpr uint32_t kPowerControllerOff = 0x400;
constexpr uint32_t kPowerIndicatorField = 0x300;
constexpr uint32_t kPowerIndicatorOn = 0x100;
constexpr uint32_t kPowerIndicatorOff = 0x300;

constexpr uint32_t kPlxVendor = 0x10B5;
constexpr uint32_t kHeaderTypeBridge = 1;

// Whether a port reports the completion of Slot Control commands: its PCI Express capability
// (at 0x68) says a slot is implemented, and Slot Capabilities a hot-plug capable slot without
// No Command Completed Support.
constexpr uint32_t kPcieCapabilities = 0x68;  // the capability's register in the upper half
constexpr uint32_t kSlotImplemented = 0x0100u << 16;
constexpr uint32_t kSlotCapabilities = 0x7C;
constexpr uint32_t kHotPlugCapable = 0x40;
constexpr uint32_t kNoCommandCompletedSupport = 0x40000;
constexpr uint32_t kCommandCompleted = 0x0010u << 16;  // Slot Status, write-one-to-clear
// How long a command may take before the port is taken to have lost it, and how often its
// completion is looked for meanwhile.
constexpr uint64_t kCommandTimeoutUs = 1000000;
constexpr uint32_t kCommandPollUs = 1000;
// The least time a slot stays unpowered before its power comes back.
constexpr uint64_t kPowerOffUs = 1000000;

bool ReportsCommandCompletion(uint32_t pfa) {
    if ((PciReadConfigUlong(pfa, kPcieCapabilities) & kSlotImplemented) == 0) {
        return false;
    }
    const uint32_t capabilities = PciReadConfigUlong(pfa, kSlotCapabilities);
    return capabilities != kNoAnswer && (capabilities & kHotPlugCapable) != 0 &&
           (capabilities & kNoCommandCompletedSupport) == 0;
}

// The log's entry of a port; with take, a new one when there is none (a free entry, else one
// that remembers nothing still needed, else the first). Null without a log, or when the port
// has none and take is false.
SlotCommand* FindSlotCommand(SlotCommandLog* log, uint32_t pfa, bool take) {
    if (log == nullptr || pfa == 0) {
        return nullptr;
    }
    SlotCommand* free = nullptr;
    SlotCommand* idle = nullptr;
    for (SlotCommand& entry : log->Entry) {
        if (entry.portPfa == pfa) {
            return &entry;
        }
        if (entry.portPfa == 0 && free == nullptr) {
            free = &entry;
        }
        if (!entry.fgPending && !entry.fgPowerCut && idle == nullptr) {
            idle = &entry;
        }
    }
    if (!take) {
        return nullptr;
    }
    SlotCommand* entry = free != nullptr ? free : idle != nullptr ? idle : &log->Entry[0];
    memset(entry, 0, sizeof(*entry));
    entry->portPfa = pfa;
    return entry;
}

// The functions one port operation touches. The 8748 has no slot registers of its own to
// drive, so it carries no power or indicator function.
struct PortFunctions {
    uint32_t linkPfa;
    bool hasSlotControl;
    uint32_t powerPfa;
    uint32_t indicatorPfa;
};

// Whether every function the operation would write answers as a downstream port. A board may
// configure fewer ports than the model has, and a stale or zero secondary-bus number would aim
// the writes at bus 0 or bus 255.
bool PortFunctionsAnswer(const PortFunctions& port) {
    if (!PlxPortAnswers(port.linkPfa)) {
        return false;
    }
    return !port.hasSlotControl ||
           ((port.powerPfa == port.linkPfa || PlxPortAnswers(port.powerPfa)) &&
            (port.indicatorPfa == port.linkPfa || port.indicatorPfa == port.powerPfa ||
             PlxPortAnswers(port.indicatorPfa)));
}

// Works out the port's functions; false (and nothing touched) for an unknown model or a port
// index beyond the model's ports.
bool ResolvePort(const PlxBridge* bridge, uint32_t portIndex, PortFunctions* port) {
    const SwitchModel* model = FindSwitchModel(bridge->pciID);
    if (model == nullptr || portIndex >= model->slotCount) {
        return false;
    }
    port->linkPfa = PortPfa(bridge, model->linkMap[portIndex]);
    port->hasSlotControl = false;
    port->powerPfa = 0;
    port->indicatorPfa = 0;
    if (bridge->pciID == kPlx8618Id) {
        port->hasSlotControl = true;
        port->powerPfa = PortPfa(bridge, PowerMap8618[portIndex]);
        port->indicatorPfa = PortPfa(bridge, IndicatorMap8618[portIndex]);
    } else if (bridge->pciID == kPlx8732Id) {
        port->hasSlotControl = true;
        port->powerPfa = PortPfa(bridge, PowerMap8732[portIndex]);
        port->indicatorPfa = PortPfa(bridge, IndicatorMap8732[portIndex]);
    }
    return true;
}

}  // namespace

bool PlxPortAnswers(uint32_t pfa) {
    if ((PciReadConfigUlong(pfa, 0x00) & 0xFFFFu) != kPlxVendor) {
        return false;
    }
    return ((PciReadConfigUlong(pfa, 0x0C) >> 16) & 0x7Fu) == kHeaderTypeBridge;
}

uint32_t PlxReadSlotControl(SlotCommandLog* log, uint32_t portPfa) {
    uint32_t value = PciReadConfigUlong(portPfa, kSlotControl);
    SlotCommand* entry = FindSlotCommand(log, portPfa, false);
    if (entry == nullptr || !entry->fgPending) {
        return value;
    }
    // A port that does not answer has no command running; one that does not report
    // completion takes the next command at once; and a command older than the longest a
    // command may take has completed (the system's hot-plug code may have cleared the bit).
    if (value != kNoAnswer && (value & kCommandCompleted) == 0 &&
        KernTimeUs() - entry->commandUs < kCommandTimeoutUs && ReportsCommandCompletion(portPfa)) {
        while (true) {
            KernDelayUs(kCommandPollUs);
            value = PciReadConfigUlong(portPfa, kSlotControl);
            if (value == kNoAnswer || (value & kCommandCompleted) != 0) {
                break;
            }
            if (KernTimeUs() - entry->commandUs >= kCommandTimeoutUs) {
                KernDebugPrint("Corvax2 : Slot command timeout(PFA=%04X, data=%08X)\n", portPfa,
                               value);
                break;
            }
        }
    }
    entry->fgPending = 0;
    return value;
}

void PlxWriteSlotControl(SlotCommandLog* log, uint32_t portPfa, uint32_t asRead, uint32_t control) {
    PciWriteConfigUlong(
        portPfa, kSlotControl,
        ControlHalf(control) | (asRead != kNoAnswer ? asRead & kCommandCompleted : 0));
    if (SlotCommand* entry = FindSlotCommand(log, portPfa, true)) {
        entry->fgPending = 1;
        entry->commandUs = KernTimeUs();
    }
}

bool PlxDisablePortLink(const PlxBridge* bridge, uint32_t portIndex, SlotCommandLog* log) {
    PortFunctions port;
    if (bridge == nullptr || !ResolvePort(bridge, portIndex, &port)) {
        return false;
    }
    if (!PortFunctionsAnswer(port)) {
        return true;  // no such port: nothing to cut
    }
    // The link goes first, so the drive leaves the bus before its power is cut.
    const uint32_t oldValue = PciReadConfigUlong(port.linkPfa, kLinkControl);
    const uint32_t newValue = ControlHalf(oldValue) | kLinkDisable;
    PciWriteConfigUlong(port.linkPfa, kLinkControl, newValue);
    KernDebugPrint("Corvax2 : Disable port%d PCIe link(0x%08X => 0x%08X)",
                   static_cast<int>(portIndex), oldValue, newValue);
    if (port.hasSlotControl) {
        const uint32_t power = PlxReadSlotControl(log, port.powerPfa);
        PlxWriteSlotControl(log, port.powerPfa, power, power | kPowerControllerOff);
        // The second begins now, or when the power went off before if it still is.
        SlotCommand* entry = FindSlotCommand(log, port.powerPfa, true);
        if (entry != nullptr && !entry->fgPowerCut) {
            entry->fgPowerCut = 1;
            entry->powerCutUs = KernTimeUs();
        }
        const uint32_t indicator = PlxReadSlotControl(log, port.indicatorPfa);
        PlxWriteSlotControl(log, port.indicatorPfa, indicator, indicator | kPowerIndicatorOff);
    }
    return true;
}

bool PlxEnablePortLink(const PlxBridge* bridge, uint32_t portIndex, SlotCommandLog* log) {
    PortFunctions port;
    if (bridge == nullptr || !ResolvePort(bridge, portIndex, &port)) {
        return false;
    }
    if (!PortFunctionsAnswer(port)) {
        // A port the board does not have is no link that failed. But a switch that does not
        // answer at all has lost every link: the enable fails, and nothing is written.
        if (PciReadConfigUlong(bridge->bdgPFA, 0x00) == bridge->pciID) {
            return true;
        }
        const uint32_t value = PciReadConfigUlong(port.linkPfa, kLinkControl);
        KernDebugPrint("Corvax2 : Enable port%d PCIe link fail (0x%08X => 0x%08X)",
                       static_cast<int>(portIndex), value, value);
        return false;
    }
    // Power comes back before the link is released, mirroring the disable order.
    if (port.hasSlotControl) {
        // A slot powered off and on again within a second may not have discharged: it stays
        // off for the rest of that second, however soon the enable came.
        SlotCommand* entry = FindSlotCommand(log, port.powerPfa, false);
        if (entry != nullptr && entry->fgPowerCut) {
            const uint64_t off = KernTimeUs() - entry->powerCutUs;
            if (off < kPowerOffUs) {
                const uint32_t rest = static_cast<uint32_t>(kPowerOffUs - off);
                KernDebugPrint("Corvax2 : Slot power off hold(PFA=%04X, wait=%d us)\n",
                               port.powerPfa, static_cast<int>(rest));
                KernDelayUs(rest);
            }
        }
        const uint32_t power = PlxReadSlotControl(log, port.powerPfa);
        PlxWriteSlotControl(log, port.powerPfa, power, power & ~kPowerControllerOff);
        if (entry != nullptr) {
            entry->fgPowerCut = 0;
        }
        const uint32_t indicator = PlxReadSlotControl(log, port.indicatorPfa);
        PlxWriteSlotControl(log, port.indicatorPfa, indicator,
                            (indicator & ~kPowerIndicatorField) | kPowerIndicatorOn);
    }
    const uint32_t oldValue = PciReadConfigUlong(port.linkPfa, kLinkControl);
    PciWriteConfigUlong(port.linkPfa, kLinkControl, ControlHalf(oldValue) & ~kLinkDisable);
    // One read-back, no wait: success means only that the bit let go, not that the link
    // trained; the caller's next pass is the retry.
    const uint32_t readBack = PciReadConfigUlong(port.linkPfa, kLinkControl);
    if ((readBack & kLinkDisable) != 0) {
        KernDebugPrint("Corvax2 : Enable port%d PCIe link fail (0x%08X => 0x%08X)",
                       static_cast<int>(portIndex), oldValue, readBack);
        return false;
    }
    KernDebugPrint("Corvax2 : Enable port%d PCIe link success (0x%08X => 0x%08X)",
                   static_cast<int>(portIndex), oldValue, readBack);
    return true;
}

}  // namespace corvax
