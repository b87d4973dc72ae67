// The checks every hardening run applies after each control request.
#include "tests/fuzz/control_checks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "driver/control/corvax_ioctl.h"

namespace hardening {

namespace {

using corvax::DeviceExtension;
using corvax::DriveSlot;
using corvax::PlxBridge;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

template <typename T>
bool AllZero(const T& value) {
    // A word at a time: the checks run after every request, over every record.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= sizeof(T); i += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        any |= word;
    }
    for (; i < sizeof(T); ++i) {
        any |= bytes[i];
    }
    return any == 0;
}

uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

bool OnBoardValid(const DriveSlot& s) {
    return (s.fgStatus & 0xC0) == 0xC0;
}

std::string CheckSlotCommon(const char* what, uint32_t b, uint32_t i, const DriveSlot& s,
                            const PlxBridge& bridge, const corvax::SwitchModel& model,
                            const DeviceExtension& e) {
    if (s.bdgDeviceIndex != i || s.bdgDeviceId != model.linkMap[i]) {
        return Format("record %u %s slot %u: index %u device %u, link map says %u", b, what, i,
                      s.bdgDeviceIndex, s.bdgDeviceId, model.linkMap[i]);
    }
    if (s.reserved != 0 || (s.pciPFA & 0xFFu) != 0 || s.pciPFA > 0xFFFFu) {
        return Format("record %u %s slot %u: PFA 0x%X reserved 0x%X", b, what, i, s.pciPFA,
                      s.reserved);
    }
    if (s.bdgMps != static_cast<uint8_t>(bridge.bdgMps)) {
        return Format("record %u %s slot %u: payload 0x%X, switch 0x%X", b, what, i, s.bdgMps,
                      bridge.bdgMps);
    }
    if (s.PciConfigAddr != corvax::EcamAddress(e.EcamBase, s.pciPFA)) {
        return Format("record %u %s slot %u: window address does not follow the PFA", b, what, i);
    }
    return std::string();
}

}  // namespace

const uint32_t kControlCodes[28] = {
    CORVAX_RESCAN,        CORVAX_QUERY,
    CORVAX_QUERY_8618,    CORVAX_ON_BRIDGE,
    CORVAX_GET_TABLE,     CORVAX_RESCAN_RESTORE,
    CORVAX_UPDATE,        CORVAX_DISABLE_BRIDGE,
    CORVAX_ENABLE_BRIDGE, CORVAX_READ_CONFIG,
    CORVAX_GET_BITMAP,    CORVAX_SET_LED,
    CORVAX_SET_LED_ALL,   CORVAX_CLR_CPM,
    CORVAX_GET_VERSION,   CORVAX_SET_DEVICE_ID_LIST,
    PLX_UPDATE,           PLX_RESCAN,
    PLX_RESCAN_RESTORE,   PLX_QUERY_PCI,
    PLX_ENABLE,           PLX_DISABLE,
    PLX_GET_BITMAP,       PLX_SET_LED,
    PLX_SET_LED_ALL,      PLX_READ_CONFIG,
    PLX_GET_VERSION,      PLX_SET_DEVICE_ID_LIST,
};

const std::vector<Example>& Examples() {
    static const std::vector<Example> examples = [] {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(CORVAX_FABRICS_DIR)) {
            if (entry.path().extension() == ".json") {
                files.push_back(entry.path().string());
            }
        }
        std::sort(files.begin(), files.end());
        std::vector<Example> out;
        for (const std::string& file : files) {
            out.push_back({std::filesystem::path(file).stem().string(), sim::LoadFabricFile(file)});
        }
        return out;
    }();
    return examples;
}

const std::vector<sim::HostBridgeDescription>& HostBridgeVariants() {
    static const std::vector<sim::HostBridgeDescription> variants = [] {
        const auto bridge = sim::HostBridgeDescription::Intel;
        return std::vector<sim::HostBridgeDescription>{
            sim::HostBridgeDescription{},               // unused: the example's own
            bridge(0x2020, 0x01029005, 0),              // Xeon Scalable: MSI capability header
            bridge(0x3E0F, 0xE0000001, 0),              // enabled, decoding nowhere
            bridge(0x3E0F, 0xE0000001, 0xC0000000),     // enabled, decoding elsewhere
            bridge(0x4641, 0xC0000001, std::nullopt),   // Alder Lake: 256 MiB
            bridge(0x3E34, 0xD0000003, std::nullopt),   // 128 MiB
            bridge(0x0C00, 0xF8000005, std::nullopt),   // 64 MiB
            bridge(0x3E0F, 0xA0000007, std::nullopt),   // 512 MiB
            bridge(0x3E0F, 0xC0000009, std::nullopt),   // 1 GiB
            bridge(0x3E0F, 0x4E0000001, std::nullopt),  // above 4 GiB
            bridge(0x3E0F, 0xE0000000, 0xE0000000),     // decoding, enable bit clear
            bridge(0x3E0F, 0xE000000B, 0xE0000000),     // decoding, undefined length
        };
    }();
    return variants;
}

