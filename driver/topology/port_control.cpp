// Link control of one downstream port of a PLX switch, through the PCI Express capability of
// the port (fixed at 0x68 on these switches, so the list is not walked).
#include "driver/topology/port_control.h"

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

bool PlxDisablePortLink(const PlxBridge* bridge, uint32_t portIndex) {
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
        const uint32_t power = PciReadConfigUlong(port.powerPfa, kSlotControl);
        PciWriteConfigUlong(port.powerPfa, kSlotControl, ControlHalf(power) | kPowerControllerOff);
        const uint32_t indicator = PciReadConfigUlong(port.indicatorPfa, kSlotControl);
        PciWriteConfigUlong(port.indicatorPfa, kSlotControl,
                            ControlHalf(indicator) | kPowerIndicatorOff);
    }
    return true;
}

bool PlxEnablePortLink(const PlxBridge* bridge, uint32_t portIndex) {
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
        const uint32_t power = PciReadConfigUlong(port.powerPfa, kSlotControl);
        PciWriteConfigUlong(port.powerPfa, kSlotControl, ControlHalf(power) & ~kPowerControllerOff);
        const uint32_t indicator = PciReadConfigUlong(port.indicatorPfa, kSlotControl);
        PciWriteConfigUlong(port.indicatorPfa, kSlotControl,
                            (ControlHalf(indicator) & ~kPowerIndicatorField) | kPowerIndicatorOn);
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
