// corvaxctl: operands, names and the driver's records.
#include "tools/corvaxctl/decode.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

#include "driver/topology/default_vendors.h"

namespace corvaxctl {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::optional<uint64_t> ParseDigits(const std::string& digits, int base, uint64_t max) {
    if (digits.empty() || digits.size() > 16) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : digits) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        // At most 16 digits: no overflow before the bound is checked.
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (value > max) {
            return std::nullopt;
        }
    }
    return value;
}

bool HasHexPrefix(const std::string& text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

struct CodeName {
    uint32_t code;
    const char* name;
};

const CodeName kCodes[] = {
    {CORVAX_RESCAN, "CORVAX_RESCAN"},
    {CORVAX_QUERY, "CORVAX_QUERY"},
    {CORVAX_QUERY_8618, "CORVAX_QUERY_8618"},
    {CORVAX_ON_BRIDGE, "CORVAX_ON_BRIDGE"},
    {CORVAX_GET_TABLE, "CORVAX_GET_TABLE"},
    {CORVAX_RESCAN_RESTORE, "CORVAX_RESCAN_RESTORE"},
    {CORVAX_UPDATE, "CORVAX_UPDATE"},
    {CORVAX_DISABLE_BRIDGE, "CORVAX_DISABLE_BRIDGE"},
    {CORVAX_ENABLE_BRIDGE, "CORVAX_ENABLE_BRIDGE"},
    {CORVAX_READ_CONFIG, "CORVAX_READ_CONFIG"},
    {CORVAX_GET_BITMAP, "CORVAX_GET_BITMAP"},
    {CORVAX_SET_LED, "CORVAX_SET_LED"},
    {CORVAX_SET_LED_ALL, "CORVAX_SET_LED_ALL"},
    {CORVAX_CLR_CPM, "CORVAX_CLR_CPM"},
    {CORVAX_GET_VERSION, "CORVAX_GET_VERSION"},
    {CORVAX_SET_DEVICE_ID_LIST, "CORVAX_SET_DEVICE_ID_LIST"},
    {PLX_UPDATE, "PLX_UPDATE"},
    {PLX_RESCAN, "PLX_RESCAN"},
    {PLX_RESCAN_RESTORE, "PLX_RESCAN_RESTORE"},
    {PLX_QUERY_PCI, "PLX_QUERY_PCI"},
    {PLX_ENABLE, "PLX_ENABLE"},
    {PLX_DISABLE, "PLX_DISABLE"},
    {PLX_GET_BITMAP, "PLX_GET_BITMAP"},
    {PLX_SET_LED, "PLX_SET_LED"},
    {PLX_SET_LED_ALL, "PLX_SET_LED_ALL"},
    {PLX_READ_CONFIG, "PLX_READ_CONFIG"},
    {PLX_GET_VERSION, "PLX_GET_VERSION"},
    {PLX_SET_DEVICE_ID_LIST, "PLX_SET_DEVICE_ID_LIST"},
};

uint32_t Dword(const Bytes& bytes, size_t offset) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

}  // namespace

std::optional<uint64_t> ParseHex(const std::string& text, uint64_t max) {
    return ParseDigits(HasHexPrefix(text) ? text.substr(2) : text, 16, max);
}

std::optional<uint64_t> ParseCount(const std::string& text, uint64_t max) {
    if (HasHexPrefix(text)) {
        return ParseDigits(text.substr(2), 16, max);
    }
    return ParseDigits(text, 10, max);
}

uint16_t ParsePfa(const std::string& text) {
    const std::string hint = "bad PFA '" + text +
                             "': give bus:device.function (hexadecimal, e.g. 05:00.0) or a " +
                             "hexadecimal PFA (e.g. 0x0500)";
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        const std::optional<uint64_t> v = ParseHex(text, 0xFFFF);
        if (!v) {
            throw UsageError(hint);
        }
        return static_cast<uint16_t>(*v);
    }
    const size_t dot = text.find('.', colon);
    if (dot == std::string::npos) {
        throw UsageError(hint);
    }
    const std::optional<uint64_t> bus = ParseDigits(text.substr(0, colon), 16, 0xFF);
    const std::optional<uint64_t> device =
        ParseDigits(text.substr(colon + 1, dot - colon - 1), 16, 0x1F);
    const std::optional<uint64_t> function = ParseDigits(text.substr(dot + 1), 16, 7);
    if (!bus || !device || !function) {
        throw UsageError(hint + "; bus 0-ff, device 0-1f, function 0-7");
    }
    return static_cast<uint16_t>(*bus << 8 | *device << 3 | *function);
}

