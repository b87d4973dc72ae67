// Configuration space storage and its single write rule.
#include "sim/pci/config_space.h"

#include <stdexcept>
#include <string>

namespace sim {

namespace {

[[noreturn]] void RefuseAccess(unsigned offset, unsigned size) {
    throw std::out_of_range("configuration access of " + std::to_string(size) +
                            " bytes at offset " + std::to_string(offset));
}

// Inline on the hot path; the message is built only for a refused access.
inline void CheckAccess(unsigned offset, unsigned size) {
    if (!IsNaturalAccess(offset, size) || offset + size > ConfigSpace::kSize) {
        RefuseAccess(offset, size);
    }
}

uint32_t Load(const std::array<uint8_t, ConfigSpace::kSize>& bytes, unsigned offset,
              unsigned size) {
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) {
        v |= uint32_t{bytes[offset + i]} << (8 * i);
    }
    return v;
}

void Store(std::array<uint8_t, ConfigSpace::kSize>& bytes, unsigned offset, unsigned size,
           uint32_t v) {
    for (unsigned i = 0; i < size; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

}  // namespace

ConfigSpace::ConfigSpace() = default;

uint32_t ConfigSpace::Read(unsigned offset, unsigned size) const {
    CheckAccess(offset, size);
    return Load(value_, offset, size);
}

void ConfigSpace::Write(unsigned offset, unsigned size, uint32_t value) {
    CheckAccess(offset, size);
    const unsigned dword = offset & ~3u;
    const uint32_t before = Load(value_, dword, 4);
    for (unsigned i = 0; i < size; ++i) {
        const unsigned at = offset + i;
        const uint8_t in = static_cast<uint8_t>(value >> (8 * i));
        uint8_t b = static_cast<uint8_t>((value_[at] & ~wmask_[at]) | (in & wmask_[at]));
        b = static_cast<uint8_t>(b & ~(in & w1cmask_[at]));
        value_[at] = b;
    }
    // A naturally aligned access never crosses a dword, so one hook at most.
    RunHook(dword, before, Load(value_, dword, 4), WriteSource::Software);
}

void ConfigSpace::Poke(unsigned offset, uint32_t value) {
    const unsigned dword = offset & ~3u;
    CheckAccess(dword, 4);
    const uint32_t before = Load(value_, dword, 4);
    Store(value_, dword, 4, value);
    RunHook(dword, before, value, WriteSource::Inspection);
}

void ConfigSpace::Set(unsigned offset, uint32_t value) {
    CheckAccess(offset & ~3u, 4);
    Store(value_, offset & ~3u, 4, value);
}

void ConfigSpace::SetBits(unsigned offset, uint32_t mask, uint32_t value) {
    const uint32_t old = Dword(offset);
    Set(offset, (old & ~mask) | (value & mask));
}

void ConfigSpace::SetWriteMask(unsigned offset, uint32_t mask) {
    CheckAccess(offset & ~3u, 4);
    Store(wmask_, offset & ~3u, 4, mask);
}

void ConfigSpace::SetW1cMask(unsigned offset, uint32_t mask) {
    CheckAccess(offset & ~3u, 4);
    Store(w1cmask_, offset & ~3u, 4, mask);
}

uint32_t ConfigSpace::WriteMask(unsigned offset) const {
    return Load(wmask_, offset & ~3u, 4);
}

uint32_t ConfigSpace::W1cMask(unsigned offset) const {
    return Load(w1cmask_, offset & ~3u, 4);
}

void ConfigSpace::SetHook(unsigned offset, Hook hook) {
    hooks_[offset & ~3u] = std::move(hook);
}

void ConfigSpace::Clear() {
    value_.fill(0);
    wmask_.fill(0);
    w1cmask_.fill(0);
}

void ConfigSpace::RunHook(unsigned dwordOffset, uint32_t oldValue, uint32_t newValue,
                          WriteSource source) const {
    auto it = hooks_.find(dwordOffset);
    if (it != hooks_.end() && it->second) {
        it->second(oldValue, newValue, source);
    }
}

}  // namespace sim
