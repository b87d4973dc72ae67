// Operations that fill and refresh the registry from the hardware.
#ifndef CORVAX_TOPOLOGY_H
#define CORVAX_TOPOLOGY_H

#include "driver/topology/registry.h"

namespace corvax {

// Forgets the registry and rebuilds it from the hardware; ends with the dump.
void UpdateTopology(DeviceExtension* extension);
// Scans the downstream ports of one accepted switch into its original slots.
void ScanBridge(DeviceExtension* extension, PlxBridge* bridge, uint8_t* saveArea);

// Brings a drive's Max_Payload_Size to the switch's, writing only when they differ.
void AlignMaxPayload(const PlxBridge* bridge, uint32_t drivePfa);

// Rebuilds the current generation of every switch against the original one and forgets
// on-board drives that no longer answer with the same identifier; ends with the dump.
void RescanTopology(DeviceExtension* extension);
void RescanBridge(DeviceExtension* extension, PlxBridge* bridge);
// Writes saved headers back into listed drives that answer again with BAR0 cleared.
void RestoreDrives(DeviceExtension* extension);

// Writes the whole registry to the debug log.
void DumpTopology(const DeviceExtension* extension);
// The first ten lines of a slot's block in the dump (index, status word, address, IDs, BAR0),
// current value first and the original one in parentheses.
void DumpSlotSummary(uint32_t index, const DriveSlot& current, const DriveSlot& original);

}  // namespace corvax

#endif  // CORVAX_TOPOLOGY_H
