// Kernel debug print formatting.
#include "sim/kernel/debug_format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

namespace sim {

namespace {

// One conversion's flags, width and precision as written (widths from '*' resolved).
struct Form {
    bool left = false;
    bool zero = false;
    bool other = false;  // '+', ' ' or '#': left to the C library
    int width = 0;
    int precision = -1;
};

void Pad(std::string& out, size_t length, const Form& form, char fill) {
    if (form.width > 0 && length < static_cast<size_t>(form.width)) {
        out.append(static_cast<size_t>(form.width) - length, fill);
    }
}

// Digits of an unsigned value in base 10 or 16, into the end of buffer; returns the start.
char* Digits(unsigned long long v, unsigned base, bool upper, char* end) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char* p = end;
    do {
        *--p = digits[v % base];
        v /= base;
    } while (v != 0);
    return p;
}

// The common integer forms (flags '-' and '0', a width) written here; the rest by snprintf.
void Integer(std::string& out, const Form& form, bool negative, unsigned long long magnitude,
             unsigned base, bool upper) {
    char buffer[32];
    char* end = buffer + sizeof(buffer);
    const char* begin = Digits(magnitude, base, upper, end);
    const size_t digits = static_cast<size_t>(end - begin);
    const size_t length = digits + (negative ? 1 : 0);
    if (form.left) {
        if (negative) {
            out.push_back('-');
        }
        out.append(begin, digits);
        Pad(out, length, form, ' ');
    } else if (form.zero) {
        if (negative) {
            out.push_back('-');
        }
        Pad(out, length, form, '0');
        out.append(begin, digits);
    } else {
        Pad(out, length, form, ' ');
        if (negative) {
            out.push_back('-');
        }
        out.append(begin, digits);
    }
}

std::string FormText(const Form& form, const char* flags, size_t flagCount, const char* length,
                     char conversion) {
    std::string text = "%";
    text.append(flags, flagCount);
    if (form.width > 0) {
        text += std::to_string(form.width);
    }
    if (form.precision >= 0) {
        text += "." + std::to_string(form.precision);
    }
    text += length;
    text.push_back(conversion);
    return text;
}

// One conversion of a format as written, with the widths and precisions given by '*' taken.
struct Conversion {
    Form form;
    const char* start = nullptr;  // the '%'
    const char* flags = nullptr;
    size_t flagCount = 0;
    int longs = 0;        // l, ll or I64
    bool size = false;    // z
    char conversion = 0;  // 0: the format ends inside the conversion
};

// The argument of one conversion, as the rendering uses it.
struct Value {
    unsigned long long bits = 0;
    const char* text = nullptr;
};

// Parses the conversion at p (a '%' that does not start "%%"), taking any '*' arguments from
// source; returns where the format goes on.
template <typename Source>
const char* Parse(const char* p, Conversion& c, Source& source) {
    c.start = p++;
    c.flags = p;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0') {
        c.form.left |= *p == '-';
        c.form.zero |= *p == '0';
        c.form.other |= *p == '+' || *p == ' ' || *p == '#';
        ++p;
    }
    c.flagCount = static_cast<size_t>(p - c.flags);
    if (*p == '*') {
        c.form.width = source.template Get<int>();
        if (c.form.width < 0) {
            c.form.left = true;
            c.form.width = -c.form.width;
        }
        ++p;
    }
    while (*p >= '0' && *p <= '9') {
        c.form.width = c.form.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
        ++p;
        c.form.precision = 0;
        if (*p == '*') {
            c.form.precision = source.template Get<int>();
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            c.form.precision = c.form.precision * 10 + (*p++ - '0');
        }
    }
    while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'I') {
        if (*p == 'l') {
            ++c.longs;
            ++p;
        } else if (*p == 'z') {
            c.size = true;
            ++p;
        } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            c.longs = 2;
            p += 3;
        } else {
            ++p;  // h and hh: the argument is promoted to int anyway
        }
    }
    c.conversion = *p;
    return *p == 0 ? p : p + 1;
}

// Takes the conversion's argument from source, as the type its length modifiers name.
template <typename Source>
Value Fetch(const Conversion& c, Source& source) {
    Value v;
    switch (c.conversion) {
        case 'd':
        case 'i':
            v.bits = static_cast<unsigned long long>(
                c.longs >= 2   ? source.template Get<long long>()
                : c.size       ? static_cast<long long>(source.template Get<intptr_t>())
                : c.longs == 1 ? static_cast<long long>(source.template Get<long>())
                               : source.template Get<int>());
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            v.bits = c.longs >= 2 ? source.template Get<unsigned long long>()
                     : c.size     ? static_cast<unsigned long long>(source.template Get<size_t>())
                     : c.longs == 1
                         ? static_cast<unsigned long long>(source.template Get<unsigned long>())
                         : source.template Get<unsigned int>();
            break;
        case 'c':
            v.bits = static_cast<unsigned long long>(source.template Get<int>());
            break;
        case 's':
            v.text = source.template Get<const char*>();
            break;
        case 'p':
            v.bits = reinterpret_cast<uintptr_t>(source.template Get<const void*>());
            break;
        default:
            break;
    }
    return v;
}

