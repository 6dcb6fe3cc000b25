#include "ToolkitTestSupport.h"

#include "diagnostics/Log.h"

#include "TestSupport.h"

#include <stdexcept>
#include <string>

using namespace diagnostics;
using namespace testing_support;

namespace {

bool classRegistered(const wchar_t* name) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    return GetClassInfoExW(GetModuleHandleW(nullptr), name, &wc) != FALSE;
}

bool gdiplusRuns() {
    Gdiplus::Bitmap bitmap(4, 4, PixelFormat32bppPARGB);
    return bitmap.GetLastStatus() == Gdiplus::Ok;
}

TEST(ApplicationTest, LiveFromConstructionToDestruction) {
    ASSERT_EQ(Nvx::Application::instance(), nullptr);
    {
        Nvx::Application app(GetModuleHandleW(nullptr));
        EXPECT_EQ(Nvx::Application::instance(), &app);
        EXPECT_EQ(app.hInstance(), GetModuleHandleW(nullptr));
        EXPECT_TRUE(gdiplusRuns());
        EXPECT_TRUE(classRegistered(L"Nvx_AbstractControl"));
        EXPECT_TRUE(classRegistered(L"Nvx_AbstractButton"));
    }
    EXPECT_EQ(Nvx::Application::instance(), nullptr);
    // A later application starts GDI+ again.
    Nvx::Application again(GetModuleHandleW(nullptr));
    EXPECT_EQ(Nvx::Application::instance(), &again);
    EXPECT_TRUE(gdiplusRuns());
}

TEST(ApplicationTest, SecondApplicationThrowsAndLeavesTheFirstAlone) {
    Nvx::Application first(GetModuleHandleW(nullptr));
    try {
        Nvx::Application second(GetModuleHandleW(nullptr));
        FAIL() << "a second application was created";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Application is already created!");
    }
    EXPECT_EQ(Nvx::Application::instance(), &first);
    EXPECT_TRUE(gdiplusRuns());
    EXPECT_TRUE(classRegistered(L"Nvx_AbstractControl"));
    EXPECT_TRUE(classRegistered(L"Nvx_AbstractButton"));
}

TEST(ApplicationTest, RegisteringWithoutAnApplicationFails) {
    ASSERT_EQ(Nvx::Application::instance(), nullptr);
    EXPECT_EQ(Nvx::registerWindowClass(L"Nvx_TestOrphanClass", nullptr), 0);
    EXPECT_FALSE(classRegistered(L"Nvx_TestOrphanClass"));
}

class RunTest : public ToolkitTest {};

TEST_F(RunTest, DispatchesUntilQuitAndReturnsItsCode) {
    auto probe = makeTopLevel(0, 0, 50, 50);
    probe->record(WM_APP);
    PostMessageW(probe->hwnd(), WM_APP, 0, 0);
    PostQuitMessage(42);
    EXPECT_EQ(Nvx::Application::run(), 42);
    EXPECT_EQ(probe->seen, std::vector<UINT>{WM_APP});
}

class BuildFailureTest : public ToolkitTest {
protected:
    void SetUp() override {
        ToolkitTest::SetUp();
        endLog();
        startLog("KelvaneTest_Toolkit", false, LogFolderKind::LocalAppData, LogHeaderMode::None);
        ASSERT_NE(Log::instance(), nullptr);
        path = Log::instance()->file().path();
    }
    void TearDown() override {
        endLog();
        testing_support::deleteFileIfPresent(path);
        ToolkitTest::TearDown();
    }
    std::wstring path;
};

TEST_F(BuildFailureTest, FailedCreationIsLoggedWithTheErrorCode) {
    // The code the system gives for a class that does not exist.
    SetLastError(0);
    EXPECT_EQ(CreateWindowExW(0, L"Nvx_NoSuchClass", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                              GetModuleHandleW(nullptr), nullptr),
              nullptr);
    const DWORD expected = GetLastError();
    ASSERT_NE(expected, 0u);

    Probe probe;
    EXPECT_FALSE(probe.create(L"Nvx_NoSuchClass", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    EXPECT_EQ(probe.hwnd(), nullptr);
    const std::string log = testing_support::readFileBytes(path);
    const std::string line = "E: Build failed " + std::to_string(expected) + "\r\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
}

TEST_F(BuildFailureTest, CreationRefusedAtCreateLeavesNoWindow) {
    Probe probe;
    probe.record(WM_CREATE, -1);
    EXPECT_FALSE(probe.create(L"Nvx_AbstractControl", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr));
    EXPECT_EQ(probe.hwnd(), nullptr);
    EXPECT_EQ(probe.seen, std::vector<UINT>{WM_CREATE});
    EXPECT_NE(testing_support::readFileBytes(path).find("E: Build failed "), std::string::npos);
}

}  // namespace
