#pragma once
// Threads of the program's own, each with a stack reservation chosen for what
// it runs. std::thread takes the executable's default reservation (1 or 2 MiB),
// which some systems commit whole for every thread.

#include "platform/Unique.h"

#include <windows.h>
#include <process.h>

#include <functional>
#include <memory>
#include <new>
#include <utility>

namespace platform {

namespace detail {

inline unsigned __stdcall runThreadBody(void* parameter) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace detail

// Starts `body` on a new thread whose stack reserves `stackReserveBytes` of
// address space (rounded up by the system, committed as the stack grows). The
// handle is the caller's: wait on it to join, let it go to detach. Null, with
// `body` not run, when no thread could be started.
inline UniqueHandle startThread(std::function<void()> body, unsigned stackReserveBytes) {
    std::unique_ptr<std::function<void()>> owned(new (std::nothrow) std::function<void()>(std::move(body)));
    if (!owned) return UniqueHandle();
    const uintptr_t thread = ::_beginthreadex(nullptr, stackReserveBytes, detail::runThreadBody, owned.get(),
                                              STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == 0) return UniqueHandle();
    owned.release();  // the thread owns it now
    return UniqueHandle(reinterpret_cast<HANDLE>(thread));
}

}  // namespace platform
