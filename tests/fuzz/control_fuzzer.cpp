// Fuzz target of the control interface. An input picks one of the example machines, optionally
// arms a fault for the load, then runs a sequence of steps: control requests (any of the 28
// codes, used functions with another method, unknown functions, raw codes; input and output
// lengths of every size; buffered and direct, with descriptor flags and failing output
// mappings) interleaved with hardware events (drives pulled, inserted and replaced, links
// stuck, mapping steps and single accesses failing, the 8748's blocks not answering, on-board
// drives coming and going, the system moving BARs and windows, the driver reloaded, time
// passing while links train and drives start). Requests in any order reach drives whenever they
// come, also sooner after a link trained than a client should send them: the machine counts those,
// and nothing here holds the driver to it. After the load and after every request the whole set of
// checks runs; the first problem aborts with its description.
//
// Input layout (every read past the end gives zeros):
//   byte 0  machine: bits 3:0 the example (modulo their number), bits 7:4 a host bridge put
//           in place of the example's own (HostBridgeVariants(), modulo their number; 0
//           keeps the example's)
//   byte 1  0xFF: the load may fail somewhere, as byte 2 says. Any other value: the input
//           starts from the image of a clean load, which costs far less than a load. (The
//           fault sweep already fails every single access and mapping step of every load
//           once; here inputs with load faults are the ones the fuzzer's choice of bytes and
//           its coverage make of them.)
//   byte 2  (after 0xFF only)
//           bit 0: arm an access fault for the load (kind in bits 2:1, then a 16-bit index)
//           bits 4:3: arm a mapping-step fault for the load (step + 1, then a byte index)
//   then steps, each starting with an opcode byte (see Step()).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/control/corvax_ioctl.h"
#include "tests/fuzz/control_machine.h"

