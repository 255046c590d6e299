#include "KXUITestSupport.h"

#include "kxcore/DeviceIdentity.h"
#include "kxui/AboutView.h"
#include "kxui/AboutWindow.h"
#include "kxui/FeedbackView.h"
#include "kxui/KXAccess.h"
#include "kxui/kx.h"

#include <QDate>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace kxui;

namespace {

int visibleAboutWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<AboutWindow*>(w) && w->isVisible()) ++n;
    return n;
}

QString labelText(QWidget* root, const char* name) {
    auto* label = root->findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("(no label %1)").arg(QLatin1String(name));
}

TEST(AboutWindow, OpeningItTwiceShowsOneWindow) {
    KXContext& ctx = testContext();
    AboutWindow* first = AboutWindow::show(ctx);
    AboutWindow* second = AboutWindow::show(ctx);
    EXPECT_EQ(first, second);
    EXPECT_EQ(visibleAboutWindows(), 1);
    EXPECT_EQ(first->windowTitle(), KXAccess::plainText(kx("app.about", ctx.product().displayName)));
    EXPECT_EQ(first->windowTitle(), "About Hushcoffer");
    // Closing keeps the one window for later.
    first->close();
    EXPECT_EQ(visibleAboutWindows(), 0);
    EXPECT_EQ(AboutWindow::show(ctx), first);
    EXPECT_EQ(visibleAboutWindows(), 1);
    first->close();
}

TEST(AboutWindow, RowsShowVersionYearAndTheShortInstallationId) {
    KXContext& ctx = testContext();
    AboutView view(ctx);
    const auto& p = ctx.product();
    EXPECT_EQ(labelText(&view, "version"), kx("about.version", p.version, p.build));
    EXPECT_EQ(labelText(&view, "tagline"), kx("app.tagline"));
    EXPECT_TRUE(labelText(&view, "copyright").contains(QString::number(QDate::currentDate().year())));
    const QString id = kxcore::DeviceIdentity::anonymousID(ctx.paths());
    // the id says what it is (a support id), and its tooltip what it is for
    EXPECT_EQ(labelText(&view, "deviceID"), kx("about.supportID", id.left(8)));
    EXPECT_FALSE(labelText(&view, "deviceID").startsWith("ID: "));
    EXPECT_EQ(view.findChild<QLabel*>("deviceID")->toolTip(), kx("about.supportIDHelp"));
    // the licence and the credits
    EXPECT_EQ(labelText(&view, "license"), kx("about.license", p.supportEmail));
    EXPECT_EQ(labelText(&view, "credits"), kx("about.credits"));
}

TEST(AboutWindow, EscapeClosesIt) {
    KXContext& ctx = testContext();
    AboutWindow* window = AboutWindow::show(ctx);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(visibleAboutWindows(), 0);
}

TEST(AboutWindow, LinksCarryTheCampaignAndFeedbackOpensTheForm) {
    KXContext& ctx = testContext();
    OpenedURLs opened;
    AboutView view(ctx);
    struct Case {
        const char* button;
        QString path;
        const char* campaign;
    };
    const QUrl site = ctx.product().website;
    for (const Case& c : {Case{"icon", ctx.product().homepage.path(), "about_name"},
                          Case{"website", ctx.product().homepage.path(), "about"},
                          Case{"privacy", "/privacy.html", "about"}, Case{"terms", "/terms.html", "about"}}) {
        auto* b = view.findChild<QPushButton*>(QLatin1String(c.button));
        ASSERT_NE(b, nullptr) << c.button;
        b->click();
        ASSERT_EQ(opened.size() > 0, true) << c.button;
        QUrl url = opened.last().url;
        EXPECT_EQ(url.host(), c.path.endsWith(".html") ? site.host() : ctx.product().homepage.host())
            << c.button;
        EXPECT_EQ(url.path(), c.path) << c.button;
        QUrlQuery q(url);
        EXPECT_EQ(q.queryItemValue("utm_source"), ctx.product().id) << c.button;
        EXPECT_EQ(q.queryItemValue("utm_campaign"), QLatin1String(c.campaign)) << c.button;
    }

    view.findChild<QPushButton*>("feedback")->click();
    QDialog* dialog = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "feedbackDialog" && w->isVisible()) dialog = qobject_cast<QDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    auto* form = dialog->findChild<FeedbackView*>();
    ASSERT_NE(form, nullptr);
    EXPECT_FALSE(form->isEmbedded());
    dialog->close();
}

} // namespace