const sim::FabricDescription& ExampleWithHostBridge(size_t example, size_t variant) {
    static const std::vector<std::vector<sim::FabricDescription>> table = [] {
        std::vector<std::vector<sim::FabricDescription>> out;
        for (const Example& e : Examples()) {
            std::vector<sim::FabricDescription> row = {e.description};
            for (size_t v = 1; v < HostBridgeVariants().size(); ++v) {
                sim::FabricDescription d = e.description;
                d.hostBridge = HostBridgeVariants()[v];
                // A window over a device's BAR would take that device's accesses: not a
                // machine anybody builds.
                const sim::WindowDecode w = sim::EffectiveWindow(d.hostBridge);
                auto inWindow = [&](uint64_t base) {
                    return w.base != 0 && base != 0 && base - w.base < w.size;
                };
                bool clash = false;
                for (const auto& sw : d.switches) {
                    clash = clash || inWindow(sw.bar0);
                    for (const auto& port : sw.ports) {
                        clash = clash || (port.drive && inWindow(port.drive->bar0));
                    }
                }
                for (const auto& ob : d.onboard) {
                    clash = clash || inWindow(ob.drive.bar0);
                }
                try {
                    sim::ValidateFabric(d);
                } catch (const sim::FabricError&) {
                    clash = true;
                }
                row.push_back(clash ? e.description : d);
            }
            out.push_back(std::move(row));
        }
        return out;
    }();
    const auto& row = table.at(example);
    return row[variant % row.size()];
}

