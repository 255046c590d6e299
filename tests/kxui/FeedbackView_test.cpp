// The feedback form against a feedback service on 127.0.0.1.
#include "KXUITestSupport.h"

#include "kxcore/Log.h"
#include "kxcore/SystemInfo.h"
#include "kxui/FeedbackView.h"
#include "kxui/kx.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrlQuery>

#include <QLabel>
#include <QTest>

#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>
#include <QAbstractButton>
#include <gtest/gtest.h>

using namespace kxui;
using kxcore::FeedbackRequest;
using kxcore::Settings;

namespace {

class FeedbackViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        testContext();
        clearSettings();
        setenv("KX_SERVICE_BASE", server.base().toUtf8().constData(), 1);
        // a mail program is there unless a test says otherwise
        FeedbackView::setMailProgramCheck([] { return true; });
    }
    void TearDown() override {
        FeedbackView::setMailProgramCheck({});
        setenv("KX_SERVICE_BASE", "", 1);
        clearSettings();
    }
    static void waitUntilDone(FeedbackView& view) {
        QDeadlineTimer deadline(10000);
        while (view.isSending() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_FALSE(view.isSending());
    }
    static bool shown(QWidget* w) { return w && !w->isHidden(); }

    TestHttpServer server;
};

TEST_F(FeedbackViewTest, SendingNeedsAnAddressAndAMessage) {
    Settings().setFeedbackEmail("kept@example.org");
    FeedbackView view(testContext(), FeedbackRequest("menu", "", "", "Prefilled"), false);
    view.show();
    auto* email = view.findChild<QLineEdit*>("email");
    auto* send = view.findChild<QPushButton*>("send");
    EXPECT_EQ(email->text(), "kept@example.org");
    EXPECT_EQ(view.findChild<QPlainTextEdit*>("message")->toPlainText(), "Prefilled");
    EXPECT_TRUE(view.canSend());
    EXPECT_TRUE(send->isEnabled());
    auto* attach = view.findChild<QCheckBox*>("attach");
    EXPECT_TRUE(attach->isChecked());
    // its text is a wrapping label beside it; a click on the text toggles it
    QTest::mouseClick(view.findChild<QLabel*>("attachText"), Qt::LeftButton);
    EXPECT_FALSE(attach->isChecked());
    QTest::mouseClick(view.findChild<QLabel*>("attachText"), Qt::LeftButton);
    EXPECT_TRUE(attach->isChecked());
    EXPECT_TRUE(shown(view.findChild<QPushButton*>("cancel")));

    struct Case {
        const char* email;
        const char* message;
        bool canSend;
        bool invalidShown;
    };
    for (Case c : {Case{"a@b.c", "hi", true, false}, Case{"  a@b.c\t", "hi", true, false},
                   Case{"a@b", "hi", false, true}, Case{"", "hi", false, false},
                   Case{"a@b.c", " \n\t ", false, false}, Case{"a b@c.d", "hi", false, true}}) {
        view.setEmail(QString::fromUtf8(c.email));
        view.setMessage(QString::fromUtf8(c.message));
        EXPECT_EQ(view.canSend(), c.canSend) << c.email << "/" << c.message;
        EXPECT_EQ(send->isEnabled(), c.canSend) << c.email << "/" << c.message;
        EXPECT_EQ(shown(view.findChild<QLabel*>("emailInvalid")), c.invalidShown) << c.email;
    }
}

TEST_F(FeedbackViewTest, ASentReportCarriesTheFormAndTheEmbeddedFormOffersAnother) {
    server.setHandler([](const auto&) { return TestHttpServer::Reply{200, R"({"success":true})"}; });
    FeedbackView view(testContext(), FeedbackRequest("settings", "E9", "extra lines"), true);
    view.show();
    EXPECT_FALSE(shown(view.findChild<QPushButton*>("cancel"))) << "embedded: no Cancel";
    view.setEmail("  ann@example.org ");
    view.setMessage("Works well.");
    view.send();
    EXPECT_TRUE(view.isSending());
    EXPECT_FALSE(view.canSend()) << "no second send while one is under way";
    waitUntilDone(view);
    EXPECT_TRUE(view.isSent());
    EXPECT_EQ(view.failure(), std::nullopt);
    EXPECT_EQ(Settings().feedbackEmail(), "ann@example.org") << "stored trimmed";

    ASSERT_EQ(server.requests().size(), 1u);
    QJsonObject body = server.requests()[0].json();
    EXPECT_EQ(body.value("email").toString(), "ann@example.org");
    EXPECT_EQ(body.value("message").toString(), "Works well.");
    EXPECT_EQ(body.value("context").toObject().value("scene").toString(), "settings");
    EXPECT_EQ(body.value("context").toObject().value("code").toString(), "E9");
    QString summary = body.value("log_summary").toString();
    EXPECT_TRUE(summary.contains("extra lines"));
    EXPECT_TRUE(summary.contains("--- log ---"));

    auto* sentLabel = view.findChild<QLabel*>("sentLabel");
    EXPECT_TRUE(sentLabel->isVisible());
    EXPECT_EQ(sentLabel->text(), kx("fb.sent", QStringLiteral("ann@example.org")));
    auto* another = view.findChild<QPushButton*>("sentButton");
    EXPECT_EQ(another->text(), kx("fb.another"));
    another->click();
    EXPECT_FALSE(view.isSent());
    EXPECT_EQ(view.findChild<QPlainTextEdit*>("message")->toPlainText(), "");
    EXPECT_EQ(view.findChild<QLineEdit*>("email")->text(), "  ann@example.org ");

    // Without diagnostics attached the summary is empty.
    view.setMessage("Second.");
    view.setAttach(false);
    view.send();
    waitUntilDone(view);
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].json().value("log_summary").toString(), "");
}

