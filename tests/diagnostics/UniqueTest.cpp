// The platform owners release what they own without disturbing the thread's
// last error, which callers read after cleaning up.

#include "platform/Unique.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD CallerError = 0xE0004321;

// Not a handle of this process: closing it fails and sets ERROR_INVALID_HANDLE.
HANDLE strayHandle() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0)); }

}  // namespace

TEST(UniqueOwner, ResetAndDestructorKeepTheLastError) {
    // The close itself does change the error: otherwise nothing below is shown.
    ::SetLastError(CallerError);
    ASSERT_FALSE(::CloseHandle(strayHandle()));
    ASSERT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    platform::UniqueHandle reset(strayHandle());
    ::SetLastError(CallerError);
    reset.reset();
    EXPECT_EQ(::GetLastError(), CallerError);
    EXPECT_FALSE(reset);

    ::SetLastError(CallerError);
    { platform::UniqueFileHandle destroyed(strayHandle()); }
    EXPECT_EQ(::GetLastError(), CallerError);
}

TEST(UniqueOwner, AMovedOwnerClosesOnce) {
    platform::UniqueHandle first(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(first);
    const HANDLE event = first.get();
    platform::UniqueHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), event);
    second.reset();
    ::SetLastError(0);
    EXPECT_FALSE(::SetEvent(event)) << "the event is closed";
}
