// Zydis decodes; this file only says which of its instructions the trap handler can carry out.
#include "tools/harness/x86_decode.h"

#include <Zydis/Zydis.h>

#include <cstdio>

namespace harness {
namespace {

constexpr size_t kMaxInstruction = 15;

bool DecodeFull(const uint8_t* code, size_t available, ZydisDecodedInstruction* instruction,
                ZydisDecodedOperand* operands) {
    ZydisDecoder decoder;
    if (!ZYAN_SUCCESS(
            ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64))) {
        return false;
    }
    const size_t length = available < kMaxInstruction ? available : kMaxInstruction;
    return ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder, code, length, instruction, operands));
}

// A general register as the trap handler's register file numbers it.
bool GeneralRegister(ZydisRegister r, Instruction* out) {
    if (r >= ZYDIS_REGISTER_AH && r <= ZYDIS_REGISTER_BH) {
        out->reg = static_cast<int>(r - ZYDIS_REGISTER_AH);
        out->highByte = true;
        out->regSize = 1;
        return true;
    }
    const ZydisRegister whole = ZydisRegisterGetLargestEnclosing(ZYDIS_MACHINE_MODE_LONG_64, r);
    if (whole < ZYDIS_REGISTER_RAX || whole > ZYDIS_REGISTER_R15) {
        return false;
    }
    out->reg = static_cast<int>(whole - ZYDIS_REGISTER_RAX);
    out->regSize = ZydisRegisterGetWidth(ZYDIS_MACHINE_MODE_LONG_64, r) / 8;
    return true;
}

bool IsRegister(const ZydisDecodedOperand& o, ZydisRegister r) {
    return o.type == ZYDIS_OPERAND_TYPE_REGISTER && o.reg.value == r;
}

// in/out: the accumulator and either dx or an 8-bit port number.
Instruction Port(const ZydisDecodedOperand& accumulator, const ZydisDecodedOperand& port,
                 Instruction::Kind kind, unsigned length) {
    Instruction out;
    if (accumulator.type != ZYDIS_OPERAND_TYPE_REGISTER ||
        !GeneralRegister(accumulator.reg.value, &out)) {
        return Instruction();
    }
    if (IsRegister(port, ZYDIS_REGISTER_DX)) {
        out.portInDx = true;
    } else if (port.type == ZYDIS_OPERAND_TYPE_IMMEDIATE) {
        out.immediate = true;
        out.value = port.imm.value.u & 0xFF;
    } else {
        return Instruction();
    }
    out.kind = kind;
    out.size = out.regSize;
    out.length = length;
    return out;
}

}  // namespace

Instruction Decode(const uint8_t* code, size_t available) {
    ZydisDecodedInstruction in;
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
    if (!DecodeFull(code, available, &in, ops) || in.operand_count_visible < 2) {
        return Instruction();
    }
    const ZydisDecodedOperand& first = ops[0];
    const ZydisDecodedOperand& second = ops[1];
    Instruction out;
    switch (in.mnemonic) {
        case ZYDIS_MNEMONIC_IN:
            return Port(first, second, Instruction::Kind::PortIn, in.length);
        case ZYDIS_MNEMONIC_OUT:
            return Port(second, first, Instruction::Kind::PortOut, in.length);
        case ZYDIS_MNEMONIC_MOV:
            if (IsRegister(first, ZYDIS_REGISTER_CR8) || IsRegister(second, ZYDIS_REGISTER_CR8)) {
                const bool write = IsRegister(first, ZYDIS_REGISTER_CR8);
                const ZydisDecodedOperand& other = write ? second : first;
                if (other.type != ZYDIS_OPERAND_TYPE_REGISTER ||
                    !GeneralRegister(other.reg.value, &out)) {
                    return Instruction();
                }
                out.kind = write ? Instruction::Kind::Cr8Write : Instruction::Kind::Cr8Read;
                out.size = 8;
                break;
            }
            if (first.type == ZYDIS_OPERAND_TYPE_MEMORY) {
                out.kind = Instruction::Kind::Store;
                out.size = first.size / 8;
                if (second.type == ZYDIS_OPERAND_TYPE_IMMEDIATE) {
                    out.immediate = true;
                    out.value = second.imm.value.u;
                } else if (second.type != ZYDIS_OPERAND_TYPE_REGISTER ||
                           !GeneralRegister(second.reg.value, &out)) {
                    return Instruction();
                }
                break;
            }
            [[fallthrough]];
        case ZYDIS_MNEMONIC_MOVZX:
        case ZYDIS_MNEMONIC_MOVSX:
        case ZYDIS_MNEMONIC_MOVSXD:
            if (second.type != ZYDIS_OPERAND_TYPE_MEMORY ||
                first.type != ZYDIS_OPERAND_TYPE_REGISTER ||
                !GeneralRegister(first.reg.value, &out)) {
                return Instruction();
            }
            out.kind = Instruction::Kind::Load;
            out.size = second.size / 8;
            out.signExtend =
                in.mnemonic == ZYDIS_MNEMONIC_MOVSX || in.mnemonic == ZYDIS_MNEMONIC_MOVSXD;
            break;
        default:
            return Instruction();
    }
    out.length = in.length;
    return out;
}

void DescribeInstruction(const uint8_t* code, size_t available, char* text, size_t capacity) {
    if (capacity == 0) {
        return;
    }
    ZydisDecodedInstruction in;
    ZydisDecodedOperand ops[ZYDIS_MAX_OPERAND_COUNT];
    const bool decoded = DecodeFull(code, available, &in, ops);
    // Undecodable bytes are shown as far as an instruction could reach.
    const size_t count =
        decoded ? in.length : (available < kMaxInstruction ? available : kMaxInstruction);
    char disassembly[96] = "not an instruction";
    ZydisFormatter formatter;
    if (decoded && (!ZYAN_SUCCESS(ZydisFormatterInit(&formatter, ZYDIS_FORMATTER_STYLE_INTEL)) ||
                    !ZYAN_SUCCESS(ZydisFormatterFormatInstruction(
                        &formatter, &in, ops, in.operand_count_visible, disassembly,
                        sizeof(disassembly), ZYDIS_RUNTIME_ADDRESS_NONE, nullptr)))) {
        std::snprintf(disassembly, sizeof(disassembly), "%s", "undisplayable");
    }
    // Whole in a buffer that always holds it, then cut to the caller's.
    char whole[3 * kMaxInstruction + sizeof(disassembly) + 4];
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        used += static_cast<size_t>(
            std::snprintf(whole + used, sizeof(whole) - used, i == 0 ? "%02x" : " %02x", code[i]));
    }
    std::snprintf(whole + used, sizeof(whole) - used, " (%s)", disassembly);
    std::snprintf(text, capacity, "%s", whole);
}

}  // namespace harness
