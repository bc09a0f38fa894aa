// Thread-local data a thread needs before it may run the library's code.
//
// The C library sets up the thread-local data of a module loaded at run time
// (this library's, and the C++ runtime's exception state) when a thread
// first touches it, and ends the process when it cannot allocate it: under a
// memory limit, a thread's first throw of std::bad_alloc would end the
// process instead of failing. Worker threads of the passes see to theirs
// themselves (core/document.h); any other thread calls `ready_thread_data`
// before it enters the library.
#pragma once

namespace vantrell_core {

// Touches all of this thread's thread-local data once, having checked that
// the room for it is there when the process runs under a memory limit.
// False when it is not: the thread must not enter the library (the caller
// reports that memory ran out). Cheap once it returned true on the thread.
bool ready_thread_data() noexcept;

} // namespace vantrell_core
