// The topology update: forget the registry, then rebuild it from the hardware.
#include <string.h>

#include "driver/topology/pci_access.h"
#include "driver/topology/topology.h"

namespace corvax {

void UpdateTopology(DeviceExtension* extension) {
    KernDebugPrint("Corvax2 : Update PLX Bridge & PCI device information\n");
    extension->fgPlx8618 = 0;
    extension->fgPlx8732 = 0;
    extension->fgPlx8748 = 0;
    memset(extension->Bridge, 0, sizeof(extension->Bridge));
    memset(extension->OnBoardSlot, 0, sizeof(extension->OnBoardSlot));
    // The save areas are not cleared: an area keeps its bytes until a later scan overwrites it.
}

}  // namespace corvax
