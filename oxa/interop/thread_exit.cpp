#include "interop/thread_exit.hpp"

#include "interop/compat.hpp"
#include <dlfcn.h>
#include <unwind.h>

namespace {

using Personality = _Unwind_Reason_Code (*)(int, _Unwind_Action, _Unwind_Exception_Class, _Unwind_Exception*,
                                            _Unwind_Context*);

// The C++ runtime's routine, which the definition below hides from this module's frames.
const Personality runtime_personality =
    reinterpret_cast<Personality>(dlsym(RTLD_NEXT, "__gxx_personality_v0"));

}  // namespace

// The compiler names this routine in the unwind tables of every C++ frame; the module's own
// definition (not exported: the module exports PyInit_Brindle only) is the one its frames get.
extern "C" _Unwind_Reason_Code __gxx_personality_v0(int version, _Unwind_Action actions,
                                                     _Unwind_Exception_Class exception_class,
                                                     _Unwind_Exception* exception, _Unwind_Context* context) {
    if ((actions & _UA_FORCE_UNWIND) && Py_IsFinalizing()) return _URC_CONTINUE_UNWIND;
    return runtime_personality(version, actions, exception_class, exception, context);
}

namespace oxa {

bool thread_exit_ready() { return runtime_personality != nullptr; }

}  // namespace oxa
