#include "diagnostics/LogNumbers.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

using namespace diagnostics;
using namespace testing_support;

// Support staff read the numbers in the users' README: it lists each number
// the programs write once, and no other.
TEST(LogNumbers, UsersReadmeListsExactlyTheNumbersWritten) {
    std::multiset<int> written;
    for (const LogNumberMeaning& row : LogNumberTable) {
        written.insert(static_cast<int>(row.number));
        EXPECT_GT(std::string(row.meaning).size(), 10u) << static_cast<int>(row.number);
    }
    std::multiset<int> listed;
    const std::regex entry(R"(^  (\d{4})  +\S.*)");
    std::istringstream readme(readFileBytes(windowsPathOf(KELVANE_USERS_README)));
    for (std::string line; std::getline(readme, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) listed.insert(std::stoi(m[1]));
    }
    EXPECT_EQ(listed, written);
    EXPECT_EQ(std::set<int>(written.begin(), written.end()).size(), written.size()) << "a number used twice";
}
