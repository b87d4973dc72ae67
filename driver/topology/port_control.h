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

// Whether the function at pfa answers as a switch's downstream port: a PLX function (vendor
// 0x10B5) with a type 1 header. Nothing else is written as a port.
bool PlxPortAnswers(uint32_t pfa);

// Sets Link Disable on the port, then (8618, 8732) turns slot power and its indicator off.
// False only for a model other than the three or a port index out of range; nothing is
// touched then. A port that does not answer as one is skipped: true, nothing written or logged.
bool PlxDisablePortLink(const PlxBridge* bridge, uint32_t portIndex);

// Turns slot power and its indicator on (8618, 8732), then clears Link Disable and reads it
// back. True when Link Disable reads back clear; false when it does not, or for an invalid
// model or port index (nothing touched then). A port that does not answer as one is skipped
// (true) while its switch answers; when the switch itself is silent, false and the fail line,
// with nothing written.
bool PlxEnablePortLink(const PlxBridge* bridge, uint32_t portIndex);

}  // namespace corvax

#endif  // CORVAX_PORT_CONTROL_H
