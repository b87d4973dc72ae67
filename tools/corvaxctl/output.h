// corvaxctl: how results look. One place turns the driver's records, the wait and the system's
// disks into table rows for a person and into JSON objects for a program, so that every command
// shows a record the same way in both.
#ifndef CORVAXCTL_OUTPUT_H
#define CORVAXCTL_OUTPUT_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/control/corvax_ioctl.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/settle.h"
#include "tools/corvaxctl/system_disk.h"
#include "tools/corvaxctl/transport.h"

namespace corvaxctl {

using Json = nlohmann::ordered_json;

// ---- plain text ----

// "STATUS_SUCCESS (0x00000000)", or the bare value for a status without a name.
std::string StatusText(uint32_t status);
// "0xf7000000": as short as the value.
std::string ShortHex(uint64_t value);
// "930.3 ms".
std::string Millis(uint64_t us);
std::string Join(const std::vector<std::string>& words, const std::string& separator);
// Columns padded to their widest cell; no trailing blanks; each line after indent.
using Rows = std::vector<std::vector<std::string>>;
std::string Columns(const Rows& rows, const std::string& indent);

Json Nullable(const std::optional<unsigned>& value);

// Little-endian dwords as the requests take them, and one read back.
Bytes Dwords(std::initializer_list<uint32_t> values);
uint32_t Dword(const Bytes& bytes, size_t offset = 0);

// ---- the drive table ----

// The table numbers the switches from 1 and gives on-board drives 0; everything else, and the
// user, number them from 0, as the driver's records are.
bool OnBoard(const PciTableEntry& e);
unsigned EntrySwitch(const PciTableEntry& e);
std::optional<unsigned> EntrySlot(const PciTableEntry& e);
// "0:2", as events and --expect take it; the port's device number when the model is unknown.
std::string EntryPlace(const PciTableEntry& e);
Json EntryJson(const PciTableEntry& e);
Json EntriesJson(const std::vector<PciTableEntry>& entries);
std::vector<std::string> EntryRow(size_t index, const PciTableEntry& e);
// The table as `table` prints it; with the change column as `hotswap` prints it.
std::string TableText(const std::vector<DriveChange>& drives, bool withChange);

// ---- the switch records ----

unsigned PayloadBytes(uint8_t bdgMps);
uint64_t SlotBar(const SlotImage& s);
Json SlotJson(unsigned index, const SlotImage& s);
std::string SlotCell(const SlotImage& s);

// ---- a configuration header ----

// `bars`, `power_management`, `express` and `msix` as the header's capabilities give them
// (null for one it lacks).
Json HeaderJson(const Bytes& header);

// ---- the wait ----

std::string SettleSummary(const SettleResult& r);
Json SettleJson(const SettleResult& r, const SettleOptions& o);

// ---- the system's disks ----

Json SystemDisksJson(const std::vector<SystemDisk>& disks);
void PrintSystemDisks(const std::vector<SystemDisk>& disks, std::ostream& out);

// ---- the command object ----

// What every command object starts with: the command, the request's status and byte count, and
// the caller's whole output buffer.
Json Base(const std::string& command, const Reply& r);
// The same for a command that sent no request of its own, or whose result is its own.
Json Base(const std::string& command, uint32_t status = CORVAX_STATUS_SUCCESS);

}  // namespace corvaxctl

#endif  // CORVAXCTL_OUTPUT_H
