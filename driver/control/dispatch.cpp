// The control-request dispatcher: one frame for every control code, one handler per operation.
#include "driver/control/dispatch.h"

#include <string.h>

namespace corvax {

uint8_t* DirectOutput(const ControlRequest& r) {
    if (!KernRequestHasMdl(r.request)) {
        return nullptr;
    }
    const uint16_t flags = KernRequestMdlFlags(r.request);
    if ((flags & (KERN_MDL_MAPPED_TO_SYSTEM_VA | KERN_MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return static_cast<uint8_t*>(KernRequestMdlMappedSystemVa(r.request));
    }
    return static_cast<uint8_t*>(KernMapRequestMdl(r.request));
}

bool ReadInputUlong(const ControlRequest& r, uint32_t index, uint32_t* value) {
    if (r.systemBuffer == nullptr || r.inputLength < (index + 1) * 4) {
        return false;
    }
    memcpy(value, static_cast<const uint8_t*>(r.systemBuffer) + index * 4, 4);
    return true;
}

void StoreUlong(uint8_t* output, uint32_t offset, uint32_t value) {
    memcpy(output + offset, &value, 4);
}

void HandleGetVersion(ControlRequest& r) {
    KernDebugPrint("Corvax2 : CORVAX_GET_VERSION/PLX_GET_VERSION\n");
    uint8_t* output = BufferedOutput(r);
    if (r.outputLength < 4 || output == nullptr) {
        r.status = KERN_STATUS_BUFFER_TOO_SMALL;
        return;
    }
    StoreUlong(output, 0, CORVAX_DRIVER_VERSION);
    r.information = 4;
}

void HandleSetDeviceIdList(ControlRequest& r) {
    uint32_t n = r.inputLength / 4;
    if (n > kDeviceIdListEntries) {
        n = kDeviceIdListEntries;
    }
    const uint8_t* input = static_cast<const uint8_t*>(r.systemBuffer);
    for (uint32_t i = 0; i < n && input != nullptr; ++i) {
        uint32_t entry;
        memcpy(&entry, input + i * 4, 4);
        r.extension->DeviceIdList[i] = entry;
        KernDebugPrint("Corvax2 : set device id list (%d = 0x%08X)\n", static_cast<int>(i),
                       entry);
        if (entry == 0) {
            break;
        }
    }
}

namespace {

// Selects the handler by the full 32-bit code; an unknown code has none.
void RunHandler(ControlRequest& r) {
    switch (r.code) {
        case CORVAX_GET_VERSION:
        case PLX_GET_VERSION:
            HandleGetVersion(r);
            break;
        case CORVAX_SET_DEVICE_ID_LIST:
        case PLX_SET_DEVICE_ID_LIST:
            HandleSetDeviceIdList(r);
            break;
        default:
            break;
    }
}

}  // namespace

}  // namespace corvax

extern "C" KernStatus CorvaxControlDispatch(KernDevice* device, KernRequest* request) {
    using namespace corvax;
    KernControlParameters parameters;
    KernGetControlParameters(request, &parameters);

    ControlRequest r;
    r.extension = static_cast<DeviceExtension*>(KernDeviceExtension(device));
    r.request = request;
    r.inputLength = parameters.InputLength;
    r.outputLength = parameters.OutputLength;
    r.code = parameters.ControlCode;
    r.systemBuffer = parameters.SystemBuffer;
    r.status = KERN_STATUS_SUCCESS;
    r.information = 0;

    // One request at a time: handlers read and rewrite the registry and the switch registers.
    KernRequestLockAcquire();
    RunHandler(r);
    KernRequestLockRelease();

    const KernStatus status = r.status;
    KernCompleteRequest(request, status, r.information);
    return status;
}