TEST_F(FeedbackViewTest, AFailureIsShownAndTheFormKeepsItsContent) {
    server.setHandler([](const auto&) { return TestHttpServer::Reply{200, R"({"success":false})"}; });
    FeedbackView view(testContext(), FeedbackRequest("menu"), false);
    view.show();
    view.setEmail("ann@example.org");
    view.setMessage("Keep me.");
    view.send();
    waitUntilDone(view);
    EXPECT_FALSE(view.isSent());
    EXPECT_EQ(view.failure(), "server error 200");
    auto* failure = view.findChild<QLabel*>("failure");
    EXPECT_TRUE(failure->isVisible());
    EXPECT_EQ(failure->text(), kx("fb.failed", QStringLiteral("server error 200")));
    EXPECT_EQ(view.findChild<QPlainTextEdit*>("message")->toPlainText(), "Keep me.");
    EXPECT_TRUE(view.canSend()) << "the user can try again";

    // A dialog's Close after success dismisses it.
    server.setHandler([](const auto&) { return TestHttpServer::Reply{200, R"({"success":true})"}; });
    view.send();
    waitUntilDone(view);
    EXPECT_FALSE(view.findChild<QLabel*>("failure")->isVisible());
    auto* close = view.findChild<QPushButton*>("sentButton");
    EXPECT_EQ(close->text(), kx("fb.close"));
    bool dismissed = false;
    QObject::connect(&view, &FeedbackView::dismissRequested, [&] { dismissed = true; });
    close->click();
    EXPECT_TRUE(dismissed);
}

