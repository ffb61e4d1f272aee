// A strategy text compiled once per run (brindle_tools/replay/native/compiler.py) to a stack
// machine over an instrument's slots, and run natively on every tick with Python's exact results.
// Where it cannot give Python's answer it gives up, and the caller evaluates the text in
// Python.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "research/value.hpp"

namespace oxa::research {

// The operations, as Python builds them: a tuple per operation, the opcode first, then its
// operands (ints; a number for constant). Jump targets are indexes of a later operation, or
// the program's length for its end. Python reads the numbers by name from _road.opcodes.
enum class Opcode : std::int32_t {
    Load,                  // (load, slot): push slots[slot]
    Constant,              // (constant, bool | int | float): push it
    Add,                   // (add,) and the three below: pop right, pop left, push left op right
    Subtract,
    Multiply,
    Divide,                // true division
    Negative,              // (negative,) and the three below: replace the top by -x, +x, ...
    Positive,
    Not,
    Absolute,              // abs(x)
    Compare,               // (compare, op): pop right, pop left, push left op right;
                           // op is Python's Py_LT .. Py_GE
    CompareOrJump,         // (compare_or_jump, op, target): a link of a chain before its last:
                           // as compare, but false pushes False and jumps to target, and true
                           // pushes right, the next link's left
    JumpIfFalseOrPop,      // (jump_if_false_or_pop, target): `and`: a false top stays and
                           // jumps, a true one is popped
    JumpIfTrueOrPop,       // (jump_if_true_or_pop, target): `or`, the other way round
    Min,                   // (min, count): pop count values (2 or more), push the one
    Max,                   // Python's min/max returns (the first of equal ones)
};

// Twin: eval of the text, as COXAAlgos.Calc_Express does it (oxa/strategy/expression.cpp).
// Registered with pybind11 as _road.Program: py::cast<const Program&> gives the C++ object of a
// Python one.
class Program {
public:
    struct Operation {
        Opcode code = Opcode::Constant;
        std::int32_t argument = 0;  // slot, comparison, count or jump target
        std::int32_t target = 0;    // compare_or_jump's jump target
        Value constant;
    };

    // Throws std::invalid_argument for a program that does not leave exactly one value on
    // the stack on every path (or jumps backwards, or names an unknown comparison).
    explicit Program(std::vector<Operation> operations);

    // The text's value for these slots, or nothing where Python is needed. `slots` holds at
    // least slots_needed() values.
    std::optional<Value> run(const Value* slots) const;

    std::size_t slots_needed() const { return slots_needed_; }

private:
    std::vector<Operation> operations_;
    std::size_t stack_depth_ = 0;
    std::size_t slots_needed_ = 0;
};

}  // namespace oxa::research