namespace {

using hardening::Machine;

// Short sequences keep an execution cheap: an update or a rescan reads every header byte by
// byte and costs as much as a hundred queries, and a fuzzer finds more by running many short
// sequences than few long ones. Every reproducer kept in the corpus still catches the driver
// without its fix within eight steps; longer seeds are kept cut into pieces of eight.
constexpr size_t kMaxSteps = 8;
constexpr uint32_t kMaxInput = 1200;

class Stream {
  public:
    Stream(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Drives a test machine can receive; each passes the fabric's own validation.
const std::vector<sim::DriveDescription>& DrivePalette() {
    static const std::vector<sim::DriveDescription> palette = [] {
        using D = sim::DriveDescription;
        const D candidates[] = {
            D::Make(0x1F0A, 0x0710).WithMsix(0x2000, 32),
            D::Make(0x8086, 0x0A54).WithMsix(0x2000, 129),
            D::Make(0x1B4B, 0x1092),
            D::Make(0x144D, 0xA808).WithBar0(0, 0x8000).WithMsix(0x3000, 33),
            D::Make(0x1F0A, 0x0711).WithMsix(0x2004, 8),
            D::Make(0x1344, 0x51A2).WithBar0(0, 0x10000).WithMsix(0xF000, 256),
            D::Make(0x1CC4, 0x6303).WithMsix(0x2000, 1).WithMaxPayload(512),
            D::Make(0x10B5, 0x8748).WithMsix(0x2000, 4),
        };
        std::vector<D> out;
        for (const D& d : candidates) {
            try {
                sim::ValidateDrive(d, "drive");
                out.push_back(d);
            } catch (const std::exception&) {
            }
        }
        return out;
    }();
    return palette;
}

[[noreturn]] void Finding(const std::string& problem) {
    std::fprintf(stderr, "control fuzzer finding: %s\n", problem.c_str());
    std::fflush(stderr);
    std::abort();
}

void Check(const std::string& problem) {
    if (!problem.empty()) {
        Finding(problem);
    }
}

uint32_t PickCode(Stream& in) {
    const uint8_t selector = in.Byte();
    if (selector < 224) {
        return hardening::kControlCodes[selector % 28];
    }
    if (selector < 240) {
        // A used function with another transfer method (or another access value).
        const uint32_t code = hardening::kControlCodes[in.Byte() % 28];
        const uint8_t change = in.Byte();
        if (change & 0x80) {
            return code | ((1u + (change & 3u)) << 14);
        }
        return (code & ~3u) | (((code & 3u) + 1u + (change % 3u)) & 3u);
    }
    if (selector < 248) {
        // Somewhere in and around the two families' function ranges.
        return CORVAX_CTL_CODE(0x4F0u + in.U16() % 0x190u, in.Byte() & 3u);
    }
    return in.U32();
}

uint32_t PickOutputLength(Stream& in) {
    static const uint32_t kLengths[] = {0,    1,    3,    4,    8,    11,   12,   13,
                                        255,  256,  257,  512,  1020, 1023, 1024, 1025,
                                        1799, 1800, 1801, 2048, 2100, 4096, 32,   64};
    const uint8_t selector = in.Byte();
    if (selector < 192) {
        return kLengths[selector % (sizeof(kLengths) / sizeof(kLengths[0]))];
    }
    return in.U16() % 4200u;
}

void FillInput(Stream& in, Machine& m, std::vector<uint8_t>& input) {
    const uint8_t lengthSelector = in.Byte();
    const uint32_t length = lengthSelector < 200 ? lengthSelector % 13u : in.U16() % kMaxInput;
    input.assign(length, 0);
    const uint8_t mode = in.Byte() % 4;
    uint32_t start = 0;
    if (mode == 1 && length >= 4) {
        // A PFA the registry may know: a drive or port of this machine, or one near it.
        const auto& drives = m.Targets().drives;
        const auto& ports = m.Targets().ports;
        uint32_t pfa = 0;
        const uint8_t which = in.Byte();
        if ((which & 0xC0) == 0 && !drives.empty()) {
            pfa = *std::next(drives.begin(), which % drives.size());
        } else if ((which & 0xC0) == 0x40 && !ports.empty()) {
            pfa = *std::next(ports.begin(), which % ports.size());
        } else if ((which & 0xC0) == 0x80) {
            pfa = static_cast<uint32_t>(which & 0x3F) << 8;
        } else {
            pfa = in.U32();
        }
        std::memcpy(input.data(), &pfa, 4);
        start = 4;
    } else if (mode == 2) {
        // A vendor list: entries from a small set, sometimes with its terminator.
        static const uint32_t kVendors[] = {0x1F0A, 0x8086, 0x144D, 0x1B4B, 0x10B5,
                                            0x1344, 0,      0x1CC4, 0xFFFF, 0x18086};
        for (uint32_t i = 0; i + 4 <= length; i += 4) {
            const uint32_t v = kVendors[in.Byte() % 10];
            std::memcpy(input.data() + i, &v, 4);
        }
        return;
    } else if (mode == 3) {
        return;  // zeros
    }
    for (uint32_t i = start; i < length && !in.Done(); ++i) {
        input[i] = in.Byte();
    }
}

void SendRequest(Stream& in, Machine& m, std::vector<uint8_t>& input) {
    const uint32_t code = PickCode(in);
    FillInput(in, m, input);
    const uint32_t outputLength = PickOutputLength(in);
    const uint8_t flags = in.Byte();
    static const uint16_t kMdlFlags[] = {0, KERN_MDL_MAPPED_TO_SYSTEM_VA,
                                         KERN_MDL_SOURCE_IS_NONPAGED_POOL, 0x5};
    sim::IoOptions options;
    options.mdlFlags = kMdlFlags[flags & 3];
    options.failMdlMapping = (flags & 4) != 0;
    const uint8_t fill = in.Byte();
    Check(m.Request(code, input.data(), static_cast<uint32_t>(input.size()), outputLength, options,
                    fill));
}

// Switch and slot of the machine named by the next two bytes; false when it has no switch.
bool PickSlot(Stream& in, sim::Fabric& f, unsigned* sw, unsigned* slot) {
    const unsigned switches = f.SwitchCount();
    const uint8_t a = in.Byte();
    const uint8_t b = in.Byte();
    if (switches == 0) {
        return false;
    }
    *sw = a % switches;
    *slot = b % sim::SlotCount(f.ModelOf(*sw));
    return true;
}

// The system moves something while the driver holds its old address: a slot's drive (with
// the windows above it), an on-board drive or a switch's BAR0, by 32 KiB steps from where the
// slot's drive or the switch lies now, so that one thing often lands on another's old place.
// kind: bits 1:0 what moves (a slot's drive, the on-board drive on the bus in bits 7:3, the
// switch); bit 2 measures from the switch's BAR0 rather than the drive's. A placement the
// system would never make is refused by the machine (std::logic_error).
void Rebalance(Stream& in, sim::Fabric& f) {
    const uint8_t kind = in.Byte();
    unsigned sw = 0;
    unsigned slot = 0;
    const bool slotted = PickSlot(in, f, &sw, &slot);
    const auto shift = static_cast<int16_t>(in.U16());
    if (!slotted) {
        return;
    }
    const uint8_t up = static_cast<uint8_t>(f.UpstreamPfa(sw) >> 8);
    const uint8_t bus = (kind & 4) != 0 ? up : static_cast<uint8_t>(f.DrivePfa(sw, slot) >> 8);
    const uint64_t from = f.PeekConfig(bus, 0, 0, 0x10) & ~0xFull;
    const uint64_t to = from + static_cast<int64_t>(shift) * 0x8000;
    switch (kind & 3) {
        case 1:
            f.MoveFunction(kind >> 3, to);  // an on-board drive, if that bus has one
            break;
        case 2:
            f.MoveFunction(up, to & ~0x3FFFFull);
            break;
        default:
            f.MoveSlot(sw, slot, to);
            break;
    }
}

void Step(Stream& in, Machine& m, std::vector<uint8_t>& input) {
    sim::Fabric& f = m.Fabric();
    const uint8_t op = in.Byte();
    unsigned sw = 0;
    unsigned slot = 0;
    // Hardware events may name slots that have no port on a machine; the fabric refuses them.
    try {
        switch (op % 16) {
            case 10:
                if (PickSlot(in, f, &sw, &slot) && f.DrivePresent(sw, slot)) {
                    f.Pull(sw, slot);
                }
                break;
            case 11: {
                const auto& palette = DrivePalette();
                const sim::DriveDescription& drive = palette[in.Byte() % palette.size()];
                if (PickSlot(in, f, &sw, &slot)) {
                    if (f.DrivePresent(sw, slot)) {
                        f.Replace(sw, slot, drive);
                    } else {
                        f.Insert(sw, slot, drive);
                    }
                }
                break;
            }
            case 12: {
                const bool stuck = (in.Byte() & 1) != 0;
                if (PickSlot(in, f, &sw, &slot)) {
                    f.SetStuck(sw, slot, stuck);
                }
                break;
            }
            case 13:
                sim::Kernel::Get().FailMapping(static_cast<sim::MapStep>(in.Byte() % 3),
                                               1 + in.Byte() % 16);
                break;
            case 14:
                f.FailAccess(static_cast<sim::AccessFault>(in.Byte() % 4), 1 + in.U16() % 2048);
                break;
            case 15: {
                const uint8_t what = in.Byte();
                static const uint8_t kBuses[] = {0x30, 0x3E, 0x3F, 0x40, 0x41, 0x50, 0x02, 0x0F};
                const uint8_t bus = kBuses[(what >> 2) % 8];
                switch (what & 3) {
                    case 0:
                        if (what == 0xFC) {
                            // A reload reads every header again, as costly as the rest of an
                            // input together, so it takes one exact value (zero, the byte
                            // inputs are fullest of and the one read past their end, would
                            // make it common).
                            m.Unload();
                            Check(m.Load());
                        } else if (what == 0xF8) {
                            Rebalance(in, f);
                        } else {
                            // Otherwise the faults armed so far are taken back, and time passes
                            // (up to a second: links train, drives start, or not yet).
                            f.FailAccess(static_cast<sim::AccessFault>(what % 4), 0);
                            sim::Kernel::Get().FailMapping(static_cast<sim::MapStep>(what % 3), 0);
                            f.Wait(static_cast<uint64_t>(what >> 2) * 16000);
                        }
                        break;
                    case 1: {
                        const auto& palette = DrivePalette();
                        sim::DriveDescription drive = palette[in.Byte() % palette.size()];
                        drive.bar0 = 0xE8000000ull + (static_cast<uint64_t>(bus) << 20);
                        f.AddOnboard(bus, drive);
                        break;
                    }
                    case 2:
                        f.RemoveOnboard(bus);
                        break;
                    default: {
                        const uint8_t count = in.Byte();
                        if (PickSlot(in, f, &sw, &slot) &&
                            f.ModelOf(sw) == sim::SwitchModel::Plx8748) {
                            f.FailBlockReads(sw, count & 1, 1 + (count >> 1) % 8);
                        }
                        break;
                    }
                }
                break;
            }
            default:
                SendRequest(in, m, input);
                break;
        }
    } catch (const std::logic_error&) {
        // Not an event this machine can have.
    }
}

}  // namespace

// Every input builds a fabric of some hundred kilobytes; a small quarantine lets the allocator
// reuse that memory instead of touching fresh pages each time.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=8:max_malloc_fill_size=0:malloc_context_size=8";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One machine for the whole run. An input without load faults starts from the image of a
    // clean load of its example (taken, and checked against a replay, the first time); one
    // with load faults, or the first of its example, really loads.
    // Never destroyed: it would outlive the simulated kernel it talks to.
    static Machine* machine = nullptr;
    static const size_t kVariants = hardening::HostBridgeVariants().size();
    static std::vector<hardening::LoadImage> images(hardening::Examples().size() * kVariants);