std::string CheckRegistry(const DeviceExtension& e, bool afterUpdate) {
    const uint8_t flags[3] = {e.fgPlx8618, e.fgPlx8732, e.fgPlx8748};
    const uint32_t ids[3] = {corvax::kPlx8618Id, corvax::kPlx8732Id, corvax::kPlx8748Id};
    int flagsSet = 0;
    for (uint8_t f : flags) {
        if (f > 1) {
            return Format("model flag holds %u", f);
        }
        flagsSet += f;
    }
    if (flagsSet > 1) {
        return "more than one model flag set";
    }
    bool seenFree = false;
    uint32_t used = 0;
    uint32_t lastPfa = 0;
    bool modelUsed[3] = {false, false, false};
    for (uint32_t b = 0; b < corvax::kBridgeRecords; ++b) {
        const PlxBridge& bridge = e.Bridge[b];
        if (bridge.bdgPFA == 0) {
            seenFree = true;
            if (!AllZero(bridge)) {
                return Format("free record %u is not all zero", b);
            }
            for (uint8_t saved : e.fgSaved[b]) {
                if (saved != 0) {
                    return Format("free record %u has saved areas marked", b);
                }
            }
            continue;
        }
        if (seenFree) {
            return Format("record %u in use after a free one", b);
        }
        ++used;
        const corvax::SwitchModel* model = corvax::FindSwitchModel(bridge.pciID);
        if (model == nullptr) {
            return Format("record %u has identifier 0x%08X", b, bridge.pciID);
        }
        for (int m = 0; m < 3; ++m) {
            if (bridge.pciID == ids[m]) {
                modelUsed[m] = true;
                if (!flags[m]) {
                    return Format("record %u is a 0x%08X without its model flag", b, bridge.pciID);
                }
            }
        }
        const uint32_t bus = bridge.bdgPFA >> 8;
        if ((bridge.bdgPFA & 0xFFu) != 0 || bus < 1 || bus > 64 || bridge.bdgPFA <= lastPfa) {
            return Format("record %u has switch PFA 0x%X after 0x%X", b, bridge.bdgPFA, lastPfa);
        }
        lastPfa = bridge.bdgPFA;
        if ((bridge.bdgMps & ~0xE0u) != 0 || bridge.PrimaryBus > 0xFF ||
            bridge.SecondaryBus > 0xFF) {
            return Format("record %u: payload 0x%X buses 0x%X 0x%X", b, bridge.bdgMps,
                          bridge.PrimaryBus, bridge.SecondaryBus);
        }
        if (bridge.pciID == corvax::kPlx8748Id) {
            if ((bridge.pBdgSecAddr1 >> 32) != 0 || (bridge.pBdgSecAddr2 >> 32) != 0 ||
                static_cast<uint32_t>(bridge.pBdgSecAddr2 - bridge.pBdgSecAddr1) != 0x8000u) {
                return Format("record %u: secondary-path blocks at 0x%llX and 0x%llX", b,
                              static_cast<unsigned long long>(bridge.pBdgSecAddr1),
                              static_cast<unsigned long long>(bridge.pBdgSecAddr2));
            }
        } else if (bridge.pBdgSecAddr1 != 0 || bridge.pBdgSecAddr2 != 0) {
            return Format("record %u: secondary-path blocks on a switch without them", b);
        }
        const uint32_t slots = model->slotCount;
        if ((bridge.OriginalMap >> slots) != 0 || (bridge.CurrentMap >> slots) != 0) {
            return Format("record %u: maps 0x%X 0x%X beyond %u slots", b, bridge.OriginalMap,
                          bridge.CurrentMap, slots);
        }
        for (uint32_t i = 0; i < corvax::kSlotsPerBridge; ++i) {
            const DriveSlot& o = bridge.OriginalSlot[i];
            const DriveSlot& c = bridge.CurrentSlot[i];
            const uint8_t saved = e.fgSaved[b][i];
            if (i >= slots) {
                if (!AllZero(o) || !AllZero(c) || saved != 0) {
                    return Format("record %u: slot %u beyond the model is not zero", b, i);
                }
                continue;
            }
            const bool oPresent = (o.fgStatus & 0x80) != 0;
            const bool cPresent = (c.fgStatus & 0x80) != 0;
            if (((bridge.OriginalMap >> i) & 1u) != (oPresent ? 1u : 0u) ||
                ((bridge.CurrentMap >> i) & 1u) != (cPresent ? 1u : 0u)) {
                return Format("record %u slot %u: maps 0x%X 0x%X, status 0x%X 0x%X", b, i,
                              bridge.OriginalMap, bridge.CurrentMap, o.fgStatus, c.fgStatus);
            }
            if ((o.fgStatus & ~0x80u) != 0 || (c.fgStatus & ~0x80u) != 0) {
                return Format("record %u slot %u: status 0x%X 0x%X", b, i, o.fgStatus, c.fgStatus);
            }
            std::string problem = CheckSlotCommon("original", b, i, o, bridge, *model, e);
            if (!problem.empty()) {
                return problem;
            }
            if (o.ConfigTable != &e.SlotSave[b][i][0] || o.MsiTable != &e.SlotSave[b][i][256]) {
                return Format("record %u original slot %u: save areas not its own", b, i);
            }
            if (!oPresent && (o.pciID != 0 || o.barAddr != 0 || o.MsiTableOffset != 0)) {
                return Format("record %u original slot %u: empty slot with drive values", b, i);
            }
            if ((saved & ~(corvax::kSavedHeader | corvax::kSavedMsiTable)) != 0 ||
                (saved != 0 && !oPresent)) {
                return Format("record %u slot %u: saved marks 0x%X on status 0x%X", b, i, saved,
                              o.fgStatus);
            }
            if (cPresent) {
                problem = CheckSlotCommon("current", b, i, c, bridge, *model, e);
                if (!problem.empty()) {
                    return problem;
                }
                if (c.ConfigTable != o.ConfigTable || c.MsiTable != o.MsiTable ||
                    c.MsiTableOffset != o.MsiTableOffset) {
                    return Format(
                        "record %u current slot %u: save areas or table offset differ "
                        "from the original slot",
                        b, i);
                }
            }
        }
    }
    for (int m = 0; m < 3; ++m) {
        if (flags[m] && !modelUsed[m]) {
            return Format("model flag %d set without a record of that model", m);
        }
    }
    if (e.fgPlx8618 && used != 1) {
        return Format("a PEX 8618 shares the registry with %u other records", used - 1);
    }
    bool seenInvalid = false;
    for (uint32_t k = 0; k < corvax::kOnBoardSlots; ++k) {
        const DriveSlot& s = e.OnBoardSlot[k];
        if (!OnBoardValid(s)) {
            if (!AllZero(s)) {
                return Format("on-board slot %u: status 0x%X but not all zero", k, s.fgStatus);
            }
            seenInvalid = true;
            continue;
        }
        if (afterUpdate && seenInvalid) {
            return Format("on-board slot %u valid after a gap, right after an update", k);
        }
        const uint32_t bus = s.pciPFA >> 8;
        if (s.fgStatus != 0xC0 || s.bdgDeviceIndex != 0 || s.bdgDeviceId != 0 || s.bdgMps != 0 ||
            s.reserved != 0 || (s.pciPFA & 0xFFu) != 0 || bus < 1 || bus > 64 ||
            s.ConfigTable != nullptr || s.MsiTable != nullptr || s.MsiTableOffset != 0 ||
            s.PciConfigAddr != corvax::EcamAddress(e.EcamBase, s.pciPFA)) {
            return Format("on-board slot %u malformed (PFA 0x%X)", k, s.pciPFA);
        }
        if (corvax::IsOnBridge(&e, s.pciPFA)) {
            return Format("on-board slot %u holds PFA 0x%X of a switch slot", k, s.pciPFA);
        }
    }
    return std::string();
}

