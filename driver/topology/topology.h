// Operations that fill and refresh the registry from the hardware.
#ifndef CORVAX_TOPOLOGY_H
#define CORVAX_TOPOLOGY_H

#include "driver/topology/registry.h"

namespace corvax {

// Forgets the registry and rebuilds it from the hardware; ends with the dump.
void UpdateTopology(DeviceExtension* extension);

}  // namespace corvax

#endif  // CORVAX_TOPOLOGY_H
