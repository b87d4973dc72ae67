// Formatting of kernel debug prints as the Windows x64 print routine renders them.
#ifndef CORVAX_SIM_DEBUG_FORMAT_H
#define CORVAX_SIM_DEBUG_FORMAT_H

#include <array>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

// printf-style formatting with the kernel's rendering of %p: 16 upper-case hexadecimal digits,
// no prefix. Supports the flags, widths, precisions and length modifiers (h, hh, l, ll, I64, z)
// of d, i, u, x, X, o, c, s, p and %%.
std::string FormatDebugPrint(const char* format, va_list args);
// The same, appended to out.
void AppendDebugPrint(std::string& out, const char* format, va_list args);

// The type of one argument a format takes.
enum class ArgKind : uint8_t { Int, Long, LongLong, UInt, ULong, ULongLong, Text, Pointer };

// The debug log: each print kept as its format and its arguments, and rendered only when the
// log is read. A long run prints a great deal that nobody reads.
class PrintLog {
  public:
    void Append(const char* format, va_list args);
    size_t Count() const { return records_.size(); }
    void Clear();
    // Every print rendered, one after the other, and where each ends.
    const std::string& Text() const;
    const std::vector<size_t>& Ends() const;

  private:
    // What a format takes, in order, with the text it was worked out from.
    struct Plan {
        std::string format;
        std::vector<ArgKind> kinds;
    };
    struct Record {
        const Plan* plan = nullptr;
        size_t firstWord = 0;  // into words_
    };
    // The plan each format address had last, found without hashing most of the time.
    struct PlanSlot {
        const char* address = nullptr;
        const Plan* plan = nullptr;
    };
    static constexpr size_t kPlanLimit = 4096;
    static constexpr size_t kPlanSlots = 512;
    void RenderPending() const;

    std::vector<std::unique_ptr<Plan>> plans_;
    std::unordered_map<const char*, const Plan*> byAddress_;
    std::array<PlanSlot, kPlanSlots> slots_{};
    std::vector<Record> records_;
    std::vector<uint64_t> words_;
    std::string texts_;  // %s arguments, each with its terminating zero
    // The prints rendered so far.
    mutable std::string text_;
    mutable std::vector<size_t> ends_;
};

// The prints joined and cut at line feeds, as a debugger shows them: a print without a line
// feed continues on the next one's line.
std::vector<std::string> JoinPrintsIntoLines(const std::vector<std::string>& prints);

}  // namespace sim

#endif  // CORVAX_SIM_DEBUG_FORMAT_H
