// The vendors whose drives the driver saves and restores until a set-ids request says otherwise,
// the maker's own (a build setting) first. The driver's load copies this list; corvaxctl shows it
// as the driver's default, so both take it from here.
#pragma once

#define CORVAX_DEFAULT_VENDOR_IDS(maker) \
    maker, 0x8086, 0x1344, 0xC0A9, 0x1CC4, 0x144D, 0x1CB0, 0x1DB2, 0x1CC1, 0x1E81, 0x1D79