std::string CheckStatus(uint32_t code, uint32_t inLen, uint32_t outLen,
                        const sim::IoOptions& options, const sim::IoResult& result) {
    const uint32_t status = static_cast<uint32_t>(result.status);
    const uint64_t info = result.information;
    const bool mapFails = options.failMdlMapping && (options.mdlFlags & 0x5u) == 0;
    auto expect = [&](uint32_t wantStatus, uint64_t wantInfo) {
        if (status == wantStatus && info == wantInfo) {
            return std::string();
        }
        return Format(
            "code 0x%08X in %u out %u: status 0x%08X info %llu, expected 0x%08X info "
            "%llu",
            code, inLen, outLen, status, static_cast<unsigned long long>(info), wantStatus,
            static_cast<unsigned long long>(wantInfo));
    };
    auto either = [&](uint32_t a, uint32_t b) {
        if ((status == a || status == b) && info == 0) {
            return std::string();
        }
        return Format(
            "code 0x%08X in %u out %u: status 0x%08X info %llu, expected 0x%08X or "
            "0x%08X with 0 bytes",
            code, inLen, outLen, status, static_cast<unsigned long long>(info), a, b);
    };
    constexpr uint32_t kOk = CORVAX_STATUS_SUCCESS;
    constexpr uint32_t kSmall = CORVAX_STATUS_BUFFER_TOO_SMALL;
    constexpr uint32_t kInvalid = CORVAX_STATUS_INVALID_PARAMETER;
    constexpr uint32_t kFail = CORVAX_STATUS_FAIL_CHECK;
    constexpr uint32_t kNoMap = CORVAX_STATUS_INSUFFICIENT_RESOURCES;
    switch (code) {
        case CORVAX_GET_VERSION:
        case PLX_GET_VERSION:
        case CORVAX_QUERY:
        case CORVAX_QUERY_8618:
            return outLen < 4 ? expect(kSmall, 0) : expect(kOk, 4);
        case CORVAX_ON_BRIDGE:
            return inLen < 4 ? expect(kFail, 0) : either(kOk, kFail);
        case CORVAX_GET_TABLE:
            if (outLen < 4) {
                return expect(kSmall, 0);
            }
            if (mapFails) {
                return expect(kNoMap, 0);
            }
            return outLen < CORVAX_TABLE_SIZE ? expect(kSmall, 4) : expect(kOk, CORVAX_TABLE_SIZE);
        case PLX_QUERY_PCI:
            if (outLen < 4) {
                return expect(kSmall, 0);
            }
            return outLen < CORVAX_QUERY_PCI_SIZE ? expect(kOk, 4)
                                                  : expect(kOk, CORVAX_QUERY_PCI_SIZE);
        case CORVAX_GET_BITMAP:
        case PLX_GET_BITMAP:
            if (outLen < CORVAX_BITMAP_SIZE) {
                return expect(kSmall, outLen >= 4 ? 4 : 0);
            }
            return expect(kOk, CORVAX_BITMAP_SIZE);
        case CORVAX_READ_CONFIG:
        case PLX_READ_CONFIG:
            if (outLen < CORVAX_CONFIG_SIZE) {
                return expect(kSmall, 0);
            }
            if (inLen < 4) {
                return expect(kInvalid, 0);
            }
            return mapFails ? expect(kNoMap, 0) : expect(kOk, CORVAX_CONFIG_SIZE);
        case CORVAX_ENABLE_BRIDGE:
        case PLX_ENABLE:
            return either(kOk, kFail);
        case CORVAX_SET_LED:
        case PLX_SET_LED:
            return inLen < 8 ? expect(kInvalid, 0) : expect(kOk, 0);
        default:
            // Update, rescan, restore, disable, all LEDs, CPM, the ID list, and every unknown
            // code.
            return expect(kOk, 0);
    }
}

