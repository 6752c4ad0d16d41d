// Threads that the interpreter ends at exit.
//
// Up to Python 3.13, a thread that asks for the GIL once finalization has begun (a daemon
// thread still running) is ended with pthread_exit, which unwinds its stack as a forced
// exception. The cleanups of the C++ frames on that stack would release Python references
// without the GIL while the interpreter is torn down, and a noexcept frame on the way ends
// the process with std::terminate (tests/test_exit.py aborts so on 3.13 without this). This wraps
// the C++ personality routine of every frame compiled into the package (the linker's
// --wrap, see bindings/CMakeLists.txt): such a thread is parked for good at its first C++
// frame, as Python 3.14 does itself, and the process ends with it. Every other unwind
// goes to the real routine unchanged.
#include <Python.h>
#include <unistd.h>
#include <unwind.h>

namespace {

bool interpreter_is_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

extern "C" {

_Unwind_Reason_Code __real___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context);

_Unwind_Reason_Code __wrap___gxx_personality_v0(int version, _Unwind_Action actions,
                                                _Unwind_Exception_Class exception_class,
                                                _Unwind_Exception* exception,
                                                _Unwind_Context* context) {
  if ((actions & _UA_FORCE_UNWIND) && interpreter_is_finalizing()) {
    for (;;) pause();
  }
  return __real___gxx_personality_v0(version, actions, exception_class, exception, context);
}

}  // extern "C"
