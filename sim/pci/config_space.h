// One PCI function's configuration space as the hardware holds it: 4 KiB of values, a write
// mask and a write-one-to-clear mask, and per-register hooks for side effects. The 256 bytes
// of the compatible header are kept inline; the extended space, which most functions leave
// zero, is only stored once something is put there (a fabric is built for every fuzz input,
// and zeroing three 4 KiB arrays per function was most of that).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

// Who changed a register: the software under test through a configuration access, or a test
// reaching in to set up a state. Models use it to keep hardware-only effects (a command
// completing, for instance) to real writes.
enum class WriteSource { Software, Inspection };

class ConfigSpace {
  public:
    static constexpr unsigned kSize = 4096;

    // Called after a dword changed (or was written at all), with the dword before and after.
    using Hook = std::function<void(uint32_t oldValue, uint32_t newValue, WriteSource source)>;

    ConfigSpace();

    // Accesses of 1, 2 or 4 bytes; the offset must be naturally aligned and below kSize.
    uint32_t Read(unsigned offset, unsigned size) const;
    // The one write rule for every register, byte by byte:
    //   new = (old & ~wmask) | (value & wmask), then every W1C bit written as 1 is cleared.
    // Hooks of the touched dwords run afterwards, even when nothing changed, because writing a
    // register can be an event of its own.
    void Write(unsigned offset, unsigned size, uint32_t value);

    // The dword that holds offset (any offset below kSize). Models ask for their registers on
    // every access the fabric routes, so this one stays a plain load.
    uint32_t Dword(unsigned offset) const {
        const unsigned at = offset & (kSize - 4);
        const uint8_t* bytes = nullptr;
        if (at < kHeaderSize) {
            bytes = &value_[at];
        } else if (!extended_.empty()) {
            bytes = &extended_[at - kHeaderSize];
        } else {
            return 0;
        }
        return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
               uint32_t{bytes[3]} << 24;
    }
    // Stores a raw value, masks ignored, then runs the dword's hook as an inspection write.
    void Poke(unsigned offset, uint32_t value);
    // Stores without running hooks; for models building their own state.
    void Set(unsigned offset, uint32_t value);
    // Sets only the bits in mask to value's bits, without hooks (models keeping read-only
    // status bits up to date).
    void SetBits(unsigned offset, uint32_t mask, uint32_t value);

    void SetWriteMask(unsigned offset, uint32_t mask);
    void SetW1cMask(unsigned offset, uint32_t mask);
    uint32_t WriteMask(unsigned offset) const;
    uint32_t W1cMask(unsigned offset) const;
    void SetHook(unsigned offset, Hook hook);

    // Every value and mask back to zero; hooks stay.
    void Clear();

    // Which bytes of its dword the write that ran the current hook touched (bit n for byte
    // n): a hook can tell a write of a register's upper half from one of its lower half.
    unsigned LastWriteBytes() const { return lastWriteBytes_; }

  private:
    static constexpr unsigned kHeaderSize = 256;
    static constexpr unsigned kExtendedSize = kSize - kHeaderSize;
    enum Plane { kValue, kWriteMask, kW1cMask };

    void RunHook(unsigned dwordOffset, uint32_t oldValue, uint32_t newValue,
                 WriteSource source) const;
    // The byte at offset of one plane, for reading (zero in an extended space never stored)
    // and for storing (which stores the extended space first if need be).
    uint8_t Byte(Plane plane, unsigned offset) const;
    uint8_t& Slot(Plane plane, unsigned offset);
    uint32_t Load(Plane plane, unsigned offset, unsigned size) const;
    void Store(Plane plane, unsigned offset, unsigned size, uint32_t value);

    std::array<uint8_t, kHeaderSize> value_{};
    std::array<uint8_t, kHeaderSize> wmask_{};
    std::array<uint8_t, kHeaderSize> w1cmask_{};
    // Empty, or the three planes of the extended space one after the other.
    std::vector<uint8_t> extended_;
    // A function has a handful of hooks at most: a short list, searched only on writes.
    std::vector<std::pair<unsigned, Hook>> hooks_;
    unsigned lastWriteBytes_ = 0;
};

// True for 1, 2 or 4 bytes at a naturally aligned offset.
inline bool IsNaturalAccess(uint64_t address, unsigned size) {
    return (size == 1 || size == 2 || size == 4) && (address & (size - 1)) == 0;
}

}  // namespace sim