void TakeSnapshot(const DeviceExtension& e, RegistrySnapshot* s) {
    std::memcpy(s->deviceIdList, e.DeviceIdList, sizeof(s->deviceIdList));
    std::memcpy(s->bridge, e.Bridge, sizeof(s->bridge));
    std::memcpy(s->onBoard, e.OnBoardSlot, sizeof(s->onBoard));
    s->flags[0] = e.fgPlx8618;
    s->flags[1] = e.fgPlx8732;
    s->flags[2] = e.fgPlx8748;
    std::memcpy(s->saved, e.fgSaved, sizeof(s->saved));
    s->ecamBase = e.EcamBase;
}

std::string CheckRegistryChange(uint32_t code, const RegistrySnapshot& before,
                                const DeviceExtension& after) {
    if (code == CORVAX_UPDATE || code == PLX_UPDATE) {
        return std::string();
    }
    const bool rescan = code == CORVAX_RESCAN || code == PLX_RESCAN ||
                        code == CORVAX_RESCAN_RESTORE || code == PLX_RESCAN_RESTORE;
    const bool idList = code == CORVAX_SET_DEVICE_ID_LIST || code == PLX_SET_DEVICE_ID_LIST;
    if (!idList &&
        std::memcmp(before.deviceIdList, after.DeviceIdList, sizeof(before.deviceIdList)) != 0) {
        return Format("code 0x%08X changed the accepted-vendor list", code);
    }
    if (before.flags[0] != after.fgPlx8618 || before.flags[1] != after.fgPlx8732 ||
        before.flags[2] != after.fgPlx8748 || before.ecamBase != after.EcamBase ||
        std::memcmp(before.saved, after.fgSaved, sizeof(before.saved)) != 0) {
        return Format("code 0x%08X changed the model flags, window base or save marks", code);
    }
    for (uint32_t b = 0; b < corvax::kBridgeRecords; ++b) {
        const PlxBridge& o = before.bridge[b];
        const PlxBridge& n = after.Bridge[b];
        if (!rescan) {
            if (std::memcmp(&o, &n, sizeof(o)) != 0) {
                return Format("code 0x%08X changed switch record %u", code, b);
            }
            continue;
        }
        if (o.pciID != n.pciID || o.bdgPFA != n.bdgPFA || o.OriginalMap != n.OriginalMap ||
            o.PrimaryBus != n.PrimaryBus || o.SecondaryBus != n.SecondaryBus ||
            o.bdgMps != n.bdgMps || o.pBdgSecAddr1 != n.pBdgSecAddr1 ||
            o.pBdgSecAddr2 != n.pBdgSecAddr2 ||
            std::memcmp(o.OriginalSlot, n.OriginalSlot, sizeof(o.OriginalSlot)) != 0) {
            return Format("rescan changed what the update recorded in switch record %u", b);
        }
    }
    for (uint32_t k = 0; k < corvax::kOnBoardSlots; ++k) {
        const DriveSlot& o = before.onBoard[k];
        const DriveSlot& n = after.OnBoardSlot[k];
        if (std::memcmp(&o, &n, sizeof(o)) != 0 && !(rescan && AllZero(n))) {
            return Format("code 0x%08X changed on-board slot %u", code, k);
        }
    }
    return std::string();
}

