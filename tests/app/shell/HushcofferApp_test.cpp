// The application's support folder: HC_SUPPORT_DIR as the library and
// hushcoffer-cli read it (tests/support/SharedRuleCases.h), else the one of
// the framework's context.
#include "app/shell/HushcofferApp.h"

#include "../../support/SharedRuleCases.h"

#include <gtest/gtest.h>

namespace {

TEST(HushcofferAppSupport, TheSupportFolderIsTheLibrarysOrElseTheContexts) {
    const QString context = QStringLiteral("/context/support");
    for (const auto& c : sharedrules::supportCases()) {
        SCOPED_TRACE(c.what);
        const sharedrules::SupportEnvironment environment(c);
        const bool fromEnvironment = c.supportDir && !c.supportDir->empty();
        EXPECT_EQ(HushcofferApp::supportDirectory(context).toStdString(),
                  fromEnvironment ? c.expected.string() : context.toStdString());
    }
}

} // namespace
