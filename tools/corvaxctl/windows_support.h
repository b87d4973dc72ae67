// What corvaxctl's Windows sources share: the system's text of an error and a handle that
// closes itself. Windows builds only.
#ifndef CORVAXCTL_WINDOWS_SUPPORT_H
#define CORVAXCTL_WINDOWS_SUPPORT_H

#include <windows.h>

#include <memory>
#include <string>

namespace corvaxctl {

// The system's own words for an error, without the trailing line break and full stop.
inline std::string ErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n ? std::string(text, n) : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}

struct HandleCloser {
    void operator()(void* h) const {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

}  // namespace corvaxctl

#endif  // CORVAXCTL_WINDOWS_SUPPORT_H
