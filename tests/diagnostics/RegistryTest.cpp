#include "diagnostics/Registry.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace diagnostics;
using namespace testing_support;

using testing_support::ScopedSettingsKey;

namespace {

class ReadLogLevel : public ::testing::Test {
protected:
    const std::string name = "KelvaneTest_Registry";
    void SetUp() override { testing_support::deleteSettingsKeys(name); }
    void TearDown() override { testing_support::deleteSettingsKeys(name); }
};

bool keyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

TEST_F(ReadLogLevel, NeitherKeyGivesDefaultOneAndCreatesNothing) {
    EXPECT_EQ(readLogLevel(name.c_str()), 1);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Tavrello\\" + name));
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, "Software\\Tavrello\\" + name));
}

TEST_F(ReadLogLevel, UserValueWinsOverMachineValue) {
    ScopedSettingsKey user(HKEY_CURRENT_USER, name);
    ScopedSettingsKey machine(HKEY_LOCAL_MACHINE, name);
    user.setDword("LogLevel", 0);
    machine.setDword("LogLevel", 5);
    EXPECT_EQ(readLogLevel(name.c_str()), 0);
}

TEST_F(ReadLogLevel, MachineValueAppliesWhenUserHasNone) {
    ScopedSettingsKey machine(HKEY_LOCAL_MACHINE, name);
    machine.setDword("LogLevel", 3);
    EXPECT_EQ(readLogLevel(name.c_str()), 3);

    // A user key without the value still falls through.
    ScopedSettingsKey user(HKEY_CURRENT_USER, name);
    user.setDword("OtherValue", 9);
    EXPECT_EQ(readLogLevel(name.c_str()), 3);
}

TEST_F(ReadLogLevel, AllBitsSetIsMinusOne) {
    ScopedSettingsKey user(HKEY_CURRENT_USER, name);
    user.setDword("LogLevel", 0xFFFFFFFFu);
    EXPECT_EQ(readLogLevel(name.c_str()), -1);
}

TEST_F(ReadLogLevel, EightByteUserValueCountsAsMissing) {
    ScopedSettingsKey user(HKEY_CURRENT_USER, name);
    const unsigned long long wide = 4;
    user.setRaw("LogLevel", REG_QWORD, &wide, sizeof wide);
    EXPECT_EQ(readLogLevel(name.c_str()), 1);

    ScopedSettingsKey machine(HKEY_LOCAL_MACHINE, name);
    machine.setDword("LogLevel", 7);
    EXPECT_EQ(readLogLevel(name.c_str()), 7);
}

TEST_F(ReadLogLevel, ShortValuesReplaceOnlyLowBytesOfThePreset) {
    ScopedSettingsKey user(HKEY_CURRENT_USER, name);
    user.setRaw("LogLevel", REG_SZ, "0", 2);  // '0' and its terminator
    EXPECT_EQ(readLogLevel(name.c_str()), 48);

    user.setRaw("LogLevel", REG_BINARY, "", 0);
    EXPECT_EQ(readLogLevel(name.c_str()), 2);
}

TEST_F(ReadLogLevel, ThirtyTwoBitViewIsTheOneRead) {
    // Written in the 64-bit view only: not seen through the 32-bit view.
    HKEY key = nullptr;
    const std::string path = "Software\\Tavrello\\" + name;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD value = 6;
    RegSetValueExA(key, "LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(key);
    const int32_t level = readLogLevel(name.c_str());
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), KEY_WOW64_64KEY, 0);
    EXPECT_EQ(level, 1);
}

TEST(RegistryKey, AccessMaskFollowsTheViewFlag) {
    EXPECT_EQ(registryAccessMask(1), 0x20219u);
    EXPECT_EQ(registryAccessMask(-3), 0x20219u);
    EXPECT_EQ(registryAccessMask(0), 0x20119u);
}

TEST(RegistryKey, MissingKeyHasNoHandleAndQueriesFail) {
    RegistryKey key("Software\\Tavrello\\KelvaneTest_NoSuchKey", RegistryRoot::CurrentUser, 1);
    EXPECT_FALSE(key.isOpen());
    int32_t value = 42;
    EXPECT_FALSE(key.queryValue("LogLevel", &value));
    EXPECT_EQ(value, 42);
}

}  // namespace
