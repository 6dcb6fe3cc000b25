// Runs in an executable of its own that carries four_numbers_version.rc.
#include "diagnostics/ModuleInfo.h"

#include <gtest/gtest.h>

using namespace diagnostics;

namespace {

TEST(FileVersion, EachFieldComesFromItsOwnPlace) {
    const FileVersion v = readFileVersion(moduleInfo().fullPath);
    EXPECT_EQ(v.major, 2);
    EXPECT_EQ(v.minor, 513);
    EXPECT_EQ(v.build, 1027);
    EXPECT_EQ(v.revision, 0xA001);
}

}  // namespace
