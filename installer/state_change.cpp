// Selecting devices by vendor and device ID or by PCI location and sending them a Plug and Play
// state change; stopping and starting every disk; re-enumerating the device tree.
#include <cstring>

#include "setup_handles.h"
#include "tolvane.h"

namespace tolvane {

namespace {

// Zero-fills the buffer and reads one registry property into it; a property that does not fit
// is not read at all.
bool ReadProperty(const DevInfoSet& set, const SetupDevElement& element, uint32_t property,
                  char (&buffer)[kPropertyBufferSize]) {
    memset(buffer, 0, sizeof(buffer));
    return DiGetDeviceProperty(set.get(), &element, property, reinterpret_cast<uint8_t*>(buffer),
                               kPropertyBufferSize) != 0;
}

// The vendor digits of a PCI hardware ID ("PCI\VEN_vvvv&DEV_dddd") sit at offsets 8 to 11,
// the device digits at 17 to 20; the identifier operand gives them as its first eight
// characters. Only the first ID of the list counts: one shorter than 21 characters lacks some
// of those offsets, and the bytes past its terminator belong to the next ID.
bool HardwareIdMatches(const char (&hardwareIds)[kPropertyBufferSize], const char* operand) {
    if (strlen(operand) < 8 || strnlen(hardwareIds, sizeof(hardwareIds)) < 21) {
        return false;
    }
    const char* firstHardwareId = hardwareIds;
    return memcmp(firstHardwareId + 8, operand, 4) == 0 &&
           memcmp(firstHardwareId + 17, operand + 4, 4) == 0;
}

}  // namespace

bool ChangeDeviceState(SetupDevInfoSet set, const SetupDevElement* element, uint32_t state) {
    if (!DiSetPropChangeParams(set, element, state, SETUP_DICS_FLAG_CONFIGSPECIFIC, 0)) {
        return false;
    }
    return DiCallClassInstaller(SETUP_DIF_PROPERTYCHANGE, set, element) != 0;
}

int32_t ChangeStateById(const char* operand) {
    if (operand == nullptr) {
        return kFailure;
    }
    uint32_t ids = ParseHexField(operand, 8);
    Print("change property => VendorID = 0x%04X, ProductID = 0x%04X\n\r", ids >> 16, ids & 0xFFFFu);

    DevInfoSet set(DiGetClassDevs(nullptr, nullptr, SETUP_DIGCF_PRESENT | SETUP_DIGCF_ALLCLASSES));
    if (!set.valid()) {
        return kFailure;
    }
    char hardwareIds[kPropertyBufferSize];
    char location[kPropertyBufferSize];
    ForEachMember(set, [&](const SetupDevElement& element) {
        if (!ReadProperty(set, element, SETUP_SPDRP_HARDWAREID, hardwareIds) ||
            !ReadProperty(set, element, SETUP_SPDRP_LOCATION_INFORMATION, location)) {
            return;
        }
        int32_t pfa = ParseLocationPfa(location);
        // Function 0 of device 0 is never touched through the identifier form; the device
        // number bits must be set.
        if (HardwareIdMatches(hardwareIds, operand) && (pfa & 0xF8) != 0) {
            // Every command of this form asks for a property change, whatever its name says.
            ChangeDeviceState(set.get(), &element, SETUP_DICS_PROPCHANGE);
        }
    });
    return kSuccess;
}

int32_t ChangeStateByPfa(const char* operand, uint32_t state) {
    if (operand == nullptr) {
        return kFailure;
    }
    const char* digits = operand + strnlen(operand, strlen(kPfaPrefix));
    bool digitRead = false;
    int32_t pfa = static_cast<int32_t>(ParseHexField(digits, 4, &digitRead));
    // An operand whose field holds no digit names no function; read as 0 it would reach
    // 00:00.0, the host bridge. It is refused like a missing operand, before any PFA is shown.
    if (!digitRead) {
        return kFailure;
    }
    Print("change property by PFA => PFA = 0x%04X\n\r", static_cast<unsigned>(pfa));

    DevInfoSet set(DiGetClassDevs(nullptr, nullptr, SETUP_DIGCF_PRESENT | SETUP_DIGCF_ALLCLASSES));
    if (!set.valid()) {
        return kFailure;
    }
    char location[kPropertyBufferSize];
    ForEachMember(set, [&](const SetupDevElement& element) {
        if (!ReadProperty(set, element, SETUP_SPDRP_LOCATION_INFORMATION, location)) {
            return;
        }
        // A device without a PCI location text has no PFA at all; reading it as 0 would let
        // "PCI:0000" reach every such device.
        if (HasPciLocation(location) && ParseLocationPfa(location) == pfa) {
            ChangeDeviceState(set.get(), &element, state);
        }
    });
    return kSuccess;
}

int32_t RestartDisks() {
    DevInfoSet set(DiGetClassDevs(&kGuidDevinterfaceDisk, nullptr,
                                  SETUP_DIGCF_PRESENT | SETUP_DIGCF_DEVICEINTERFACE));
    if (!set.valid()) {
        return kSuccess;
    }
    ForEachMember(set, [&](const SetupDevElement& element) {
        // A disk that refused to stop is left running rather than started twice.
        if (ChangeDeviceState(set.get(), &element, SETUP_DICS_STOP)) {
            ChangeDeviceState(set.get(), &element, SETUP_DICS_START);
        }
    });
    return kSuccess;
}

int32_t RescanDevices(bool synchronous) {
    uint32_t root = 0;
    if (CmLocateDevNode(&root, nullptr, SETUP_CM_LOCATE_DEVNODE_NORMAL) != SETUP_CR_SUCCESS) {
        return kFailure;
    }
    uint32_t flags =
        synchronous ? SETUP_CM_REENUMERATE_SYNCHRONOUS : SETUP_CM_REENUMERATE_ASYNCHRONOUS;
    return CmReenumerateDevNode(root, flags) == SETUP_CR_SUCCESS ? kSuccess : kFailure;
}

}  // namespace tolvane
