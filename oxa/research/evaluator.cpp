#include "research/evaluator.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "research/register.hpp"

namespace oxa::research {
namespace {

struct OpcodeName {
    Opcode code;
    const char* name;
    int operands;
};

constexpr OpcodeName opcode_names[] = {
    {Opcode::Load, "load", 1},
    {Opcode::Constant, "constant", 1},
    {Opcode::Add, "add", 0},
    {Opcode::Subtract, "subtract", 0},
    {Opcode::Multiply, "multiply", 0},
    {Opcode::Divide, "divide", 0},
    {Opcode::Negative, "negative", 0},
    {Opcode::Positive, "positive", 0},
    {Opcode::Not, "not", 0},
    {Opcode::Absolute, "absolute", 0},
    {Opcode::Compare, "compare", 1},
    {Opcode::CompareOrJump, "compare_or_jump", 2},
    {Opcode::JumpIfFalseOrPop, "jump_if_false_or_pop", 1},
    {Opcode::JumpIfTrueOrPop, "jump_if_true_or_pop", 1},
    {Opcode::Min, "min", 1},
    {Opcode::Max, "max", 1},
};

[[noreturn]] void malformed(std::size_t at, const std::string& why) {
    throw std::invalid_argument("operation " + std::to_string(at) + " " + why);
}

// Programs this deep run on the machine stack; deeper ones (a min of many values) allocate.
constexpr std::size_t local_stack = 32;

Value* push(Value* top, const Value& value) { return new (top) Value(value) + 1; }

// Replaces the two top values by `result`; false when there is none.
bool replace_two(Value*& top, const std::optional<Value>& result) {
    if (!result) return false;
    --top;
    top[-1] = *result;
    return true;
}

bool replace_top(Value* top, const std::optional<Value>& result) {
    if (!result) return false;
    top[-1] = *result;
    return true;
}

}  // namespace

Program::Program(std::vector<Operation> operations) : operations_(std::move(operations)) {
    const std::size_t size = operations_.size();
    // The stack depth before each operation and at the end; every operation falls through
    // to the next, and a jump must arrive with the depth that the fall-through has there.
    std::vector<std::int64_t> depth_at(size + 1, -1);
    std::int64_t depth = 0;
    auto arrive = [&](std::size_t at, std::int64_t depth_there) {
        if (depth_at[at] != -1 && depth_at[at] != depth_there) malformed(at, "is reached with two stack depths");
        depth_at[at] = depth_there;
    };
    for (std::size_t at = 0; at < size; ++at) {
        arrive(at, depth);
        const Operation& op = operations_[at];
        auto take = [&](std::int64_t count) {
            if (depth < count) malformed(at, "takes more values than the stack holds");
            depth -= count;
        };
        auto jump = [&](std::int64_t target, std::int64_t depth_there) {
            if (target <= static_cast<std::int64_t>(at) || target > static_cast<std::int64_t>(size)) {
                malformed(at, "jumps to " + std::to_string(target) + ", not forward within the program");
            }
            arrive(static_cast<std::size_t>(target), depth_there);
        };
        auto comparison = [&](std::int32_t op_id) {
            if (op_id < Py_LT || op_id > Py_GE) malformed(at, "names comparison " + std::to_string(op_id));
        };
        switch (op.code) {
            case Opcode::Load:
                if (op.argument < 0) malformed(at, "loads slot " + std::to_string(op.argument));
                slots_needed_ = std::max(slots_needed_, static_cast<std::size_t>(op.argument) + 1);
                ++depth;
                break;
            case Opcode::Constant:
                if (!detail::native(op.constant)) malformed(at, "is a constant that is not a bool, int or float");
                ++depth;
                break;
            case Opcode::Add:
            case Opcode::Subtract:
            case Opcode::Multiply:
            case Opcode::Divide:
                take(2);
                ++depth;
                break;
            case Opcode::Negative:
            case Opcode::Positive:
            case Opcode::Not:
            case Opcode::Absolute:
                take(1);
                ++depth;
                break;
            case Opcode::Compare:
                comparison(op.argument);
                take(2);
                ++depth;
                break;
            case Opcode::CompareOrJump:
                comparison(op.argument);
                take(2);
                ++depth;
                jump(op.target, depth);
                break;
            case Opcode::JumpIfFalseOrPop:
            case Opcode::JumpIfTrueOrPop:
                take(1);
                jump(op.argument, depth + 1);
                break;
            case Opcode::Min:
            case Opcode::Max:
                if (op.argument < 2) malformed(at, "chooses among fewer than two values");
                take(op.argument);
                ++depth;
                break;
            default: malformed(at, "has an unknown opcode");
        }
        stack_depth_ = std::max(stack_depth_, static_cast<std::size_t>(depth));
    }
    arrive(size, depth);
    if (depth != 1) throw std::invalid_argument("the program leaves " + std::to_string(depth) + " values, not one");
}

std::optional<Value> Program::run(const Value* slots) const {
    // Room for the stack, left uninitialised (initialising it cost a third of a short
    // program's run): each value is constructed by the push that places it.
    alignas(Value) unsigned char local[local_stack * sizeof(Value)];
    std::unique_ptr<Value[]> heap;
    if (stack_depth_ > local_stack) heap.reset(new Value[stack_depth_]);
    Value* const stack = heap ? heap.get() : reinterpret_cast<Value*>(local);
    Value* top = stack;  // one past the top value
    const std::size_t size = operations_.size();
    std::size_t at = 0;
    while (at < size) {
        const Operation& op = operations_[at++];
        switch (op.code) {
            case Opcode::Load:
                // Values that are not native are Python's to use.
                if (slots[op.argument].kind == Value::Kind::Other) return std::nullopt;
                top = push(top, slots[op.argument]);
                break;
            case Opcode::Constant: top = push(top, op.constant); break;
            case Opcode::Add:
                if (!replace_two(top, add(top[-2], top[-1]))) return std::nullopt;
                break;
            case Opcode::Subtract:
                if (!replace_two(top, subtract(top[-2], top[-1]))) return std::nullopt;
                break;
            case Opcode::Multiply:
                if (!replace_two(top, multiply(top[-2], top[-1]))) return std::nullopt;
                break;
            case Opcode::Divide:
                if (!replace_two(top, true_divide(top[-2], top[-1]))) return std::nullopt;
                break;
            case Opcode::Negative:
                if (!replace_top(top, negative(top[-1]))) return std::nullopt;
                break;
            case Opcode::Positive:
                if (!replace_top(top, positive(top[-1]))) return std::nullopt;
                break;
            case Opcode::Absolute:
                if (!replace_top(top, absolute(top[-1]))) return std::nullopt;
                break;
            case Opcode::Not: {
                const std::optional<bool> holds = truth(top[-1]);
                if (!holds) return std::nullopt;
                top[-1] = Value::boolean(!*holds);
                break;
            }
            case Opcode::Compare:
            case Opcode::CompareOrJump: {
                const std::optional<bool> holds = compare(top[-2], top[-1], op.argument);
                if (!holds) return std::nullopt;
                --top;
                if (op.code == Opcode::Compare) {
                    top[-1] = Value::boolean(*holds);
                } else if (*holds) {
                    top[-1] = top[0];  // the right operand is the next link's left one
                } else {
                    top[-1] = Value::boolean(false);
                    at = static_cast<std::size_t>(op.target);
                }
                break;
            }
            case Opcode::JumpIfFalseOrPop:
            case Opcode::JumpIfTrueOrPop: {
                const std::optional<bool> holds = truth(top[-1]);
                if (!holds) return std::nullopt;
                if (*holds == (op.code == Opcode::JumpIfTrueOrPop)) {
                    at = static_cast<std::size_t>(op.argument);
                } else {
                    --top;
                }
                break;
            }
            case Opcode::Min:
            case Opcode::Max: {
                // Python's min and max: an item replaces the choice only when it is strictly
                // less (greater), so the first of equal values stays, and NaN follows from it.
                const int replaces = op.code == Opcode::Min ? Py_LT : Py_GT;
                Value* const first = top - op.argument;
                Value chosen = first[0];
                for (const Value* item = first + 1; item < top; ++item) {
                    const std::optional<bool> holds = compare(*item, chosen, replaces);
                    if (!holds) return std::nullopt;
                    if (*holds) chosen = *item;
                }
                top = first + 1;
                *first = chosen;
                break;
            }
        }
    }
    return stack[0];
}

namespace {

// Raised to Python as _road.NeedsPython.
struct NeedsPython : std::exception {
    const char* what() const noexcept override { return "only Python gives this text's exact value"; }
};

std::int32_t operand(PyObject* tuple, Py_ssize_t index, std::size_t at) {
    PyObject* item = PyTuple_GET_ITEM(tuple, index);
    int overflow = 0;
    const long value = PyLong_Check(item) ? PyLong_AsLongAndOverflow(item, &overflow) : 0;
    if (!PyLong_Check(item) || overflow || value < INT32_MIN || value > INT32_MAX) {
        malformed(at, "has an operand that is not a 32-bit int");
    }
    return static_cast<std::int32_t>(value);
}

// One operation from its tuple (opcode, operands...).
Program::Operation operation_from_python(py::handle item, std::size_t at) {
    PyObject* tuple = item.ptr();
    if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) == 0) malformed(at, "is not a tuple (opcode, operands...)");
    const std::int32_t code = operand(tuple, 0, at);
    const OpcodeName* known = std::find_if(std::begin(opcode_names), std::end(opcode_names),
                                           [&](const OpcodeName& entry) { return static_cast<std::int32_t>(entry.code) == code; });
    if (known == std::end(opcode_names)) malformed(at, "has the unknown opcode " + std::to_string(code));
    if (PyTuple_GET_SIZE(tuple) != known->operands + 1) {
        malformed(at, std::string("(") + known->name + ") takes " + std::to_string(known->operands) + " operands");
    }
    Program::Operation op;
    op.code = known->code;
    if (op.code == Opcode::Constant) {
        op.constant = from_python(PyTuple_GET_ITEM(tuple, 1));
    } else if (known->operands >= 1) {
        op.argument = operand(tuple, 1, at);
        if (known->operands == 2) op.target = operand(tuple, 2, at);
    }
    return op;
}

