// corvaxctl on Windows: the Corvax control device through CreateFileA and DeviceIoControl.
//
// The handle is opened for overlapped I/O so that the OVERLAPPED block reports what the driver
// completed a successful request with: Internal holds the NTSTATUS and InternalHigh the byte
// count. A request that fails at once leaves that block alone and GetLastError gives only the
// Win32 error the status was translated to; the status itself is still in the thread's last
// status value, which ntdll's RtlGetLastNtStatus returns.
#include <windows.h>

#include <memory>
#include <string>

#include "driver/control/corvax_ioctl.h"
#include "tools/corvaxctl/decode.h"
#include "tools/corvaxctl/transport.h"
#include "tools/corvaxctl/windows_support.h"

namespace corvaxctl {

struct Transport::Impl {
    UniqueHandle device;
    UniqueHandle event;
};

Transport::Transport(const TransportOptions& options) : impl_(std::make_unique<Impl>()) {
    if (!options.fabricPath.empty()) {
        throw UsageError(
            "--fabric describes a simulated machine; this build talks to the real "
            "device");
    }
    HANDLE h = CreateFileA(CORVAX_USER_PATH, GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        throw UsageError(std::string("cannot open ") + CORVAX_USER_PATH + ": " + ErrorText(error) +
                         " (is the Corvax driver loaded?)");
    }
    impl_->device.reset(h);
    impl_->event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!impl_->event) {
        throw UsageError("cannot create an event: " + ErrorText(GetLastError()));
    }
}

Transport::~Transport() = default;

bool Transport::Simulated() {
    return false;
}

std::optional<MachineInfo> Transport::Machine() const {
    return std::nullopt;
}

bool Transport::Ready() const {
    return true;
}

Reply Transport::Send(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) {
    Reply reply;
    reply.output.assign(outputLength, 0xCC);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = impl_->event.get();
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(
        impl_->device.get(), code, input.empty() ? nullptr : const_cast<uint8_t*>(input.data()),
        static_cast<DWORD>(input.size()), reply.output.empty() ? nullptr : reply.output.data(),
        outputLength, &returned, &overlapped);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        GetOverlappedResult(impl_->device.get(), &overlapped, &returned, TRUE);
        reply.status = static_cast<uint32_t>(overlapped.Internal);
        reply.information = static_cast<uint64_t>(overlapped.InternalHigh);
        return reply;
    }
    // Failed synchronously: nothing was copied back, the byte count is lost with the block.
    using LastNtStatus = LONG(WINAPI*)();
    const auto lastNtStatus = reinterpret_cast<LastNtStatus>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetLastNtStatus")));
    reply.status = lastNtStatus ? static_cast<uint32_t>(lastNtStatus()) : 0xC0000001u;
    reply.information = 0;
    return reply;
}

std::vector<std::string> Transport::TakeLog() {
    return {};
}

std::optional<MachineCounters> Transport::Counters() const {
    return std::nullopt;
}

uint64_t Transport::ClockUs() const {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<uint64_t>(now.QuadPart);
    const auto perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

void Transport::Sleep(uint64_t us) {
    // Sleep takes milliseconds and may wake late, never early; rounding up keeps it so.
    ::Sleep(static_cast<DWORD>((us + 999) / 1000));
}

uint32_t Transport::Simulate(const SimAction&) {
    throw UsageError("'sim' acts on the simulated machine; this build talks to the real device");
}

}  // namespace corvaxctl
