// The support folder: the cases the window and the command-line tool run too
// (tests/support/SharedRuleCases.h).
#include "vaultkit/record/SupportFolder.h"

#include "../../support/SharedRuleCases.h"

#include <gtest/gtest.h>

using vaultkit::SupportFolder;

namespace {

TEST(SupportFolder, ComesFromTheEnvironmentElseTheDataHome) {
    for (const auto& c : sharedrules::supportCases()) {
        SCOPED_TRACE(c.what);
        const sharedrules::SupportEnvironment environment(c);
        EXPECT_EQ(SupportFolder::path(), c.expected);
        EXPECT_EQ(SupportFolder::fromEnvironment().has_value(), c.supportDir && !c.supportDir->empty());
    }
}

} // namespace
