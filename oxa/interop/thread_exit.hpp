// A host thread that is inside an engine call when the interpreter shuts down.
//
// Once the interpreter's finalization has begun, any other thread that asks for the
// interpreter lock again (after a switch, a sleep, any blocking call) is ended on the spot
// with pthread_exit. That unwinds the thread's whole stack, and with it every engine frame
// between the host's call and the point where the thread stopped, while the finalizing
// thread owns the lock and is tearing the interpreter down. Running those frames'
// clean-ups would touch Python objects without the lock in the middle of that teardown:
// references dropped (an iterator freed), the handled exception put back, a pybind11 error
// taking the lock once more from inside the unwinding.
//
// Every frame of this module unwinds through one personality routine (thread_exit.cpp). It
// defers to the C++ runtime's own in every case but that one: a forced unwind while the
// interpreter is finalizing passes the module's frames without their clean-ups, so what they
// held is left behind, as the interpreter leaves the ended thread's own objects. No other
// code needs a check of its own.
#pragma once

namespace oxa {

// Whether the C++ runtime's personality routine was found; the module cannot raise or catch
// anything without it. Checked once at import.
bool thread_exit_ready();

}  // namespace oxa
