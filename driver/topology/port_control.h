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

// Slot Control writes are commands to the port's hot-plug controller. A port that reports
// their completion (a hot-plug slot without No Command Completed Support, as every captured
// PLX hot-plug port is) must not be given a command before the last one completed.
//
// The dword at 0x80 (Slot Control, Slot Status above it) of the port, read once the port's
// previous command from this driver has completed: Command Completed is polled for at most a
// second, as the system's own hot-plug code does, and a port that never sets it is logged and
// written all the same. The log may be null: then no command is remembered.
uint32_t PlxReadSlotControl(SlotCommandLog* log, uint32_t portPfa);
// Writes a Slot Control command: control in the low half, and in the status half only Command
// Completed, when the dword read (asRead) showed it set, so that the port can report this
// command's completion in it; every other event bit is left for the system. Remembers when the
// command went out.
void PlxWriteSlotControl(SlotCommandLog* log, uint32_t portPfa, uint32_t asRead, uint32_t control);

// Sets Link Disable on the port, then (8618, 8732) turns slot power and its indicator off,
// remembering in the log when the power went off. False only for a model other than the three
// or a port index out of range; nothing is touched then. A port that does not answer as one is
// skipped: true, nothing written or logged.
bool PlxDisablePortLink(const PlxBridge* bridge, uint32_t portIndex, SlotCommandLog* log);

// Turns slot power and its indicator on (8618, 8732), then clears Link Disable and reads it
// back. Power that this driver cut less than a second ago stays off until the second is over.
// True when Link Disable reads back clear; false when it does not, or for an invalid model or
// port index (nothing touched then). A port that does not answer as one is skipped (true)
// while its switch answers; when the switch itself is silent, false and the fail line, with
// nothing written.
bool PlxEnablePortLink(const PlxBridge* bridge, uint32_t portIndex, SlotCommandLog* log);

}  // namespace corvax

#endif  // CORVAX_PORT_CONTROL_H