std::string CheckOutput(const DeviceExtension& e, const SentRequest& s,
                        const sim::IoResult& result) {
    const uint32_t status = static_cast<uint32_t>(result.status);
    const uint32_t out = s.outputLength;
    const uint8_t* before = s.outputBefore;
    const uint8_t* after = s.outputAfter;
    auto unchangedFrom = [&](uint32_t from) {
        for (uint32_t i = from; i < out; ++i) {
            if (before[i] != after[i]) {
                return Format("code 0x%08X (status 0x%08X) changed output byte %u of %u", s.code,
                              status, i, out);
            }
        }
        return std::string();
    };
    auto word = [&](uint32_t offset, uint32_t want, const char* what) {
        const uint32_t got = Load32(after + offset);
        if (got == want) {
            return std::string();
        }
        return Format("code 0x%08X: %s at %u is 0x%X, expected 0x%X", s.code, what, offset, got,
                      want);
    };
    const bool ok = status == CORVAX_STATUS_SUCCESS;
    uint32_t drives = 0;
    for (const PlxBridge& bridge : e.Bridge) {
        if (bridge.bdgPFA == 0) {
            continue;
        }
        for (const DriveSlot& slot : bridge.CurrentSlot) {
            drives += (slot.fgStatus & 0x80) != 0 ? 1 : 0;
        }
    }
    for (const DriveSlot& slot : e.OnBoardSlot) {
        drives += OnBoardValid(slot) ? 1 : 0;
    }
    std::string problem;
    switch (s.code) {
        case CORVAX_GET_VERSION:
        case PLX_GET_VERSION:
            return ok ? word(0, CORVAX_DRIVER_VERSION, "version") : unchangedFrom(0);
        case CORVAX_QUERY:
            return ok ? word(0, drives, "drive count") : unchangedFrom(0);
        case CORVAX_QUERY_8618: {
            const uint32_t model = e.fgPlx8618   ? CORVAX_PLX8618_ID
                                   : e.fgPlx8732 ? CORVAX_PLX8732_ID
                                   : e.fgPlx8748 ? CORVAX_PLX8748_ID
                                                 : 0;
            return ok ? word(0, model, "model") : unchangedFrom(0);
        }
        case CORVAX_ON_BRIDGE: {
            bool found = false;
            if (s.inputLength >= 4) {
                const uint32_t pfa = Load32(s.input);
                for (const PlxBridge& bridge : e.Bridge) {
                    for (const DriveSlot& slot : bridge.OriginalSlot) {
                        found = found || (bridge.bdgPFA != 0 && slot.pciPFA == pfa);
                    }
                }
            }
            if (found != ok) {
                return Format("on-bridge answered 0x%08X, the registry says %s", status,
                              found ? "found" : "not found");
            }
            return unchangedFrom(0);
        }
        case CORVAX_GET_TABLE: {
            if (status == CORVAX_STATUS_BUFFER_TOO_SMALL && result.information == 4) {
                problem = word(0, CORVAX_TABLE_SIZE, "required size");
                return problem.empty() ? unchangedFrom(4) : problem;
            }
            if (!ok) {
                return unchangedFrom(0);
            }
            // Switch drives in record and slot order, then on-board drives; the rest zero.
            std::vector<std::pair<uint32_t, uint32_t>> expected;
            for (const PlxBridge& bridge : e.Bridge) {
                if (bridge.bdgPFA == 0) {
                    continue;
                }
                for (const DriveSlot& slot : bridge.CurrentSlot) {
                    if ((slot.fgStatus & 0x80) != 0) {
                        expected.emplace_back(slot.pciPFA, slot.pciID);
                    }
                }
            }
            for (const DriveSlot& slot : e.OnBoardSlot) {
                if (OnBoardValid(slot)) {
                    expected.emplace_back(slot.pciPFA, slot.pciID);
                }
            }
            const uint32_t capacity = out / 32;
            const uint32_t count = std::min<uint32_t>(capacity, expected.size());
            for (uint32_t k = 0; k < count; ++k) {
                if (Load32(after + 32 * k) != expected[k].first ||
                    Load32(after + 32 * k + 4) != expected[k].second) {
                    return Format(
                        "table entry %u is PFA 0x%X ID 0x%08X, the registry says 0x%X "
                        "0x%08X",
                        k, Load32(after + 32 * k), Load32(after + 32 * k + 4), expected[k].first,
                        expected[k].second);
                }
            }
            for (uint32_t i = 32 * count; i < out; ++i) {
                if (after[i] != 0) {
                    return Format("table byte %u past %u entries is 0x%02X", i, count, after[i]);
                }
            }
            return std::string();
        }
        case PLX_QUERY_PCI: {
            if (!ok) {
                return unchangedFrom(0);
            }
            if (result.information == 4) {
                return word(0, CORVAX_QUERY_PCI_SIZE, "required size");
            }
            for (uint32_t r = 0; r < corvax::kBridgeRecords; ++r) {
                const PlxBridge& bridge = e.Bridge[r];
                const bool shown = !e.fgPlx8618 || bridge.pciID == corvax::kPlx8618Id;
                const uint32_t header[6] = {bridge.pciID,       bridge.bdgPFA,
                                            bridge.OriginalMap, bridge.CurrentMap,
                                            bridge.PrimaryBus,  bridge.SecondaryBus};
                for (uint32_t w = 0; w < 6; ++w) {
                    problem = word(r * 600 + w * 4, shown ? header[w] : 0, "switch image word");
                    if (!problem.empty()) {
                        return problem;
                    }
                }
            }
            return std::string();
        }
        case CORVAX_GET_BITMAP:
        case PLX_GET_BITMAP: {
            if (!ok) {
                return unchangedFrom(0);
            }
            for (uint32_t r = 0; r < corvax::kBridgeRecords; ++r) {
                const PlxBridge& bridge = e.Bridge[r];
                const uint32_t slots = bridge.pciID == corvax::kPlx8618Id   ? 12
                                       : bridge.pciID == corvax::kPlx8732Id ? 4
                                                                            : 0;
                const uint32_t bitmap = Load32(after + 4 * r);
                if ((static_cast<uint64_t>(bitmap) >> slots) != 0) {
                    return Format("bitmap %u is 0x%08X with %u slots", r, bitmap, slots);
                }
            }
            return std::string();
        }
        case CORVAX_READ_CONFIG:
        case PLX_READ_CONFIG: {
            if (!ok) {
                return unchangedFrom(0);
            }
            bool found = false;
            const uint32_t pfa = Load32(s.input);
            for (const PlxBridge& bridge : e.Bridge) {
                for (const DriveSlot& slot : bridge.OriginalSlot) {
                    found = found || (bridge.bdgPFA != 0 && slot.pciPFA == pfa);
                }
            }
            if (!found) {
                for (uint32_t i = 0; i < CORVAX_CONFIG_SIZE; ++i) {
                    if (after[i] != 0) {
                        return Format("header of unknown PFA 0x%X has byte %u = 0x%02X", pfa, i,
                                      after[i]);
                    }
                }
            }
            return unchangedFrom(CORVAX_CONFIG_SIZE);
        }
        case CORVAX_SET_DEVICE_ID_LIST:
        case PLX_SET_DEVICE_ID_LIST: {
            const uint32_t n = std::min<uint32_t>(s.inputLength / 4, corvax::kDeviceIdListEntries);
            uint32_t written = 0;
            for (; written < n; ++written) {
                const uint32_t entry = Load32(s.input + 4 * written);
                if (e.DeviceIdList[written] != entry) {
                    return Format("accepted-vendor entry %u is 0x%X, the caller sent 0x%X", written,
                                  e.DeviceIdList[written], entry);
                }
                if (entry == 0) {
                    ++written;
                    break;
                }
            }
            for (uint32_t i = written; i < corvax::kDeviceIdListEntries; ++i) {
                if (e.DeviceIdList[i] != s.deviceIdListBefore[i]) {
                    return Format("accepted-vendor entry %u changed past the written ones", i);
                }
            }
            return unchangedFrom(0);
        }
        default:
            // No other request writes output, and an unknown code does nothing at all.
            return unchangedFrom(0);
    }
}

