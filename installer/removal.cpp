// Removing device nodes by setup class, manufacturer, NVMe description or PCI location, and
// listing instance IDs for any other selector.
#include <cstring>

#include "setup_handles.h"
#include "tolvane.h"

namespace tolvane {

namespace {

constexpr const char* kMakerKey = "Marlowtronics";
constexpr const char* kNvmeKey = "NVM Express";
constexpr size_t kKeyLength = 7;

// True when the first seven characters of the key occur anywhere in the text.
bool ContainsKey(const char* text, size_t textLength, const char* key) {
    for (size_t start = 0; start + kKeyLength <= textLength; ++start) {
        if (memcmp(text + start, key, kKeyLength) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

SelectorKind DecideSelectorKind(const char* selector, const SetupGuid* classGuid) {
    if (classGuid != nullptr) {
        return SelectorKind::Class;
    }
    if (strncmp(selector, kMakerKey, kKeyLength) == 0) {
        return SelectorKind::Maker;
    }
    if (strncmp(selector, kNvmeKey, kKeyLength) == 0) {
        return SelectorKind::Nvme;
    }
    if (strncmp(selector, kPfaPrefix, strlen(kPfaPrefix)) == 0) {
        return SelectorKind::Location;
    }
    return SelectorKind::Listing;
}

bool RemoveDevice(SetupDevInfoSet set, const SetupDevElement* element) {
    if (!DiSetRemoveParams(set, element, SETUP_DI_REMOVEDEVICE_GLOBAL, 0)) {
        return false;
    }
    return DiCallClassInstaller(SETUP_DIF_REMOVE, set, element) != 0;
}

int32_t RemoveDevices(const char* selector, const SetupGuid* classGuid) {
    if (selector == nullptr && classGuid == nullptr) {
        return kFailure;
    }
    SelectorKind kind = DecideSelectorKind(selector, classGuid);
    bool digitRead = false;
    int32_t selectorPfa =
        kind == SelectorKind::Location ? ParseLocationPfa(selector, &digitRead) : 0;
    // A location selector without a single decimal digit names no function; read as 0 it
    // would remove whatever sits at 00:00.0, the host bridge.
    if (kind == SelectorKind::Location && !digitRead) {
        return kFailure;
    }
    DevInfoSet set(
        kind == SelectorKind::Class
            ? DiGetClassDevs(classGuid, nullptr, SETUP_DIGCF_PRESENT)
            : DiGetClassDevs(nullptr, nullptr, SETUP_DIGCF_PRESENT | SETUP_DIGCF_ALLCLASSES));
    if (!set.valid()) {
        return kFailure;
    }

    char property[kPropertyBufferSize];
    ForEachMember(set, [&](const SetupDevElement& element) {
        memset(property, 0, sizeof(property));
        uint8_t* raw = reinterpret_cast<uint8_t*>(property);
        switch (kind) {
            case SelectorKind::Class:
                RemoveDevice(set.get(), &element);
                break;
            case SelectorKind::Maker:
            case SelectorKind::Nvme: {
                uint32_t which =
                    kind == SelectorKind::Maker ? SETUP_SPDRP_MFG : SETUP_SPDRP_DEVICEDESC;
                if (!DiGetDeviceProperty(set.get(), &element, which, raw, sizeof(property))) {
                    break;
                }
                // A peer may fill the whole buffer without a terminator; never read past it.
                if (ContainsKey(property, strnlen(property, sizeof(property)), selector)) {
                    RemoveDevice(set.get(), &element);
                }
                break;
            }
            case SelectorKind::Location:
                if (!DiGetDeviceProperty(set.get(), &element, SETUP_SPDRP_LOCATION_INFORMATION, raw,
                                         sizeof(property))) {
                    break;
                }
                // Only a PCI location text carries a PFA; others would all read as 0 and
                // fall to "PCI:0".
                if (HasPciLocation(property) && ParseLocationPfa(property) == selectorPfa) {
                    RemoveDevice(set.get(), &element);
                }
                break;
            case SelectorKind::Listing: {
                // Cleared before every call: a peer that reports success without writing must
                // not make the previous device's ID (or stack garbage) appear again.
                char instanceId[kInstanceIdBufferSize] = {};
                if (CmGetDeviceId(element.devInst, instanceId, kInstanceIdBufferSize, 0) ==
                        SETUP_CR_SUCCESS &&
                    instanceId[0] != '\0') {
                    Print("%.*s\r\n", static_cast<int>(strnlen(instanceId, sizeof(instanceId))),
                          instanceId);
                }
                break;
            }
        }
    });
    return kSuccess;
}

}  // namespace tolvane
