// A PE32+ image mapped into this process as the Windows loader maps a driver: headers and
// sections at their virtual addresses, base relocations applied for wherever the mapping landed,
// every import bound by name, then each section given its own protection.
#ifndef CORVAX_HARNESS_PE_IMAGE_H
#define CORVAX_HARNESS_PE_IMAGE_H

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace harness {

class ImageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One imported name as the image spells it.
struct ImportName {
    std::string module;  // "ntoskrnl.exe", as written in the import directory
    std::string name;    // "IoCreateDevice"; "#ordinal" for an import by ordinal
};

// Returns the address bound to an import, or null when nothing answers to it.
using ImportResolver = std::function<void*(const ImportName&)>;

class PeImage {
  public:
    // Maps the image. Throws ImageError for a file that is not a loadable x64 image, and for
    // imports the resolver does not know: the message lists every one of them by name.
    PeImage(const std::vector<uint8_t>& file, const ImportResolver& resolve);
    static std::vector<uint8_t> ReadFile(const std::string& path);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    uint8_t* Base() const { return base_; }
    uint64_t Size() const { return size_; }
    uint64_t PreferredBase() const { return preferredBase_; }
    void* EntryPoint() const { return base_ + entryRva_; }
    bool Contains(uint64_t address) const {
        return address >= reinterpret_cast<uint64_t>(base_) &&
               address - reinterpret_cast<uint64_t>(base_) < size_;
    }
    // Every import of the image, bound or not, in directory order.
    const std::vector<ImportName>& Imports() const { return imports_; }
    unsigned RelocationsApplied() const { return relocations_; }

  private:
    uint8_t* base_ = nullptr;
    uint64_t size_ = 0;
    uint64_t preferredBase_ = 0;
    uint32_t entryRva_ = 0;
    unsigned relocations_ = 0;
    std::vector<ImportName> imports_;
};

}  // namespace harness

#endif  // CORVAX_HARNESS_PE_IMAGE_H
