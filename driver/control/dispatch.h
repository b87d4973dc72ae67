// The control-request frame and the handlers it selects.
#ifndef CORVAX_DISPATCH_H
#define CORVAX_DISPATCH_H

#include <stdint.h>

#include "driver/control/corvax_ioctl.h"
#include "driver/kernel/kernel.h"
#include "driver/topology/registry.h"

namespace corvax {

// What one handler is given and what it produces.
struct ControlRequest {
    DeviceExtension* extension;
    KernRequest* request;
    uint32_t inputLength;
    uint32_t outputLength;
    uint32_t code;
    void* systemBuffer;    // input of both methods; output of METHOD_BUFFERED
    KernStatus status;     // starts as success
    uint32_t information;  // starts as 0
};

// The output of a METHOD_BUFFERED request: the system buffer.
inline uint8_t* BufferedOutput(const ControlRequest& r) {
    return static_cast<uint8_t*>(r.systemBuffer);
}

// The system address of a METHOD_OUT_DIRECT request's output pages, or null when the request
// has none or its pages cannot be mapped.
uint8_t* DirectOutput(const ControlRequest& r);

// Reads the first input dword; false when the input holds fewer than four bytes.
bool ReadInputUlong(const ControlRequest& r, uint32_t index, uint32_t* value);
// Stores a little-endian dword into an output buffer.
void StoreUlong(uint8_t* output, uint32_t offset, uint32_t value);

void HandleGetVersion(ControlRequest& r);
void HandleSetDeviceIdList(ControlRequest& r);

// Registry queries.
void HandleQuery(ControlRequest& r);
void HandleQuery8618(ControlRequest& r);
void HandleOnBridge(ControlRequest& r);
void HandleGetTable(ControlRequest& r);
void HandleQueryPci(ControlRequest& r);
void HandleGetBitmap(ControlRequest& r);
void HandleReadConfig(ControlRequest& r);

// Topology and hardware control.
void HandleUpdate(ControlRequest& r);
void HandleRescan(ControlRequest& r);
void HandleRescanRestore(ControlRequest& r);
void HandleDisableBridge(ControlRequest& r);
void HandleEnableBridge(ControlRequest& r);
void HandleSetLed(ControlRequest& r);
void HandleSetLedAll(ControlRequest& r);
void HandleClearCpm(ControlRequest& r);

}  // namespace corvax

#endif  // CORVAX_DISPATCH_H