WriteTargets TargetsOf(sim::Fabric& fabric) {
    WriteTargets targets;
    for (unsigned s = 0; s < fabric.SwitchCount(); ++s) {
        const unsigned slots = sim::SlotCount(fabric.ModelOf(s));
        for (unsigned slot = 0; slot < slots; ++slot) {
            try {
                targets.ports.insert(fabric.PortPfa(s, slot));
                targets.drives.insert(fabric.DrivePfa(s, slot));
            } catch (const std::exception&) {
                // A slot this machine has no port for.
            }
        }
    }
    return targets;
}

std::string CheckMachineShared(sim::Fabric& fabric) {
    const sim::Violations v = sim::Kernel::Get().GetViolations();
    if (v.Total() != 0) {
        return Format(
            "kernel violations: register %llu information %llu completion %llu "
            "mappings %llu concurrent %llu",
            static_cast<unsigned long long>(v.badRegisterAccess),
            static_cast<unsigned long long>(v.informationTooLarge),
            static_cast<unsigned long long>(v.completedTwice),
            static_cast<unsigned long long>(v.unbalancedMappings),
            static_cast<unsigned long long>(v.concurrentRequests));
    }
    const sim::FaultRecord faults = fabric.Faults();
    if (!faults.strayWrites.empty()) {
        const sim::StrayWrite& w = faults.strayWrites.front();
        return Format("stray write of 0x%X to 0x%llX", w.value,
                      static_cast<unsigned long long>(w.address));
    }
    if (!faults.msixHazards.empty()) {
        const sim::MsixHazard& h = faults.msixHazards.front();
        return Format("MSI-X entry %u of drive 0x%X unmasked with address 0x%llX", h.entry, h.pfa,
                      static_cast<unsigned long long>(h.address));
    }
    if (!faults.driveRegisterWrites.empty()) {
        const sim::DriveRegisterWrite& w = faults.driveRegisterWrites.front();
        return Format("write of 0x%X into the registers of 0x%X at BAR (0x%X) + 0x%llX", w.value,
                      w.pfa, w.bar, static_cast<unsigned long long>(w.offset));
    }
    const sim::Counters c = fabric.GetCounters();
    if (c.strayWrites != 0 || c.interleaveViolations != 0 || c.reservedAddressBits != 0 ||
        c.otherPortAccesses != 0 || c.badMemoryAccesses != 0 || c.ramMappings != 0) {
        return Format(
            "fabric counters: stray %llu interleaved %llu reserved %llu other ports "
            "%llu bad memory %llu RAM mappings %llu",
            static_cast<unsigned long long>(c.strayWrites),
            static_cast<unsigned long long>(c.interleaveViolations),
            static_cast<unsigned long long>(c.reservedAddressBits),
            static_cast<unsigned long long>(c.otherPortAccesses),
            static_cast<unsigned long long>(c.badMemoryAccesses),
            static_cast<unsigned long long>(c.ramMappings));
    }
    return std::string();
}

