// Per-port link control of the PLX switches: cutting and restoring the link of one downstream
// port, with slot power and the power indicator on the models that have them.
#ifndef CORVAX_PORT_CONTROL_H
#define CORVAX_PORT_CONTROL_H

#include <stdint.h>

#include "driver/topology/registry.h"

namespace corvax {

// Downstream-port device numbers by role, port index 0 first. The entries equal the link maps,
// but each role reads its own table so that a board wired differently changes one role only.
extern const uint32_t PowerMap8618[12];
extern const uint32_t IndicatorMap8618[12];
extern const uint32_t PowerMap8732[4];
extern const uint32_t IndicatorMap8732[4];

// Sets Link Disable on the port, then (8618, 8732) turns slot power and its indicator off.
// False only for a model other than the three or a port index out of range; nothing is
// touched then.
bool PlxDisablePortLink(const PlxBridge* bridge, uint32_t portIndex);

// Turns slot power and its indicator on (8618, 8732), then clears Link Disable and reads it
// back. True when Link Disable reads back clear; false when it does not, or for an invalid
// model or port index (nothing touched then).
bool PlxEnablePortLink(const PlxBridge* bridge, uint32_t portIndex);

}  // namespace corvax

#endif  // CORVAX_PORT_CONTROL_H
