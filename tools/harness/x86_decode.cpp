// The instruction forms the trap handler emulates.
#include "tools/harness/x86_decode.h"

namespace harness {
namespace {

// Length of a ModRM memory operand (ModRM byte included) and the decoded fields.
bool ModRm(const uint8_t* p, size_t available, unsigned* length, unsigned* mod, unsigned* reg,
           unsigned* rm) {
    if (available < 1) {
        return false;
    }
    const uint8_t m = p[0];
    *mod = m >> 6;
    *reg = (m >> 3) & 7;
    *rm = m & 7;
    unsigned n = 1;
    if (*mod != 3 && *rm == 4) {
        if (available < 2) {
            return false;
        }
        const uint8_t sib = p[1];
        ++n;
        if (*mod == 0 && (sib & 7) == 5) {
            n += 4;
        }
    }
    if (*mod == 0 && *rm == 5) {
        n += 4;  // rip-relative
    } else if (*mod == 1) {
        n += 1;
    } else if (*mod == 2) {
        n += 4;
    }
    if (n > available) {
        return false;
    }
    *length = n;
    return true;
}

}  // namespace

Instruction Decode(const uint8_t* code, size_t available) {
    Instruction out;
    size_t i = 0;
    bool operand16 = false;
    uint8_t rex = 0;
    // Legacy prefixes the compiler may emit before these forms.
    while (i < available && (code[i] == 0x66 || code[i] == 0xF0)) {
        operand16 = operand16 || code[i] == 0x66;
        ++i;
    }
    if (i < available && (code[i] & 0xF0) == 0x40) {
        rex = code[i++];
    }
    if (i >= available) {
        return out;
    }
    const bool rexW = (rex & 8) != 0;
    const unsigned rexR = (rex & 4) ? 8 : 0;
    const unsigned rexB = (rex & 1) ? 8 : 0;
    const unsigned wide = rexW ? 8 : operand16 ? 2 : 4;
    const uint8_t op = code[i++];
    unsigned modLength = 0;
    unsigned mod = 0;
    unsigned reg = 0;
    unsigned rm = 0;

    auto byteRegister = [&](unsigned number) {
        // Without a REX prefix, 4-7 name ah, ch, dh, bh.
        if (rex == 0 && number >= 4 && number < 8) {
            out.reg = static_cast<int>(number - 4);
            out.highByte = true;
        } else {
            out.reg = static_cast<int>(number);
        }
    };

    switch (op) {
        case 0xE4:
        case 0xE5:
        case 0xE6:
        case 0xE7:
            if (i >= available) {
                return out;
            }
            out.kind = (op & 2) ? Instruction::Kind::PortOut : Instruction::Kind::PortIn;
            out.size = (op & 1) ? (operand16 ? 2 : 4) : 1;
            out.immediate = true;
            out.value = code[i++];
            out.reg = 0;
            out.length = static_cast<unsigned>(i);
            return out;
        case 0xEC:
        case 0xED:
        case 0xEE:
        case 0xEF:
            out.kind = (op & 2) ? Instruction::Kind::PortOut : Instruction::Kind::PortIn;
            out.size = (op & 1) ? (operand16 ? 2 : 4) : 1;
            out.portInDx = true;
            out.reg = 0;
            out.length = static_cast<unsigned>(i);
            return out;
        case 0x0F: {
            if (i >= available) {
                return out;
            }
            const uint8_t op2 = code[i++];
            if (op2 == 0x20 || op2 == 0x22) {
                if (!ModRm(code + i, available - i, &modLength, &mod, &reg, &rm) || mod != 3) {
                    return out;
                }
                // CR8 is control register 0 with REX.R (or with the lock prefix on AMD).
                const bool lock = i >= 3 && code[0] == 0xF0;
                if (reg + rexR != 8 && !(lock && reg == 0)) {
                    return out;
                }
                out.kind = op2 == 0x20 ? Instruction::Kind::Cr8Read : Instruction::Kind::Cr8Write;
                out.reg = static_cast<int>(rm + rexB);
                out.size = 8;
                out.length = static_cast<unsigned>(i + modLength);
                return out;
            }
            if (op2 == 0xB6 || op2 == 0xB7) {
                if (!ModRm(code + i, available - i, &modLength, &mod, &reg, &rm) || mod == 3) {
                    return out;
                }
                out.kind = Instruction::Kind::Load;
                out.size = op2 == 0xB6 ? 1 : 2;
                out.reg = static_cast<int>(reg + rexR);
                out.zeroExtend = true;
                out.length = static_cast<unsigned>(i + modLength);
                return out;
            }
            return out;
        }
        case 0x8A:
        case 0x8B:
        case 0x88:
        case 0x89: {
            if (!ModRm(code + i, available - i, &modLength, &mod, &reg, &rm) || mod == 3) {
                return out;
            }
            out.kind = (op & 2) ? Instruction::Kind::Load : Instruction::Kind::Store;
            if ((op & 1) == 0) {
                out.size = 1;
                byteRegister(reg + rexR);
            } else {
                out.size = wide;
                out.reg = static_cast<int>(reg + rexR);
                out.zeroExtend = wide == 4;
            }
            out.length = static_cast<unsigned>(i + modLength);
            return out;
        }
        case 0xC6:
        case 0xC7: {
            if (!ModRm(code + i, available - i, &modLength, &mod, &reg, &rm) || mod == 3 ||
                reg != 0) {
                return out;
            }
            i += modLength;
            const unsigned immediateSize = op == 0xC6 ? 1 : (operand16 ? 2 : 4);
            if (i + immediateSize > available) {
                return out;
            }
            uint64_t v = 0;
            for (unsigned b = 0; b < immediateSize; ++b) {
                v |= static_cast<uint64_t>(code[i + b]) << (8 * b);
            }
            out.kind = Instruction::Kind::Store;
            out.size = op == 0xC6 ? 1 : wide;
            out.immediate = true;
            out.value = v;
            out.length = static_cast<unsigned>(i + immediateSize);
            return out;
        }
        default:
            return out;
    }
}

}  // namespace harness