std::string FormatPfa(uint32_t pfa) {
    char text[16];
    std::snprintf(text, sizeof(text), "%02x:%02x.%x", (pfa >> 8) & 0xFF, (pfa >> 3) & 0x1F,
                  pfa & 7);
    return text;
}

uint32_t ParseVendorDevice(const std::string& text) {
    const size_t colon = text.find(':');
    std::optional<uint64_t> vendor, device;
    if (colon != std::string::npos) {
        vendor = ParseHex(text.substr(0, colon), 0xFFFF);
        device = ParseHex(text.substr(colon + 1), 0xFFFF);
    }
    if (!vendor || !device) {
        throw UsageError("bad VENDOR:DEVICE '" + text +
                         "': give two hexadecimal IDs, e.g. 1f0a:0710");
    }
    return static_cast<uint32_t>(*device << 16 | *vendor);
}

Bytes ParseHexBytes(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == '\t') {
            if (digits.size() % 2 != 0) {
                throw UsageError("bad hex bytes '" + text + "': a lone digit before a separator");
            }
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw UsageError("bad hex bytes '" + text + "': '" + std::string(1, c) +
                             "' is not a hexadecimal digit");
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) {
        throw UsageError("bad hex bytes '" + text + "': an odd number of digits");
    }
    Bytes bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(*ParseDigits(digits.substr(i, 2), 16, 0xFF)));
    }
    return bytes;
}

