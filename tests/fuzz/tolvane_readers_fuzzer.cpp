// Fuzz target of Tolvane's text readers and command line. The first byte picks what is fed:
// ParseHexField (its value, and whether it read any digit, checked against a reading of its
// rules written here, on a buffer exactly as long as the text so a read past the count is
// caught), ParseLocationPfa and HasPciLocation (likewise), or a whole command line run on a
// small simulated device tree (exit code, nothing left open).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_tree.h"
#include "tolvane.h"

namespace {

[[noreturn]] void Finding(const char* what, const std::string& text, long got, long want) {
    std::fprintf(stderr, "tolvane readers finding: %s of \"%s\" gave %ld, expected %ld\n", what,
                 text.c_str(), got, want);
    std::abort();
}

int Digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// At most n characters, never past the terminator; leading zeros and x's are a prefix.
uint32_t ReferenceHex(const char* text, size_t available, uint32_t n, bool* digitRead) {
    uint32_t value = 0;
    *digitRead = false;
    for (size_t i = 0; i < n && i < available && text[i] != '\0'; ++i) {
        const int d = Digit(text[i]);
        if (d >= 0) {
            value = value * 16u + static_cast<uint32_t>(d);
            *digitRead = true;
        } else if ((text[i] == 'x' || text[i] == 'X') && value == 0) {
            continue;
        } else {
            break;
        }
    }
    return value;
}

// "PCI", then three decimal runs: bus, device, one function digit (8 and 9 read as 0).
int32_t ReferencePfa(const std::string& text, bool* digitRead) {
    *digitRead = false;
    if (text.compare(0, 3, "PCI") != 0) {
        return 0;
    }
    uint32_t parts[3] = {0, 0, 0};
    int run = 0;
    bool inDigits = false;
    for (size_t i = 3; i < text.size() && text[i] != '\0'; ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            inDigits = true;
            *digitRead = true;
            const uint32_t d = static_cast<uint32_t>(c - '0');
            if (run < 2) {
                parts[run] = parts[run] * 10u + d;
            } else {
                parts[2] = d < 8 ? d : 0;
                break;
            }
        } else if (inDigits) {
            ++run;
            inDigits = false;
        }
    }
    return static_cast<int32_t>((parts[0] & 0xFF) << 8 | (parts[1] & 0x1F) << 3 | (parts[2] & 7));
}

void RunCommandLine(const uint8_t* data, size_t size) {
    simdev::Reset();
    simdev::AddDevice(
        simdev::PciDevice("PCI\\VEN_1F0A&DEV_0710\\4&1", "PCI\\VEN_1F0A&DEV_0710", 3, 0, 0));
    simdev::AddDevice(
        simdev::PciDevice("PCI\\VEN_8086&DEV_0A54\\4&2", "PCI\\VEN_8086&DEV_0A54", 5, 2, 1));
    std::vector<std::string> args = {"C:\\tools\\tolvane.exe"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 6; ++i) {
        if (data[i] == '\n') {
            args.push_back(current);
            current.clear();
        } else if (data[i] != 0) {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty() && args.size() < 6) {
        args.push_back(current);
    }
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    const int code = tolvane::RunTolvane(static_cast<int>(args.size()), argv.data());
    const simdev::World& world = simdev::Tree();
    if (code != 0 && code != 2 && code != -1) {
        Finding("exit code", args.size() > 1 ? args[1] : "", code, 0);
    }
    if (world.openSets != 0 || world.openModules != 0) {
        Finding("sets and modules left open", args.size() > 1 ? args[1] : "",
                world.openSets + world.openModules, 0);
    }
    if (world.console.rfind("Tolvane Version:1.0.0.0", 0) != 0) {
        Finding("banner", world.console, 0, 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0] % 3;
    const uint8_t count = data[1];
    data += 2;
    size -= 2;
    if (mode == 0) {
        // No terminator: the count and the buffer's end are the only limits.
        std::vector<char> text(data, data + size);
        const uint32_t n = static_cast<uint32_t>(count % (size + 1));
        bool gotDigit = false;
        bool wantDigit = false;
        const uint32_t got = tolvane::ParseHexField(text.data(), n, &gotDigit);
        const uint32_t want = ReferenceHex(text.data(), size, n, &wantDigit);
        if (got != want) {
            Finding("ParseHexField", std::string(text.begin(), text.end()), got, want);
        }
        if (gotDigit != wantDigit) {
            Finding("ParseHexField digit read", std::string(text.begin(), text.end()), gotDigit,
                    wantDigit);
        }
    } else if (mode == 1) {
        std::string text(reinterpret_cast<const char*>(data), size);
        text = text.c_str();  // up to the first NUL, as the system hands it over
        bool gotDigit = false;
        bool wantDigit = false;
        const int32_t got = tolvane::ParseLocationPfa(text.c_str(), &gotDigit);
        const int32_t want = ReferencePfa(text, &wantDigit);
        if (got != want) {
            Finding("ParseLocationPfa", text, got, want);
        }
        if (gotDigit != wantDigit) {
            Finding("ParseLocationPfa digit read", text, gotDigit, wantDigit);
        }
        if (tolvane::HasPciLocation(text.c_str()) != (text.compare(0, 3, "PCI") == 0)) {
            Finding("HasPciLocation", text, 0, 1);
        }
    } else {
        RunCommandLine(data, size);
    }
    return 0;
}
