// A small assembler for the instruction set, so that hand-written programs
// (the self-check, tests, benchmarks) read as the code they run.
//
// One instruction or directive per line, destination first:
//   loop:  sub r0, r1          ; comments run from ';' to the line end
//          jne loop
//          movl r2, $-5        ; $ immediate, @ address of a label
//          movl r3, [table+4]  ; [addr]  [fp-8]  [r1]  byte [r1]  word [r1]
//          preop r0, [r1], $4
//          enter 8 / leave 8 / trap 12 / call func / call r2 / ret
//   table: .long 1, 2, label   .word 7   .byte 1, 2   .asciz "text"   .zero 16
// A nibble of the register byte that the instruction does not read is written
// as 7. Registers are r0-r15 (fields 8 to 15 are encodable), fp = r6, sp = r7.
// Values are numbers (decimal or 0x hex), characters and labels joined by + and
// -. Labels resolve to origin + offset, the address where the code will run.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct AssembledProgram {
  std::vector<uint8_t> bytes;
  std::map<std::string, uint32_t, std::less<>> labels;  // absolute addresses
  std::string error;                                    // "line N: ..." when it failed
  bool ok() const { return error.empty(); }
};

AssembledProgram Assemble(std::string_view source, uint32_t origin);
