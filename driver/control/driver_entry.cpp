// Driver entry and unload, the control device and its link, and the default request routine.
#include <string.h>

#include "driver/kernel/kernel.h"
#include "driver/topology/pci_access.h"
#include "driver/topology/registry.h"
#include "driver/topology/topology.h"

// Never read by the code: it lets a person find the version in the image with a text search.
extern "C" {
__attribute__((used)) char CorvaxVersionMarker[] = "Drv Ver:2.0.1.20";
}

namespace corvax {
namespace {

const char kVersionText[] = "2.0.1.20";
const char kSupportedProducts[] = "QX7102/QX7103/QX7103LT/RS500K Supported";
const char16_t kDeviceName[] = u"\\Device\\CorvaxDevice";
const char16_t kLinkName[] = u"\\DosDevices\\CorvaxDev";

void CopyDefaultDeviceIdList(DeviceExtension* extension) {
    for (uint32_t i = 0; i < kDeviceIdListEntries; ++i) {
        const uint32_t entry = DefaultDeviceIdList[i];
        extension->DeviceIdList[i] = entry;
        KernDebugPrint("Corvax2 : set device id list (%d = 0x%08X)\n", static_cast<int>(i), entry);
        if (entry == 0) {
            break;
        }
    }
}

KernStatus CreateControlDevice(KernDriver* driver) {
    KernDebugPrint("Corvax2 : Create Device\n");

    KernUnicodeString deviceName;
    KernInitUnicodeString(&deviceName, kDeviceName);
    KernDevice* device = nullptr;
    // Secure open: the device's own security descriptor also guards names opened beneath it.
    KernStatus status =
        KernCreateDevice(driver, sizeof(DeviceExtension), &deviceName, KERN_FILE_DEVICE_UNKNOWN,
                         KERN_FILE_DEVICE_SECURE_OPEN, 0, &device);
    if (status < 0) {
        return status;
    }

    DeviceExtension* extension = static_cast<DeviceExtension*>(KernDeviceExtension(device));
    memset(extension, 0, sizeof(*extension));
    extension->DeviceObject = device;
    KernInitUnicodeString(&extension->DeviceName, kDeviceName);
    KernInitUnicodeString(&extension->SymbolicLinkName, kLinkName);

    // A device that cuts storage links and writes configuration headers is for SYSTEM and
    // Administrators only; it is never exposed with the default, open descriptor.
    status = KernRestrictDeviceToAdministrators(device);
    if (status < 0) {
        KernDeleteDevice(device);
        return status;
    }

    status = KernCreateSymbolicLink(&extension->SymbolicLinkName, &extension->DeviceName);
    if (status < 0) {
        // A link left behind by an earlier instance: remove it and try once more.
        KernDeleteSymbolicLink(&extension->SymbolicLinkName);
        status = KernCreateSymbolicLink(&extension->SymbolicLinkName, &extension->DeviceName);
        if (status < 0) {
            KernDeleteSymbolicLink(&extension->SymbolicLinkName);
            KernDeleteDevice(device);
            return status;
        }
    }

    PciInitializeEcam(extension);
    CopyDefaultDeviceIdList(extension);
    UpdateTopology(extension);

    KernSetDeviceFlags(device, KERN_DO_BUFFERED_IO, KERN_DO_DEVICE_INITIALIZING);
    extension->fgLinkCreated = 1;
    return KERN_STATUS_SUCCESS;
}

void RemoveControlDevice(KernDriver* driver) {
    KernDebugPrint("Corvax2 : Remove Device\n");
    KernDevice* device = KernDriverDevice(driver);
    if (device == nullptr) {
        return;
    }
    DeviceExtension* extension = static_cast<DeviceExtension*>(KernDeviceExtension(device));
    if (extension->fgLinkCreated) {
        KernUnicodeString linkName;
        KernInitUnicodeString(&linkName, kLinkName);
        KernDeleteSymbolicLink(&linkName);
    }
    KernDeleteDevice(extension->DeviceObject);
}

}  // namespace
}  // namespace corvax

extern "C" KernStatus CorvaxDriverEntry(KernDriver* driver) {
    using namespace corvax;
    KernDebugPrint("Corvax2 : Driver loaded(%s)\n", kVersionText);
    KernDebugPrint("Corvax2 : %s\n", kSupportedProducts);
    KernRequestLockInitialize();
    KernFindMappingRoutines();
    // Before anything is mapped: every mapping is checked against these ranges.
    KernTakeSystemRamRanges();
    KernInstallDispatchRoutines(driver);
    const KernStatus status = CreateControlDevice(driver);
    if (status < 0) {
        return status;
    }
    KernInstallUnloadRoutine(driver);
    return KERN_STATUS_SUCCESS;
}

extern "C" void CorvaxDriverUnload(KernDriver* driver) {
    corvax::RemoveControlDevice(driver);
    KernDebugPrint("Corvax2 : Driver unloaded\n");
}

extern "C" KernStatus CorvaxDefaultDispatch(KernDevice* device, KernRequest* request) {
    KernCompleteRequest(request, KERN_STATUS_SUCCESS, 0);
    return KERN_STATUS_SUCCESS;
}