TEST_F(FeedbackViewTest, WithoutAServiceOnlyEmailIsOffered) {
    setenv("KX_SERVICE_BASE", "", 1);
    FeedbackView view(testContext(), FeedbackRequest("menu"), false);
    view.show();
    view.setEmail("ann@example.org");
    view.setMessage("hello");
    EXPECT_FALSE(view.canSend());
    EXPECT_FALSE(view.findChild<QPushButton*>("send")->isVisible());
    EXPECT_TRUE(view.findChild<QLabel*>("mailOnly")->isVisible());
    EXPECT_TRUE(view.findChild<QPushButton*>("useMail")->isVisible());
    view.send();
    EXPECT_FALSE(view.isSending());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(FeedbackViewTest, DiagnosticsNameProductSystemRequestAndLog) {
    kxcore::Log::shared().info("a line for the diagnostics");
    FeedbackView view(testContext(), FeedbackRequest("banner", "E1", "from the banner"), false);
    QString d = view.diagnostics();
    const auto& p = testContext().product();
    QString first = d.section('\n', 0, 0);
    EXPECT_TRUE(first.startsWith(p.displayName + " " + p.version + " · ")) << first.toStdString();
    EXPECT_TRUE(first.contains(kxcore::SystemInfo::prettyName()));
    EXPECT_TRUE(first.endsWith("Linux " + kxcore::SystemInfo::kernelRelease())) << first.toStdString();
    EXPECT_TRUE(d.contains("\n\nfrom the banner\n\n--- log ---\n"));
    EXPECT_TRUE(d.contains("a line for the diagnostics"));
    // At most the last 6000 bytes of the log.
    for (int i = 0; i < 200; ++i)
        kxcore::Log::shared().info(std::string(100, 'x'));
    d = view.diagnostics();
    QString log = d.mid(d.indexOf("--- log ---\n") + 12);
    EXPECT_LE(log.toUtf8().size(), 6000);
    EXPECT_GE(log.toUtf8().size(), 5900);

    // Without request diagnostics there are two parts.
    FeedbackView plain(testContext(), FeedbackRequest("menu"), false);
    EXPECT_EQ(plain.diagnostics().count("\n\n--- log ---\n"), 1);
    EXPECT_FALSE(plain.diagnostics().contains("\n\n\n\n"));
}

TEST_F(FeedbackViewTest, TheEmailWayEncodesEverythingAndCutsDiagnosticsTo4000) {
    OpenedURLs opened;
    QString longDiagnostics = QString(3000, 'a') + QString(3999, 'b') + "Z";
    FeedbackView view(testContext(), FeedbackRequest("menu", "", longDiagnostics), false);
    const QString message = QString::fromUtf8("Fish & chips = 1+1 #2 100% ünïcode?\nsecond line");
    view.setMessage(message);
    view.findChild<QPushButton*>("useMail")->click();
    ASSERT_EQ(opened.size(), 1u);
    QUrl url = opened.last().url;
    EXPECT_EQ(url.scheme(), "mailto");
    EXPECT_EQ(url.path(), testContext().product().supportEmail);
    QUrlQuery q(url);
    ASSERT_EQ(q.queryItems().size(), 2);
    const auto& p = testContext().product();
    EXPECT_EQ(q.queryItemValue("subject", QUrl::FullyDecoded), p.displayName + " " + p.version + " feedback");
    QString body = q.queryItemValue("body", QUrl::FullyDecoded);
    EXPECT_TRUE(body.startsWith(message + "\n\n---\n")) << body.left(120).toStdString();
    QString attached = body.mid(message.size() + 6);
    EXPECT_EQ(attached.size(), 4000);
    EXPECT_EQ(attached, view.diagnostics().right(4000));

    view.setAttach(false);
    EXPECT_EQ(QUrlQuery(view.mailURL()).queryItemValue("body", QUrl::FullyDecoded), message + "\n\n---\n");
}

TEST_F(FeedbackViewTest, TheDialogIsItsOwnWindowAndCancelClosesIt) {
    QDialog* dialog = FeedbackView::openDialog(testContext(), FeedbackRequest("menu"));
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowTitle(), kx("fb.title"));
    QPointer<QDialog> guard(dialog);
    dialog->findChild<QPushButton*>("cancel")->click();
    EXPECT_FALSE(dialog->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(guard.isNull()) << "deleted when closed";
}

TEST_F(FeedbackViewTest, WithoutAMailProgramTheEmailWayOffersToCopyTheReport) {
    OpenedURLs opened;
    FeedbackView::setMailProgramCheck([] { return false; });
    FeedbackView view(testContext(), FeedbackRequest("menu", "", "extra diagnostics"), false);
    view.show();
    view.setMessage(QStringLiteral("The window is too small"));
    // the address says what it is for
    ASSERT_NE(view.emailHelp(), nullptr);
    EXPECT_EQ(view.emailHelp()->text(), kx("fb.emailHelp"));
    EXPECT_TRUE(shown(view.emailHelp()));
    EXPECT_FALSE(shown(view.copiedNote()));

    view.findChild<QPushButton*>("useMail")->click();
    EXPECT_EQ(opened.size(), 0u) << "no link handed to a desktop that cannot open it";
    QMessageBox* offer = view.copyOffer();
    ASSERT_NE(offer, nullptr);
    const QString support = testContext().product().supportEmail;
    EXPECT_EQ(offer->informativeText(), kx("fb.noMailBody", support));
    QAbstractButton* copy = nullptr;
    for (QAbstractButton* b : offer->buttons())
        if (b->text() == kx("fb.copyReport")) copy = b;
    ASSERT_NE(copy, nullptr);
    QGuiApplication::clipboard()->clear();
    copy->click();
    const QString copied = QGuiApplication::clipboard()->text();
    EXPECT_EQ(copied, view.mailText());
    EXPECT_TRUE(copied.startsWith("To: " + support + "\n")) << copied.left(80).toStdString();
    EXPECT_TRUE(copied.contains("The window is too small"));
    EXPECT_TRUE(copied.contains("\nSubject: " + testContext().product().displayName));
    EXPECT_TRUE(shown(view.copiedNote()));
    EXPECT_EQ(view.copiedNote()->text(), kx("fb.copied", support));
}

TEST_F(FeedbackViewTest, OpeningTheDiagnosticsMakesRoomInsteadOfOverlapping) {
    QDialog* dialog = FeedbackView::openDialog(testContext(), FeedbackRequest("menu", "", "extra"));
    auto* view = dialog->findChild<FeedbackView*>();
    ASSERT_NE(view, nullptr);
    view->setPreviewExpanded(true);
    QCoreApplication::processEvents();
    QWidget* preview = dialog->findChild<QWidget*>("preview");
    ASSERT_NE(preview, nullptr);
    ASSERT_TRUE(preview->isVisible());
    QWidget* form = preview->parentWidget();
    const QRect previewRect(preview->mapTo(dialog, QPoint(0, 0)), preview->size());
    for (QWidget* w : form->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (w == preview || !w->isVisible()) continue;
        const QRect r(w->mapTo(dialog, QPoint(0, 0)), w->size());
        EXPECT_FALSE(r.intersects(previewRect))
            << w->metaObject()->className() << " " << w->objectName().toStdString() << " overlaps the diagnostics";
        if (auto* label = qobject_cast<QLabel*>(w); label && label->wordWrap()) {
            EXPECT_GE(label->height() + 1, label->heightForWidth(label->width())) << label->text().toStdString();
        }
    }
    EXPECT_LE(QRect(dialog->findChild<QWidget*>("useMail")->mapTo(dialog, QPoint(0, 0)),
                    dialog->findChild<QWidget*>("useMail")->size()).bottom(),
              dialog->height());
    dialog->close();
}

} // namespace
