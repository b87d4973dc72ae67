// The PEX 8748's memory-mapped secondary path, and the per-switch port bitmap.
#ifndef CORVAX_PLX8748_H
#define CORVAX_PLX8748_H

#include <stdint.h>

#include "driver/topology/registry.h"

namespace corvax {

// Reads a physical dword, again while it reads all-ones, at most five reads in all. Stores the
// last value read when value is not null; true when it is not all-ones.
bool ReadMemoryUlongRetry(uint64_t physicalAddress, uint32_t* value);

// Clears the low four bits of register 0x208 in both register blocks of a PEX 8748. False when
// a block that is present could not be read (nothing is written to that block then).
bool Plx8748EnableBridge(const PlxBridge* bridge);

// Sets the low four bits of register 0x208 in both register blocks; a block that cannot be
// read is logged and left alone.
void Plx8748DisableBridge(const PlxBridge* bridge);

// Bit i set when a function answers at the PFA the last update recorded for slot i. Only the
// 8618 and 8732 are asked; 0 for any other record.
uint32_t PlxGetPortBitmap(const PlxBridge* bridge);

}  // namespace corvax

#endif  // CORVAX_PLX8748_H