void Emit(std::string& out, const Conversion& c, const Value& v, const char* end) {
    const Form& form = c.form;
    const bool simple = !form.other && form.precision < 0;
    char buffer[128];
    switch (c.conversion) {
        case 'd':
        case 'i': {
            const auto signedValue = static_cast<long long>(v.bits);
            if (simple) {
                const unsigned long long magnitude = signedValue < 0 ? 0ull - v.bits : v.bits;
                Integer(out, form, signedValue < 0, magnitude, 10, false);
            } else {
                std::snprintf(buffer, sizeof(buffer),
                              FormText(form, c.flags, c.flagCount, "ll", 'd').c_str(), signedValue);
                out += buffer;
            }
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (simple && c.conversion != 'o') {
                Integer(out, form, false, v.bits, c.conversion == 'u' ? 10 : 16,
                        c.conversion == 'X');
            } else {
                std::snprintf(buffer, sizeof(buffer),
                              FormText(form, c.flags, c.flagCount, "ll", c.conversion).c_str(),
                              v.bits);
                out += buffer;
            }
            break;
        case 'c':
            if (!form.left) {
                Pad(out, 1, form, ' ');
            }
            out.push_back(static_cast<char>(v.bits));
            if (form.left) {
                Pad(out, 1, form, ' ');
            }
            break;
        case 's': {
            const char* text = v.text != nullptr ? v.text : "(null)";
            size_t length = std::strlen(text);
            if (form.precision >= 0 && static_cast<size_t>(form.precision) < length) {
                length = static_cast<size_t>(form.precision);
            }
            if (!form.left) {
                Pad(out, length, form, ' ');
            }
            out.append(text, length);
            if (form.left) {
                Pad(out, length, form, ' ');
            }
            break;
        }
        case 'p': {
            // Pointers are printed at their full x64 width in upper case, without "0x".
            char* digitsEnd = buffer + 16;
            char* begin = Digits(v.bits, 16, true, digitsEnd);
            out.append(static_cast<size_t>(16 - (digitsEnd - begin)), '0');
            out.append(begin, digitsEnd);
            break;
        }
        default:
            out.append(c.start, end);
            break;
    }
}

template <typename Source>
void Render(std::string& out, const char* format, Source& source) {
    const char* p = format;
    while (*p != 0) {
        const char* literal = p;
        while (*p != 0 && *p != '%') {
            ++p;
        }
        out.append(literal, p);
        if (*p == 0) {
            break;
        }
        if (p[1] == '%') {
            out.push_back('%');
            p += 2;
            continue;
        }
        Conversion c;
        p = Parse(p, c, source);
        if (c.conversion == 0) {
            out.append(c.start);
            break;
        }
        Emit(out, c, Fetch(c, source), p);
    }
}

// Arguments straight from the caller.
class VaSource {
  public:
    explicit VaSource(va_list args) { va_copy(args_, args); }
    ~VaSource() { va_end(args_); }
    VaSource(const VaSource&) = delete;
    VaSource& operator=(const VaSource&) = delete;
    template <typename T>
    T Get() {
        return va_arg(args_, T);
    }

  private:
    va_list args_;
};

constexpr uint64_t kNullText = ~uint64_t{0};

// Whether text, a zero-terminated string, is known. Compares no further than the first byte
// that differs, so never past text's end.
bool SameText(const char* text, const std::string& known) {
    const char* k = known.c_str();
    for (size_t i = 0; i <= known.size(); ++i) {
        if (text[i] != k[i]) {
            return false;
        }
    }
    return true;
}

template <typename T>
constexpr ArgKind KindOf() {
    if constexpr (std::is_same_v<T, int>) {
        return ArgKind::Int;
    } else if constexpr (std::is_same_v<T, long>) {
        return ArgKind::Long;
    } else if constexpr (std::is_same_v<T, long long>) {
        return ArgKind::LongLong;
    } else if constexpr (std::is_same_v<T, unsigned int>) {
        return ArgKind::UInt;
    } else if constexpr (std::is_same_v<T, unsigned long>) {
        return ArgKind::ULong;
    } else if constexpr (std::is_same_v<T, unsigned long long>) {
        return ArgKind::ULongLong;
    } else if constexpr (std::is_same_v<T, const char*>) {
        return ArgKind::Text;
    } else {
        static_assert(std::is_same_v<T, const void*>, "an argument type the formatter takes");
        return ArgKind::Pointer;
    }
}

// Arguments from the caller, kept as they are taken: numbers as 64-bit words, texts copied
// (a text may be gone or changed by the time the print is read). With a plan to fill, it also
// notes the type of each argument it takes.
class CapturingSource {
  public:
    CapturingSource(VaSource& from, std::vector<uint64_t>& words, std::string& texts,
                    std::vector<ArgKind>* plan)
        : from_(from), words_(words), texts_(texts), plan_(plan) {}
    template <typename T>
    T Get() {
        if (plan_ != nullptr) {
            plan_->push_back(KindOf<T>());
        }
        const T v = from_.Get<T>();
        Keep(v);
        return v;
    }
    // Takes the next argument as a planned kind.
    void Take(ArgKind kind) {
        switch (kind) {
            case ArgKind::Int:
                Get<int>();
                break;
            case ArgKind::Long:
                Get<long>();
                break;
            case ArgKind::LongLong:
                Get<long long>();
                break;
            case ArgKind::UInt:
                Get<unsigned int>();
                break;
            case ArgKind::ULong:
                Get<unsigned long>();
                break;
            case ArgKind::ULongLong:
                Get<unsigned long long>();
                break;
            case ArgKind::Text:
                Get<const char*>();
                break;
            case ArgKind::Pointer:
                Get<const void*>();
                break;
        }
    }

  private:
    template <typename T>
    void Keep(T v) {
        if constexpr (std::is_same_v<T, const char*>) {
            if (v == nullptr) {
                words_.push_back(kNullText);
            } else {
                words_.push_back(texts_.size());
                texts_.append(v, std::strlen(v) + 1);
            }
        } else if constexpr (std::is_pointer_v<T>) {
            words_.push_back(reinterpret_cast<uintptr_t>(v));
        } else {
            words_.push_back(static_cast<uint64_t>(v));
        }
    }

    VaSource& from_;
    std::vector<uint64_t>& words_;
    std::string& texts_;
    std::vector<ArgKind>* plan_;
};

// Arguments kept by a CapturingSource, given back in the same order and types.
class KeptSource {
  public:
    KeptSource(const uint64_t* words, const std::string& texts) : words_(words), texts_(texts) {}
    template <typename T>
    T Get() {
        const uint64_t word = *words_++;
        if constexpr (std::is_same_v<T, const char*>) {
            return word == kNullText ? nullptr : texts_.data() + word;
        } else if constexpr (std::is_pointer_v<T>) {
            return reinterpret_cast<T>(static_cast<uintptr_t>(word));
        } else {
            return static_cast<T>(word);
        }
    }

  private:
    const uint64_t* words_;
    const std::string& texts_;
};

}  // namespace

