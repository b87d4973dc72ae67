// Decoding of the few x64 instructions a driver executes that user mode cannot: port I/O, the
// CR8 (IRQL) moves, and the plain moves through a device-memory view. The trap handler uses it
// to carry out the instruction itself and step past it.
#ifndef CORVAX_HARNESS_X86_DECODE_H
#define CORVAX_HARNESS_X86_DECODE_H

#include <cstddef>
#include <cstdint>

namespace harness {

struct Instruction {
    enum class Kind {
        Unknown,
        PortIn,    // in al/ax/eax, dx|imm8
        PortOut,   // out dx|imm8, al/ax/eax
        Cr8Read,   // mov r64, cr8
        Cr8Write,  // mov cr8, r64
        Load,      // mov/movzx reg, [mem]
        Store,     // mov [mem], reg|imm
    };
    Kind kind = Kind::Unknown;
    unsigned length = 0;    // bytes to step over
    unsigned size = 0;      // bytes moved: 1, 2, 4 or 8
    int reg = -1;           // register number 0-15 (rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi, r8...)
    bool highByte = false;  // ah, ch, dh or bh (reg is then rax..rbx)
    bool zeroExtend = false;  // movzx, or a 32-bit destination that clears the upper half
    bool immediate = false;   // the value is `value`, not a register (store, port number)
    uint64_t value = 0;       // immediate store value, or the port of an imm8 form
    bool portInDx = false;
};

// Decodes the instruction at code (at most `available` bytes readable). Kind::Unknown for
// anything outside the forms above.
Instruction Decode(const uint8_t* code, size_t available);

}  // namespace harness

#endif  // CORVAX_HARNESS_X86_DECODE_H