    Stream in(data, size);
    const uint8_t machineByte = in.Byte();
    const size_t example = (machineByte & 0x0Fu) % hardening::Examples().size();
    const size_t variant = (machineByte >> 4) % kVariants;
    const size_t which = example * kVariants + variant;
    const sim::FabricDescription& description = hardening::ExampleWithHostBridge(example, variant);
    const uint8_t loadFaults = in.Byte() == 0xFF ? in.Byte() : 0;
    const bool faulty = (loadFaults & 0x19) != 0;
    if (!faulty && machine && machine->Loaded() && images[which].valid) {
        machine->Restore(description, images[which]);
    } else {
        delete machine;
        machine = new Machine(description);
        if (loadFaults & 1) {
            machine->Fabric().FailAccess(static_cast<sim::AccessFault>((loadFaults >> 1) & 3),
                                         1 + in.U16() % 4096);
        }
        if ((loadFaults >> 3) & 3) {
            sim::Kernel::Get().FailMapping(static_cast<sim::MapStep>(((loadFaults >> 3) & 3) - 1),
                                           1 + in.Byte());
        }
        Check(machine->Load());
        if (!faulty && !images[which].valid) {
            Check(machine->Capture(description, &images[which]));
        }
    }

    std::vector<uint8_t> input;
    for (size_t steps = 0; steps < kMaxSteps && !in.Done(); ++steps) {
        Step(in, *machine, input);
    }
    return 0;
}