std::string FormatDebugPrint(const char* format, va_list args) {
    std::string out;
    AppendDebugPrint(out, format, args);
    return out;
}

void AppendDebugPrint(std::string& out, const char* format, va_list args) {
    VaSource source(args);
    Render(out, format, source);
}

void PrintLog::Append(const char* format, va_list args) {
    // A driver prints from a few hundred fixed formats, so what each one takes is worked out
    // once, and kept with a copy of the text it was worked out from: the same address holding
    // another text gets a plan of its own.
    PlanSlot& slot = slots_[(reinterpret_cast<uintptr_t>(format) >> 3) % kPlanSlots];
    const Plan* plan = slot.address == format ? slot.plan : nullptr;
    if (plan == nullptr) {
        if (auto it = byAddress_.find(format); it != byAddress_.end()) {
            plan = it->second;
        }
    }
    if (plan != nullptr && !SameText(format, plan->format)) {
        plan = nullptr;
    }
    Record record;
    record.firstWord = words_.size();
    VaSource from(args);
    if (plan != nullptr) {
        CapturingSource source(from, words_, texts_, nullptr);
        for (ArgKind kind : plan->kinds) {
            source.Take(kind);
        }
    } else {
        auto fresh = std::make_unique<Plan>();
        fresh->format = format;
        CapturingSource source(from, words_, texts_, &fresh->kinds);
        const char* text = fresh->format.c_str();
        for (const char* p = std::strchr(text, '%'); p != nullptr; p = std::strchr(p, '%')) {
            if (p[1] == '%') {
                p += 2;
                continue;
            }
            Conversion c;
            p = Parse(p, c, source);
            if (c.conversion == 0) {
                break;
            }
            Fetch(c, source);
        }
        plan = fresh.get();
        byAddress_[format] = plan;
        plans_.push_back(std::move(fresh));
    }
    slot = PlanSlot{format, plan};
    record.plan = plan;
    records_.push_back(record);
}

void PrintLog::Clear() {
    records_.clear();
    words_.clear();
    texts_.clear();
    text_.clear();
    ends_.clear();
    // No record is left to need a plan; a driver printing from ever new buffers would
    // otherwise make them pile up.
    if (plans_.size() > kPlanLimit) {
        byAddress_.clear();
        plans_.clear();
        slots_.fill(PlanSlot{});
    }
}

void PrintLog::RenderPending() const {
    for (size_t i = ends_.size(); i < records_.size(); ++i) {
        const Record& record = records_[i];
        KeptSource source(words_.data() + record.firstWord, texts_);
        Render(text_, record.plan->format.c_str(), source);
        ends_.push_back(text_.size());
    }
}

const std::string& PrintLog::Text() const {
    RenderPending();
    return text_;
}

const std::vector<size_t>& PrintLog::Ends() const {
    RenderPending();
    return ends_;
}

std::vector<std::string> JoinPrintsIntoLines(const std::vector<std::string>& prints) {
    std::string all;
    for (const std::string& p : prints) {
        all += p;
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < all.size()) {
        const size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(all.substr(start));
            break;
        }
        lines.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace sim
