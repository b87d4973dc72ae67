// Requests that change the topology or the hardware: update, rescan and restore, cutting and
// restoring every switch port, slot LEDs and the drives' clock power management bit. The work
// itself lives with the topology code; these handlers choose the records, the ports, their
// order and the values, and turn the results into a status.
#include "driver/control/dispatch.h"
#include "driver/topology/pci_access.h"
#include "driver/topology/plx8748.h"
#include "driver/topology/port_control.h"
#include "driver/topology/topology.h"

namespace corvax {

namespace {

constexpr uint32_t kEnablePasses = 6;
constexpr uint32_t kLedField = 0xC0;
constexpr uint32_t kLedShift = 6;
// A drive's Link Control lies 0x10 into its own PCI Express capability, wherever the drive
// keeps that (0x40, 0x60, 0x70 and 0x80 on real drives); 0x100 is Enable Clock Power
// Management.
constexpr uint32_t kLinkControlInCapability = 0x10;
constexpr uint32_t kClockPowerManagement = 0x100;

// Ports visited per switch: an unknown identifier gets the largest count, and the per-port
// operations themselves refuse what the model does not have.
uint32_t PortCount(const PlxBridge& bridge) {
    if (bridge.pciID == kPlx8748Id) {
        return 8;
    }
    if (bridge.pciID == kPlx8732Id) {
        return 4;
    }
    return 12;
}

// Slots that exist on the record's model; the rest of the twelve are zero fillers.
uint32_t SlotCount(const PlxBridge& bridge) {
    const SwitchModel* model = FindSwitchModel(bridge.pciID);
    return model != nullptr ? model->slotCount : 0;
}

// One pass over every port of every switch; false when any port or secondary path stayed
// shut.
bool EnablePass(DeviceExtension* extension) {
    bool ok = true;
    for (const PlxBridge& bridge : extension->Bridge) {
        if (bridge.bdgPFA == 0) {
            continue;
        }
        // Every port in every pass, also those that came up before: a pass is one attempt at
        // the whole fabric.
        for (uint32_t p = PortCount(bridge); p-- > 0;) {
            if (!PlxEnablePortLink(&bridge, p, &extension->SlotCommands)) {
                ok = false;
            }
        }
        if (bridge.pciID == kPlx8748Id) {
            KernDebugPrint("Corvax2 : pPlxBridge->pciID=0x%08X\n", bridge.pciID);
            if (!Plx8748EnableBridge(&bridge)) {
                ok = false;
            }
        }
    }
    return ok;
}

}  // namespace

void HandleUpdate(ControlRequest& r) {
    UpdateTopology(r.extension);
}

void HandleRescan(ControlRequest& r) {
    // Status and information stay as the frame set them.
    RescanTopology(r.extension);
}

void HandleRescanRestore(ControlRequest& r) {
    // Neither family's code has a buffer to fill, so the direct one's pages are never mapped.
    RescanTopology(r.extension);
    RestoreDrives(r.extension);
}

void HandleDisableBridge(ControlRequest& r) {
    KernDebugPrint("Corvax2 : CORVAX_DISABLE_BRIDGE/PLX_DISABLE\n");
    for (const PlxBridge& bridge : r.extension->Bridge) {
        if (bridge.bdgPFA == 0) {
            continue;
        }
        for (uint32_t p = PortCount(bridge); p-- > 0;) {
            PlxDisablePortLink(&bridge, p, &r.extension->SlotCommands);
        }
        // The 8748's secondary path closes only after all of its ports are down.
        if (bridge.pciID == kPlx8748Id) {
            Plx8748DisableBridge(&bridge);
        }
    }
}

void HandleEnableBridge(ControlRequest& r) {
    KernDebugPrint("Corvax2 : CORVAX_ENABLE_BRIDGE/PLX_ENABLE\n");
    // No wait between passes: a port that did not let go is simply asked again.
    bool ok = false;
    for (uint32_t pass = 0; pass < kEnablePasses && !ok; ++pass) {
        ok = EnablePass(r.extension);
    }
    if (!ok) {
        r.status = KERN_STATUS_FAIL_CHECK;
    }
}

void HandleSetLed(ControlRequest& r) {
    uint32_t pfa = 0;
    uint32_t ledType = 0;
    if (!ReadInputUlong(r, 0, &pfa) || !ReadInputUlong(r, 1, &ledType)) {
        r.status = KERN_STATUS_INVALID_PARAMETER;
        return;
    }
    KernDebugPrint("Corvax2 : CORVAX_SET_LED/PLX_SET_LED(ledType = %d) \n",
                   static_cast<int>(ledType));
    for (const PlxBridge& bridge : r.extension->Bridge) {
        if (bridge.bdgPFA == 0) {
            continue;
        }
        // Only slots the model has: the zero-filled ones above its count carry PFA 0 and
        // device 0, and matching them would write the Slot Control of a function that serves
        // no slot.
        const uint32_t slots = SlotCount(bridge);
        for (uint32_t i = 0; i < slots; ++i) {
            const DriveSlot& slot = bridge.OriginalSlot[i];
            if (slot.pciPFA != pfa) {
                continue;
            }
            const uint32_t port = PortPfa(&bridge, slot.bdgDeviceId);
            if (!PlxPortAnswers(port)) {
                continue;
            }
            const uint32_t asRead = PlxReadSlotControl(&r.extension->SlotCommands, port);
            const uint32_t value =
                (ControlHalf(asRead) & ~kLedField) | ((ledType << kLedShift) & kLedField);
            PlxWriteSlotControl(&r.extension->SlotCommands, port, asRead, value);
            KernDebugPrint("Corvax2 : LED SET(PFA=%04X, data=%08X\n", port, value);
        }
    }
}

void HandleSetLedAll(ControlRequest& r) {
    for (const PlxBridge& bridge : r.extension->Bridge) {
        const uint32_t* map = nullptr;
        uint32_t entries = 0;
        if (bridge.pciID == kPlx8618Id) {
            map = IndicatorMap8618;
            entries = 12;
        } else if (bridge.pciID == kPlx8732Id) {
            map = IndicatorMap8732;
            entries = 4;
        }
        for (uint32_t i = 0; i < entries; ++i) {
            const uint32_t port = PortPfa(&bridge, map[i]);
            if (!PlxPortAnswers(port)) {
                continue;
            }
            const uint32_t asRead = PlxReadSlotControl(&r.extension->SlotCommands, port);
            PlxWriteSlotControl(&r.extension->SlotCommands, port, asRead, asRead | kLedField);
        }
    }
}

void HandleClearCpm(ControlRequest& r) {
    KernDebugPrint("Corvax2 : CORVAX_CLR_CPM\n");
    for (uint32_t b = 0; b < kBridgeRecords; ++b) {
        const PlxBridge& bridge = r.extension->Bridge[b];
        if (bridge.bdgPFA == 0) {
            continue;
        }
        KernDebugPrint("Corvax2 : CLR CPM(BRG%d)\n", static_cast<int>(b));
        for (uint32_t i = 0; i < kSlotsPerBridge; ++i) {
            // Only slots that hold a drive: an empty slot or a silent port still has an
            // address after an update (bus 0xFF for a port that did not answer), and on a Xeon
            // server bus 0xFF holds the processor's own devices.
            const DriveSlot& slot = bridge.CurrentSlot[i];
            if ((slot.fgStatus & kSlotPresent) == 0 || slot.pciPFA == 0) {
                continue;
            }
            const uint32_t pfa = slot.pciPFA;
            KernDebugPrint("Corvax2 : CLR CPM(Dev%d)\n", static_cast<int>(i));
            // A drive without a PCI Express capability has no Link Control to change, and at
            // any fixed offset the dword may be another register of its own.
            const uint32_t capability = PciFindCapabilityThroughPorts(pfa, kPcieCapabilityId);
            if (capability == 0) {
                continue;
            }
            const uint32_t linkControl = capability + kLinkControlInCapability;
            const uint32_t value = PciReadConfigUlong(pfa, linkControl);
            KernDebugPrint("Corvax2 : CLR CPM(PFA=%04X, in data=%08X\n", pfa, value);
            // Written only when there is something to clear.
            if ((value & kClockPowerManagement) != 0) {
                PciWriteConfigUlong(pfa, linkControl, ControlHalf(value) & ~kClockPowerManagement);
                KernDebugPrint("Corvax2 : CLR CPM(PFA=%04X, out data=%08X\n", pfa,
                               PciReadConfigUlong(pfa, linkControl));
            }
        }
    }
}

}  // namespace corvax
