// The framework's windows in every language: the about window, each tab of
// the settings window and the feedback window show every text whole, with a
// glyph for each character and room for each label and button.
#include "KXUITestSupport.h"

#include "../support/TextFit.h"
#include "kxstrings/KXLanguage.h"
#include "kxstrings/KXStrings.h"
#include "kxui/AboutWindow.h"
#include "kxui/FeedbackView.h"
#include "kxui/SettingsView.h"

#include <QDialog>

#include <gtest/gtest.h>

#include <string>

using namespace kxui;

namespace {

void settle() {
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
}

class FrameworkLanguages : public ::testing::TestWithParam<KXLanguage::Language> {
protected:
    void SetUp() override {
        testContext();
        KXStrings::resetForTesting();
        KXStrings::setLanguage(std::string(GetParam().code));
        KXStrings::registerProductBundle();
    }
    void TearDown() override {
        KXStrings::resetForTesting();
        KXStrings::setLanguage("en");
        KXStrings::registerProductBundle();
    }
    void expectFits(QWidget* top, const std::string& window) {
        settle();
        for (const auto& p : textfit::problems(top))
            ADD_FAILURE() << GetParam().code << ", " << window << ": " << p;
    }
};

TEST_P(FrameworkLanguages, AboutSettingsAndFeedbackShowEveryTextWhole) {
    KXContext& ctx = testContext();
    clearSettings();
    AboutWindow* about = AboutWindow::show(ctx);
    expectFits(about, "about");
    about->close();
    about->deleteLater(); // the next language builds it anew

    SettingsView settings(ctx);
    settings.show();
    for (int tag : SettingsView::tags) {
        settings.selectTab(tag);
        expectFits(&settings, "settings tab " + std::to_string(tag));
    }
    settings.close();

    QDialog* feedback = FeedbackView::openDialog(ctx, kxcore::FeedbackRequest("menu"));
    feedback->findChild<FeedbackView*>()->setPreviewExpanded(true);
    expectFits(feedback, "feedback");
    feedback->close();
    feedback->deleteLater();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

INSTANTIATE_TEST_SUITE_P(All, FrameworkLanguages, ::testing::ValuesIn(KXLanguage::all),
                         [](const auto& param) { return textfit::testName(param.param.code); });

} // namespace