uint32_t ParseControlCode(const std::string& text) {
    if (const std::optional<uint64_t> v = ParseHex(text, 0xFFFFFFFFu)) {
        return static_cast<uint32_t>(*v);
    }
    const std::string lower = Lower(text);
    for (const CodeName& c : kCodes) {
        if (Lower(c.name) == lower) {
            return c.code;
        }
    }
    throw UsageError("bad control code '" + text +
                     "': give a hexadecimal code (e.g. 0x0022158C) or a name (e.g. " +
                     "CORVAX_GET_VERSION)");
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

std::string Hex16(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%04X", value);
    return text;
}

std::string JsonHex(uint64_t value, int digits) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string IdText(uint32_t pciId) {
    char text[16];
    std::snprintf(text, sizeof(text), "%04x:%04x", pciId & 0xFFFF, pciId >> 16);
    return text;
}

std::string LowerHex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

std::vector<std::string> HexDump(const Bytes& bytes) {
    std::vector<std::string> lines;
    // lspci's two-digit offsets, widened only when the buffer needs it.
    const int width = bytes.size() > 0x100 ? 4 : 2;
    for (size_t row = 0; row < bytes.size(); row += 16) {
        char head[32];
        std::snprintf(head, sizeof(head), "%0*zx:", width, row);
        std::string line = head;
        for (size_t i = row; i < std::min(bytes.size(), row + 16); ++i) {
            char cell[4];
            std::snprintf(cell, sizeof(cell), " %02x", bytes[i]);
            line += cell;
        }
        lines.push_back(line);
    }
    return lines;
}

std::string VersionText(uint32_t value) {
    // Each part's decimal digits are written as hexadecimal digits: 0x20 is part "20".
    char text[32];
    std::snprintf(text, sizeof(text), "%x.%x.%x.%x", value >> 24, (value >> 16) & 0xFF,
                  (value >> 8) & 0xFF, value & 0xFF);
    return text;
}

std::string StatusName(uint32_t status) {
    switch (status) {
        case CORVAX_STATUS_SUCCESS:
            return "STATUS_SUCCESS";
        case CORVAX_STATUS_INVALID_PARAMETER:
            return "STATUS_INVALID_PARAMETER";
        case CORVAX_STATUS_BUFFER_TOO_SMALL:
            return "STATUS_BUFFER_TOO_SMALL";
        case CORVAX_STATUS_INSUFFICIENT_RESOURCES:
            return "STATUS_INSUFFICIENT_RESOURCES";
        case CORVAX_STATUS_FAIL_CHECK:
            return "STATUS_FAIL_CHECK";
        default:
            return "";
    }
}

std::string ControlCodeName(uint32_t code) {
    for (const CodeName& c : kCodes) {
        if (c.code == code) {
            return c.name;
        }
    }
    return "";
}

const char* MethodName(uint32_t code) {
    static const char* const kMethods[] = {"METHOD_BUFFERED", "METHOD_IN_DIRECT",
                                           "METHOD_OUT_DIRECT", "METHOD_NEITHER"};
    return kMethods[code & 3];
}

std::string SwitchModelName(uint32_t switchId) {
    switch (switchId) {
        case 0:
            return "";
        case CORVAX_PLX8618_ID:
            return "PEX 8618";
        case CORVAX_PLX8732_ID:
            return "PEX 8732";
        case CORVAX_PLX8748_ID:
            return "PEX 8748";
        default:
            return "unknown";
    }
}

unsigned SwitchSlotCount(uint32_t switchId) {
    switch (switchId) {
        case CORVAX_PLX8618_ID:
            return 12;
        case CORVAX_PLX8732_ID:
            return 4;
        case CORVAX_PLX8748_ID:
            return 8;
        default:
            return 12;
    }
}

namespace {

// Each model's link map, slot 0 first (the same maps the switch's documentation gives).
const unsigned kLinkMap8748[] = {8, 9, 10, 11, 16, 17, 18, 19};
const unsigned kLinkMap8732[] = {8, 9, 10, 11};
const unsigned kLinkMap8618[] = {2, 10, 12, 14, 1, 5, 7, 9, 3, 11, 13, 15};

std::vector<unsigned> LinkMap(uint32_t switchId) {
    switch (switchId) {
        case CORVAX_PLX8748_ID:
            return {std::begin(kLinkMap8748), std::end(kLinkMap8748)};
        case CORVAX_PLX8732_ID:
            return {std::begin(kLinkMap8732), std::end(kLinkMap8732)};
        case CORVAX_PLX8618_ID:
            return {std::begin(kLinkMap8618), std::end(kLinkMap8618)};
        default:
            return {};
    }
}

}  // namespace

std::optional<unsigned> PortDeviceOfSlot(uint32_t switchId, unsigned slot) {
    const std::vector<unsigned> map = LinkMap(switchId);
    if (slot >= map.size()) {
        return std::nullopt;
    }
    return map[slot];
}

std::optional<unsigned> SlotOfPortDevice(uint32_t switchId, unsigned device) {
    const std::vector<unsigned> map = LinkMap(switchId);
    for (unsigned slot = 0; slot < map.size(); ++slot) {
        if (map[slot] == device) {
            return slot;
        }
    }
    return std::nullopt;
}

#ifndef CORVAXCTL_MAKER_VENDOR_ID
#error "CORVAXCTL_MAKER_VENDOR_ID must be defined by the build, as the driver's is"
#endif

std::vector<uint32_t> DefaultVendorList() {
    return {CORVAX_DEFAULT_VENDOR_IDS(CORVAXCTL_MAKER_VENDOR_ID)};
}

std::vector<PciTableEntry> DecodeTable(const Bytes& output) {
    std::vector<PciTableEntry> entries;
    static const PciTableEntry kEmpty = {};
    for (size_t offset = 0; offset + sizeof(PciTableEntry) <= output.size();
         offset += sizeof(PciTableEntry)) {
        PciTableEntry e;
        std::memcpy(&e, output.data() + offset, sizeof(e));
        if (std::memcmp(&e, &kEmpty, sizeof(e)) == 0) {
            break;
        }
        entries.push_back(e);
    }
    return entries;
}

std::vector<std::string> EntryFlagWords(uint32_t fgStatus) {
    std::vector<std::string> words;
    if (fgStatus & CORVAX_ENTRY_NEW_DEVICE) {
        words.push_back("new");
    }
    if (fgStatus & CORVAX_ENTRY_NO_MEMORY) {
        words.push_back("no-memory");
    }
    if (fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR) {
        words.push_back("unlisted-vendor");
    }
    const uint32_t rest = fgStatus & ~(CORVAX_ENTRY_NEW_DEVICE | CORVAX_ENTRY_NO_MEMORY |
                                       CORVAX_ENTRY_FOREIGN_VENDOR);
    if (rest != 0) {
        words.push_back(Hex32(rest));
    }
    return words;
}

std::vector<BridgeApInfo> DecodeBridges(const Bytes& output) {
    std::vector<BridgeApInfo> bridges;
    for (size_t offset = 0; offset + sizeof(BridgeApInfo) <= output.size() && bridges.size() < 3;
         offset += sizeof(BridgeApInfo)) {
        BridgeApInfo b;
        std::memcpy(&b, output.data() + offset, sizeof(b));
        bridges.push_back(b);
    }
    return bridges;
}

bool BridgeInUse(const BridgeApInfo& bridge) {
    return bridge.bdgPFA != 0 || bridge.pciID != 0;
}

std::vector<unsigned> BitmapSlots(uint32_t bitmap) {
    std::vector<unsigned> slots;
    for (unsigned i = 0; i < 32; ++i) {
        if (bitmap & (1u << i)) {
            slots.push_back(i);
        }
    }
    return slots;
}

ConfigSummary DecodeConfig(const Bytes& header) {
    ConfigSummary s;
    if (header.size() < 0x40) {
        return s;
    }
    const uint32_t id = Dword(header, 0);
    s.vendor = static_cast<uint16_t>(id & 0xFFFF);
    s.device = static_cast<uint16_t>(id >> 16);
    const uint32_t classRev = Dword(header, 8);
    s.revision = static_cast<uint8_t>(classRev & 0xFF);
    s.classCode = classRev >> 8;
    s.headerType = header[0x0E];
    if (const unsigned msix = FindCapability(header, 0x11)) {
        const uint32_t control = Dword(header, msix);
        s.msixVectors = ((control >> 16) & 0x7FF) + 1;
        s.msixTable = Dword(header, msix + 4);
    }
    const uint32_t bar0 = Dword(header, 0x10);
    if (bar0 & 1) {
        s.bar0Io = true;
        s.bar0 = bar0 & ~3u;
        return s;
    }
    s.bar064 = ((bar0 >> 1) & 3) == 2;
    s.bar0Prefetchable = (bar0 & 8) != 0;
    s.bar0 = bar0 & ~0xFu;
    if (s.bar064) {
        s.bar0 |= static_cast<uint64_t>(Dword(header, 0x14)) << 32;
    }
    return s;
}

unsigned FindCapability(const Bytes& header, uint8_t id) {
    // Status bit 4: the header has a capability list. A list is followed for at most 48 entries
    // (all a 256-byte header can hold), so a loop in it ends.
    if (header.size() < 0x100 || (header[0x06] & 0x10) == 0) {
        return 0;
    }
    unsigned at = header[0x34] & 0xFCu;
    for (int i = 0; i < 48 && at >= 0x40 && at < 0x100; ++i) {
        if (header[at] == id) {
            return at;
        }
        at = header[at + 1] & 0xFCu;
    }
    return 0;
}

const char* ChangeName(Change change) {
    switch (change) {
        case Change::New:
            return "new";
        case Change::Replaced:
            return "replaced";
        case Change::ReplacedRestored:
            return "replaced,restored";
        case Change::Lost:
            return "lost";
        case Change::Restored:
            return "restored";
        case Change::MemoryLost:
            return "memory-lost";
        case Change::MemoryLostUnlisted:
            return "memory-lost,unlisted-vendor";
        case Change::None:
            break;
    }
    return "";
}

std::vector<DriveChange> CompareTables(const std::vector<PciTableEntry>& before,
                                       const std::vector<PciTableEntry>& settled,
                                       const std::vector<PciTableEntry>& after) {
    auto byPfa = [](const std::vector<PciTableEntry>& table) {
        std::map<uint32_t, const PciTableEntry*> index;
        for (const PciTableEntry& e : table) {
            index.emplace(e.pciLocation, &e);
        }
        return index;
    };
    const auto was = byPfa(before);
    const auto came = byPfa(settled);
    const auto now = byPfa(after);

    std::vector<DriveChange> changes;
    for (const PciTableEntry& e : after) {
        DriveChange c{e, Change::None};
        const auto old = was.find(e.pciLocation);
        const auto back = came.find(e.pciLocation);
        // Restored: it came back without its memory address and the restore gave it back.
        const bool restored = back != came.end() &&
                              (back->second->fgStatus & CORVAX_ENTRY_NO_MEMORY) &&
                              !(e.fgStatus & CORVAX_ENTRY_NO_MEMORY);
        if (old == was.end()) {
            c.change = Change::New;
        } else if (old->second->pciID != e.pciID) {
            c.change = restored ? Change::ReplacedRestored : Change::Replaced;
        } else if (restored) {
            c.change = Change::Restored;
        } else if (!(old->second->fgStatus & CORVAX_ENTRY_NO_MEMORY) &&
                   (e.fgStatus & CORVAX_ENTRY_NO_MEMORY)) {
            // It had its memory address before the cycle and has none after the restore.
            c.change = (e.fgStatus & CORVAX_ENTRY_FOREIGN_VENDOR) ? Change::MemoryLostUnlisted
                                                                  : Change::MemoryLost;
        }
        changes.push_back(c);
    }
    for (const PciTableEntry& e : before) {
        if (now.find(e.pciLocation) == now.end()) {
            changes.push_back(DriveChange{e, Change::Lost});
        }
    }
    return changes;
}

}  // namespace corvaxctl
