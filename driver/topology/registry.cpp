// Registry constants and the two lookups over the registry.
#include "driver/topology/registry.h"

#include "driver/topology/default_vendors.h"

#ifndef CORVAX_MAKER_VENDOR_ID
#error "CORVAX_MAKER_VENDOR_ID must be defined by the build"
#endif

namespace corvax {

const uint32_t LinkMap8748[8] = {8, 9, 10, 11, 16, 17, 18, 19};
const uint32_t LinkMap8732[4] = {8, 9, 10, 11};
const uint32_t LinkMap8618[12] = {2, 10, 12, 14, 1, 5, 7, 9, 3, 11, 13, 15};

namespace {
const SwitchModel kModels[] = {
    {kPlx8748Id, 8, LinkMap8748},
    {kPlx8732Id, 4, LinkMap8732},
    {kPlx8618Id, 12, LinkMap8618},
};
}  // namespace

const SwitchModel* FindSwitchModel(uint32_t pciID) {
    for (const SwitchModel& model : kModels) {
        if (model.pciID == pciID) {
            return &model;
        }
    }
    return nullptr;
}

const uint32_t DefaultDeviceIdList[12] = {CORVAX_DEFAULT_VENDOR_IDS(CORVAX_MAKER_VENDOR_ID), 0};

bool MatchDeviceIdList(uint32_t pciID, const uint32_t* deviceIdList) {
    for (uint32_t i = 0; i < kDeviceIdListEntries; ++i) {
        const uint32_t entry = deviceIdList[i];
        if (entry == 0) {
            return false;
        }
        if (entry == (pciID & 0xFFFFu)) {
            KernDebugPrint("Corvax2 : found ZEL SSD: %08X = %08X\n", entry, pciID);
            return true;
        }
    }
    return false;
}

bool IsOnBridge(const DeviceExtension* extension, uint32_t pfa) {
    for (const PlxBridge& bridge : extension->Bridge) {
        if (bridge.bdgPFA == 0) {
            continue;
        }
        for (const DriveSlot& slot : bridge.OriginalSlot) {
            if (slot.pciPFA == pfa) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace corvax