Program program_from_python(py::iterable operations) {
    std::vector<Program::Operation> converted;
    for (py::handle item : operations) converted.push_back(operation_from_python(item, converted.size()));
    return Program(std::move(converted));
}

py::object evaluate(const Program& program, py::handle values) {
    py::object sequence = py::reinterpret_steal<py::object>(PySequence_Fast(values.ptr(), "values must be a list"));
    if (!sequence) throw py::error_already_set();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.ptr());
    if (static_cast<std::size_t>(count) < program.slots_needed()) {
        throw std::invalid_argument("the program reads " + std::to_string(program.slots_needed()) + " values, " +
                                    std::to_string(count) + " given");
    }
    std::vector<Value> slots(static_cast<std::size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k) slots[k] = from_python(PySequence_Fast_GET_ITEM(sequence.ptr(), k));
    const std::optional<Value> result = program.run(slots.data());
    if (!result) throw NeedsPython();
    PyObject* object = to_python(*result);
    if (!object) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace

void register_evaluator(py::module_& m) {
    py::register_exception<NeedsPython>(m, "NeedsPython");
    py::dict opcodes;
    for (const OpcodeName& entry : opcode_names) opcodes[entry.name] = static_cast<int>(entry.code);
    m.attr("opcodes") = opcodes;
    py::class_<Program>(m, "Program",
                        "A strategy text compiled by brindle_tools.replay.native.compiler, run natively.")
        .def(py::init(&program_from_python), py::arg("operations"))
        .def("evaluate", &evaluate, py::arg("values"),
             "The value for these slot values, or NeedsPython where only Python gives it.")
        .def_property_readonly("slots_needed", &Program::slots_needed);
}

}  // namespace oxa::research
