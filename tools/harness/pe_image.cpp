// The PE32+ loader: the subset of the Windows image loader a native driver needs.
#include "tools/harness/pe_image.h"

#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace harness {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr unsigned kDirectoryImport = 1;
constexpr unsigned kDirectoryBaseReloc = 5;
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint16_t kRelocAbsolute = 0;
constexpr uint16_t kRelocDir64 = 10;
constexpr uint64_t kOrdinalFlag = 1ull << 63;
constexpr uint64_t kPage = 4096;

// Bounds-checked little-endian reads of the file or of the mapped image.
class Bytes {
  public:
    Bytes(const uint8_t* data, uint64_t size) : data_(data), size_(size) {}
    template <typename T>
    T Get(uint64_t offset) const {
        if (offset > size_ || size_ - offset < sizeof(T)) {
            throw ImageError("image truncated: read of " + std::to_string(sizeof(T)) +
                             " bytes at 0x" + Hex(offset));
        }
        T value;
        std::memcpy(&value, data_ + offset, sizeof(T));
        return value;
    }
    std::string String(uint64_t offset) const {
        std::string s;
        while (true) {
            const char c = Get<char>(offset++);
            if (c == 0) {
                return s;
            }
            s.push_back(c);
        }
    }
    static std::string Hex(uint64_t v) {
        char text[24];
        std::snprintf(text, sizeof(text), "%llX", static_cast<unsigned long long>(v));
        return text;
    }

  private:
    const uint8_t* data_;
    uint64_t size_;
};

}  // namespace

std::vector<uint8_t> PeImage::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ImageError("cannot read image '" + path + "'");
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

