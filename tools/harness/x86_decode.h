// The instructions a driver executes that user mode cannot carry out itself, decoded with Zydis:
// port I/O, the CR8 (IRQL) moves, and the moves through a device-memory view. The trap handler
// uses the result to carry the instruction out and step past it; anything else stops the run,
// named by its bytes and its disassembly.
#ifndef CORVAX_HARNESS_X86_DECODE_H
#define CORVAX_HARNESS_X86_DECODE_H

#include <cstddef>
#include <cstdint>

namespace harness {

struct Instruction {
    enum class Kind {
        Unknown,   // not one of the forms below (or not an instruction at all)
        PortIn,    // in al/ax/eax, dx|imm8
        PortOut,   // out dx|imm8, al/ax/eax
        Cr8Read,   // mov r64, cr8
        Cr8Write,  // mov cr8, r64
        Load,      // mov/movzx/movsx/movsxd reg, [mem]
        Store,     // mov [mem], reg|imm
    };
    Kind kind = Kind::Unknown;
    unsigned length = 0;    // bytes to step over; 0 when the bytes decode to no instruction
    unsigned size = 0;      // bytes moved through the port or the memory operand: 1, 2, 4, 8
    int reg = -1;           // general register 0-15 (rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8..)
    unsigned regSize = 0;   // bytes of the register operand as the instruction names it
    bool highByte = false;  // ah, ch, dh or bh (reg is then rax..rbx)
    bool signExtend = false;  // movsx, movsxd: the value loaded is sign-extended to regSize
    bool immediate = false;   // the value is `value`, not a register (a store, a port number)
    uint64_t value = 0;       // the immediate of a store, or the port of an imm8 form
    bool portInDx = false;
};

// Decodes the instruction at code (at most `available` bytes readable).
Instruction Decode(const uint8_t* code, size_t available);

// Writes the instruction's bytes in hexadecimal and its Intel-syntax disassembly, e.g.
// "83 01 01 (add dword ptr [rcx], 0x01)", into text (always terminated). No allocation, so the
// trap handler may call it.
void DescribeInstruction(const uint8_t* code, size_t available, char* text, size_t capacity);

}  // namespace harness

#endif  // CORVAX_HARNESS_X86_DECODE_H