std::string CheckMachine(sim::Fabric& fabric, const WriteTargets& targets) {
    const sim::MappingCounters m = sim::Kernel::Get().Mappings();
    if (m.liveIoSpace != 0 || m.liveMdls != 0 || m.liveViews != 0) {
        return Format("mappings alive after the request: io %lld mdl %lld view %lld",
                      static_cast<long long>(m.liveIoSpace), static_cast<long long>(m.liveMdls),
                      static_cast<long long>(m.liveViews));
    }
    std::string problem = CheckMachineShared(fabric);
    if (!problem.empty()) {
        return problem;
    }
    // Drives whose Command register the request wrote: the restore writes it last, once their
    // header is back (BAR sizing and payload alignment never write it).
    std::set<uint16_t> restored;
    for (const sim::ConfigWrite& w : fabric.ConfigWrites()) {
        if (!w.answered) {
            continue;  // nothing there: the write vanished
        }
        const bool port = targets.ports.count(w.pfa) != 0 && (w.offset == 0x78 || w.offset == 0x80);
        const bool drive = targets.drives.count(w.pfa) != 0 && w.offset < 0x100;
        if (!port && !drive) {
            problem = Format("configuration write of 0x%X to PFA 0x%04X offset 0x%X", w.value,
                             w.pfa, w.offset);
            break;
        }
        if (drive && w.offset <= 0x04 && w.offset + w.size > 0x04) {
            restored.insert(w.pfa);
        }
    }
    // Memory the driver writes lands where it aims: a PEX 8748's secondary-path block, or the
    // MSI-X table of a drive behind a switch whose header the same request just restored. A
    // write that lands in any other device (an on-board drive, or a drive that took over a
    // recorded address after the system moved things) was aimed at a place that is no longer
    // the device's.
    for (const sim::MemoryWrite& w : fabric.MemoryWrites()) {
        const bool drive = w.target == sim::MemoryTarget::DriveTable ||
                           w.target == sim::MemoryTarget::DriveRegister;
        if (problem.empty() && drive &&
            (targets.drives.count(w.pfa) == 0 || restored.count(w.pfa) == 0)) {
            problem = Format(
                "memory write of 0x%X at 0x%llX landed in drive 0x%04X, which the "
                "request did not restore",
                w.value, static_cast<unsigned long long>(w.address), w.pfa);
        }
    }
    fabric.ClearConfigWrites();
    fabric.ClearMemoryWrites();
    return problem;
}

}  // namespace hardening