PeImage::PeImage(const std::vector<uint8_t>& file, const ImportResolver& resolve) {
    const Bytes f(file.data(), file.size());
    if (f.Get<uint16_t>(0) != 0x5A4D) {
        throw ImageError("not an image: no MZ header");
    }
    const uint32_t pe = f.Get<uint32_t>(0x3C);
    if (f.Get<uint32_t>(pe) != 0x00004550) {
        throw ImageError("not an image: no PE signature");
    }
    const uint64_t coff = pe + 4;
    if (f.Get<uint16_t>(coff) != kMachineAmd64) {
        throw ImageError("not an x64 image");
    }
    const unsigned sectionCount = f.Get<uint16_t>(coff + 2);
    const unsigned optionalSize = f.Get<uint16_t>(coff + 16);
    const uint64_t opt = coff + 20;
    if (f.Get<uint16_t>(opt) != kMagicPe32Plus) {
        throw ImageError("not a PE32+ image");
    }
    entryRva_ = f.Get<uint32_t>(opt + 16);
    preferredBase_ = f.Get<uint64_t>(opt + 24);
    size_ = f.Get<uint32_t>(opt + 56);
    const uint32_t headersSize = f.Get<uint32_t>(opt + 60);
    const uint32_t directoryCount = f.Get<uint32_t>(opt + 108);
    auto directory = [&](unsigned index, uint32_t* rva, uint32_t* size) {
        *rva = *size = 0;
        if (index < directoryCount) {
            *rva = f.Get<uint32_t>(opt + 112 + index * 8);
            *size = f.Get<uint32_t>(opt + 112 + index * 8 + 4);
        }
    };
    if (size_ == 0 || size_ > (256u << 20) || headersSize > size_ || headersSize > file.size()) {
        throw ImageError("implausible image size");
    }

    // Anywhere the system likes: a driver is always relocated, so the relocations get used.
    void* mapping =
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        throw ImageError("cannot reserve the image's address space");
    }
    base_ = static_cast<uint8_t*>(mapping);
    try {
        std::memcpy(base_, file.data(), headersSize);
        struct Section {
            uint32_t rva, size, characteristics;
        };
        std::vector<Section> sections;
        const uint64_t table = opt + optionalSize;
        for (unsigned i = 0; i < sectionCount; ++i) {
            const uint64_t s = table + i * 40ull;
            const uint32_t virtualSize = f.Get<uint32_t>(s + 8);
            const uint32_t rva = f.Get<uint32_t>(s + 12);
            const uint32_t rawSize = f.Get<uint32_t>(s + 16);
            const uint32_t rawOffset = f.Get<uint32_t>(s + 20);
            const uint32_t characteristics = f.Get<uint32_t>(s + 36);
            const uint32_t span = virtualSize != 0 ? virtualSize : rawSize;
            if (rva < headersSize || rva > size_ || span > size_ - rva) {
                throw ImageError("section " + std::to_string(i) + " lies outside the image");
            }
            const uint32_t copy = rawSize < span ? rawSize : span;
            if (copy > 0) {
                if (rawOffset > file.size() || file.size() - rawOffset < copy) {
                    throw ImageError("section " + std::to_string(i) + " lies outside the file");
                }
                std::memcpy(base_ + rva, file.data() + rawOffset, copy);
            }
            sections.push_back({rva, span, characteristics});
        }
        const Bytes m(base_, size_);

        // Base relocations.
        const int64_t delta =
            static_cast<int64_t>(reinterpret_cast<uint64_t>(base_) - preferredBase_);
        uint32_t relocRva = 0;
        uint32_t relocSize = 0;
        directory(kDirectoryBaseReloc, &relocRva, &relocSize);
        if (relocSize == 0 && delta != 0) {
            throw ImageError("the image has no relocations and cannot be moved");
        }
        uint64_t block = relocRva;
        while (block + 8 <= static_cast<uint64_t>(relocRva) + relocSize) {
            const uint32_t page = m.Get<uint32_t>(block);
            const uint32_t blockSize = m.Get<uint32_t>(block + 4);
            if (blockSize < 8) {
                throw ImageError("bad relocation block");
            }
            for (uint64_t e = block + 8; e + 2 <= block + blockSize; e += 2) {
                const uint16_t entry = m.Get<uint16_t>(e);
                const uint16_t type = entry >> 12;
                const uint64_t at = page + (entry & 0xFFFu);
                if (type == kRelocAbsolute) {
                    continue;
                }
                if (type != kRelocDir64) {
                    throw ImageError("unsupported relocation type " + std::to_string(type));
                }
                const uint64_t value = m.Get<uint64_t>(at) + static_cast<uint64_t>(delta);
                std::memcpy(base_ + at, &value, sizeof(value));
                ++relocations_;
            }
            block += blockSize;
        }

        // Imports, bound by name; every name nobody answers to is collected before failing.
        uint32_t importRva = 0;
        uint32_t importSize = 0;
        directory(kDirectoryImport, &importRva, &importSize);
        std::vector<std::string> missing;
        for (uint64_t d = importRva; importSize != 0; d += 20) {
            const uint32_t lookup = m.Get<uint32_t>(d);
            const uint32_t nameRva = m.Get<uint32_t>(d + 12);
            const uint32_t iat = m.Get<uint32_t>(d + 16);
            if (nameRva == 0 && iat == 0) {
                break;
            }
            const std::string module = m.String(nameRva);
            for (uint64_t i = 0;; ++i) {
                const uint64_t thunk = m.Get<uint64_t>((lookup != 0 ? lookup : iat) + i * 8);
                if (thunk == 0) {
                    break;
                }
                ImportName import;
                import.module = module;
                if ((thunk & kOrdinalFlag) != 0) {
                    import.name = "#" + std::to_string(thunk & 0xFFFF);
                } else {
                    import.name = m.String((thunk & 0x7FFFFFFFu) + 2);
                }
                imports_.push_back(import);
                void* bound = resolve(import);
                if (bound == nullptr) {
                    missing.push_back(module + "!" + import.name);
                    continue;
                }
                const uint64_t address = reinterpret_cast<uint64_t>(bound);
                const uint64_t slot = iat + i * 8;
                m.Get<uint64_t>(slot);  // bounds
                std::memcpy(base_ + slot, &address, sizeof(address));
            }
        }
        if (!missing.empty()) {
            std::string text = "the driver imports what the harness does not implement:";
            for (const std::string& name : missing) {
                text += " " + name;
            }
            throw ImageError(text);
        }

        // Section protections as the image asks: code executes and is not written.
        mprotect(base_, (headersSize + kPage - 1) & ~(kPage - 1), PROT_READ);
        for (const Section& s : sections) {
            int protection = PROT_READ;
            if ((s.characteristics & kSectionExecute) != 0) {
                protection |= PROT_EXEC;
            }
            if ((s.characteristics & kSectionWrite) != 0) {
                protection |= PROT_WRITE;
            }
            const uint64_t start = s.rva & ~(kPage - 1);
            const uint64_t end = (static_cast<uint64_t>(s.rva) + s.size + kPage - 1) & ~(kPage - 1);
            if (mprotect(base_ + start, end - start, protection) != 0) {
                throw ImageError("cannot protect section at 0x" + Bytes::Hex(s.rva));
            }
        }
    } catch (...) {
        munmap(base_, size_);
        base_ = nullptr;
        throw;
    }
}

PeImage::~PeImage() {
    if (base_ != nullptr) {
        munmap(base_, size_);
    }
}

}  // namespace harness
