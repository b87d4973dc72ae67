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
#ifdef CORVAX_FAULT_INFORMATION_PAST_BUFFER
    r.information = r.outputLength + 4;
#else
    r.information = 4;
#endif
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
        KernDebugPrint("Corvax2 : set device id list (%d = 0x%08X)\n", static_cast<int>(i), entry);
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
        case CORVAX_QUERY:
            HandleQuery(r);
            break;
        case CORVAX_QUERY_8618:
            HandleQuery8618(r);
            break;
        case CORVAX_ON_BRIDGE:
            HandleOnBridge(r);
            break;
        case CORVAX_GET_TABLE:
            HandleGetTable(r);
            break;
        case PLX_QUERY_PCI:
            HandleQueryPci(r);
            break;
        case CORVAX_GET_BITMAP:
        case PLX_GET_BITMAP:
            HandleGetBitmap(r);
            break;
        case CORVAX_READ_CONFIG:
        case PLX_READ_CONFIG:
            HandleReadConfig(r);
            break;
        case CORVAX_UPDATE:
        case PLX_UPDATE:
            HandleUpdate(r);
            break;
        case CORVAX_RESCAN:
        case PLX_RESCAN:
            HandleRescan(r);
            break;
        case CORVAX_RESCAN_RESTORE:
        case PLX_RESCAN_RESTORE:
            HandleRescanRestore(r);
            break;
        case CORVAX_DISABLE_BRIDGE:
        case PLX_DISABLE:
            HandleDisableBridge(r);
            break;
        case CORVAX_ENABLE_BRIDGE:
        case PLX_ENABLE:
            HandleEnableBridge(r);
            break;
        case CORVAX_SET_LED:
        case PLX_SET_LED:
            HandleSetLed(r);
            break;
        case CORVAX_SET_LED_ALL:
        case PLX_SET_LED_ALL:
            HandleSetLedAll(r);
            break;
        case CORVAX_CLR_CPM:
            HandleClearCpm(r);
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
    // A direct request's output is what its descriptor list describes: a kernel-mode sender
    // may pass a list shorter than the output length it gives, and nothing may be written
    // past the list.
    if ((r.code & 3u) == CORVAX_METHOD_OUT_DIRECT && KernRequestHasMdl(request)) {
        const uint32_t listBytes = KernRequestMdlByteCount(request);
        if (listBytes < r.outputLength) {
            r.outputLength = listBytes;
        }
    }

    // One request at a time: handlers read and rewrite the registry and the switch registers.
    KernRequestLockAcquire();
    RunHandler(r);
#ifndef CORVAX_FAULT_REQUEST_LOCK_KEPT
    KernRequestLockRelease();
#endif

    const KernStatus status = r.status;
    KernCompleteRequest(request, status, r.information);
#ifdef CORVAX_FAULT_COMPLETED_TWICE
    KernCompleteRequest(request, status, r.information);
#endif
    return status;
}
