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

}  // namespace

ConfigSpace::ConfigSpace() = default;

uint8_t ConfigSpace::Byte(Plane plane, unsigned offset) const {
    if (offset < kHeaderSize) {
        return plane == kValue       ? value_[offset]
               : plane == kWriteMask ? wmask_[offset]
                                     : w1cmask_[offset];
    }
    return extended_.empty() ? 0 : extended_[plane * kExtendedSize + offset - kHeaderSize];
}

uint8_t& ConfigSpace::Slot(Plane plane, unsigned offset) {
    if (offset < kHeaderSize) {
        return plane == kValue       ? value_[offset]
               : plane == kWriteMask ? wmask_[offset]
                                     : w1cmask_[offset];
    }
    if (extended_.empty()) {
        extended_.assign(3 * kExtendedSize, 0);
    }
    return extended_[plane * kExtendedSize + offset - kHeaderSize];
}

uint32_t ConfigSpace::Load(Plane plane, unsigned offset, unsigned size) const {
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) {
        v |= uint32_t{Byte(plane, offset + i)} << (8 * i);
    }
    return v;
}

void ConfigSpace::Store(Plane plane, unsigned offset, unsigned size, uint32_t v) {
    for (unsigned i = 0; i < size; ++i) {
        Slot(plane, offset + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint32_t ConfigSpace::Read(unsigned offset, unsigned size) const {
    CheckAccess(offset, size);
    return Load(kValue, offset, size);
}

void ConfigSpace::Write(unsigned offset, unsigned size, uint32_t value) {
    CheckAccess(offset, size);
    const unsigned dword = offset & ~3u;
    const uint32_t before = Load(kValue, dword, 4);
    for (unsigned i = 0; i < size; ++i) {
        const unsigned at = offset + i;
        const uint8_t in = static_cast<uint8_t>(value >> (8 * i));
        const uint8_t wmask = Byte(kWriteMask, at);
        const uint8_t w1c = Byte(kW1cMask, at);
        if (wmask == 0 && w1c == 0) {
            continue;  // a read-only byte: nothing to store (nor to allocate)
        }
        uint8_t b = static_cast<uint8_t>((Byte(kValue, at) & ~wmask) | (in & wmask));
        b = static_cast<uint8_t>(b & ~(in & w1c));
        Slot(kValue, at) = b;
    }
    // A naturally aligned access never crosses a dword, so one hook at most.
    lastWriteBytes_ = ((1u << size) - 1) << (offset & 3);
    RunHook(dword, before, Load(kValue, dword, 4), WriteSource::Software);
}

void ConfigSpace::Poke(unsigned offset, uint32_t value) {
    const unsigned dword = offset & ~3u;
    CheckAccess(dword, 4);
    const uint32_t before = Load(kValue, dword, 4);
    Store(kValue, dword, 4, value);
    lastWriteBytes_ = 0xF;
    RunHook(dword, before, value, WriteSource::Inspection);
}

void ConfigSpace::Set(unsigned offset, uint32_t value) {
    CheckAccess(offset & ~3u, 4);
    Store(kValue, offset & ~3u, 4, value);
}

void ConfigSpace::SetBits(unsigned offset, uint32_t mask, uint32_t value) {
    const uint32_t old = Dword(offset);
    Set(offset, (old & ~mask) | (value & mask));
}

void ConfigSpace::SetWriteMask(unsigned offset, uint32_t mask) {
    CheckAccess(offset & ~3u, 4);
    Store(kWriteMask, offset & ~3u, 4, mask);
}

void ConfigSpace::SetW1cMask(unsigned offset, uint32_t mask) {
    CheckAccess(offset & ~3u, 4);
    Store(kW1cMask, offset & ~3u, 4, mask);
}

uint32_t ConfigSpace::WriteMask(unsigned offset) const {
    return Load(kWriteMask, offset & ~3u, 4);
}

uint32_t ConfigSpace::W1cMask(unsigned offset) const {
    return Load(kW1cMask, offset & ~3u, 4);
}

void ConfigSpace::SetHook(unsigned offset, Hook hook) {
    for (auto& entry : hooks_) {
        if (entry.first == (offset & ~3u)) {
            entry.second = std::move(hook);
            return;
        }
    }
    if (hooks_.empty()) {
        hooks_.reserve(4);
    }
    hooks_.emplace_back(offset & ~3u, std::move(hook));
}

void ConfigSpace::Clear() {
    value_.fill(0);
    wmask_.fill(0);
    w1cmask_.fill(0);
    extended_.clear();
}

void ConfigSpace::RunHook(unsigned dwordOffset, uint32_t oldValue, uint32_t newValue,
                          WriteSource source) const {
    for (const auto& entry : hooks_) {
        if (entry.first == dwordOffset) {
            if (entry.second) {
                entry.second(oldValue, newValue, source);
            }
            return;
        }
    }
}

}  // namespace sim
