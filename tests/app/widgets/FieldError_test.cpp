// The error under a field is announced: an alert to assistive technologies
// each time it shows, named by its text, and the field's description while
// it shows. The events are caught with Qt's update handler, no AT-SPI bus.
#include "app/widgets/FieldError.h"
#include "app/widgets/PasswordField.h"

#include <QAccessible>
#include <QApplication>
#include <QVBoxLayout>
#include <QWidget>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <gtest/gtest.h>

namespace {

// The alerts sent while it lives, by the text of their sender.
class AlertRecorder {
public:
    AlertRecorder() {
        alerts().clear();
        // events reach the handler only while a reader is taken to listen
        wasActive_ = QAccessible::isActive();
        platform()->setActive(true);
        previous_ = QAccessible::installUpdateHandler(&AlertRecorder::handle);
    }
    ~AlertRecorder() {
        QAccessible::installUpdateHandler(previous_);
        platform()->setActive(wasActive_);
    }
    static QStringList& alerts() {
        static QStringList list;
        return list;
    }

private:
    // Qt's own switch for a listening reader (no reader on the offscreen platform)
    static QPlatformAccessibility* platform() {
        return QGuiApplicationPrivate::platformIntegration()->accessibility();
    }
    static void handle(QAccessibleEvent* event) {
        if (event->type() != QAccessible::Alert) return;
        QAccessibleInterface* iface = event->accessibleInterface();
        alerts() << (iface ? iface->text(QAccessible::Name) : QStringLiteral("<no interface>"));
    }
    QAccessible::UpdateHandler previous_ = nullptr;
    bool wasActive_ = false;
};

TEST(FieldError, AnAlertNamedByItsTextEachTimeItShowsAndTheFieldsDescriptionMeanwhile) {
    AlertRecorder recorder;
    QWidget window;
    auto* column = new QVBoxLayout(&window);
    auto* field = new PasswordField(QStringLiteral("Password"), &window);
    field->setAccessibleDescription(QStringLiteral("the vault's password"));
    auto* error = new FieldError(field, &window);
    column->addWidget(field);
    column->addWidget(error);
    error->hide();
    window.show();
    QApplication::processEvents();

    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(error);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->role(), QAccessible::AlertMessage);
    EXPECT_TRUE(AlertRecorder::alerts().isEmpty()) << "nothing to say while hidden";

    struct Attempt {
        QString why;
        bool announced;
    };
    const Attempt attempts[] = {
        {QStringLiteral("Wrong password"), true},
        {QStringLiteral("Wrong password"), true}, // the same error again is said again
        {QString(), false},                       // a refusal without a reason shows nothing
        {QStringLiteral("The vault is busy"), true},
    };
    QStringList expected;
    for (const auto& a : attempts) {
        SCOPED_TRACE(a.why.toStdString());
        // as the pane and the sheets do: hidden for the attempt, then the reason
        error->hide();
        EXPECT_EQ(field->accessibleDescription(), QStringLiteral("the vault's password"));
        error->setText(a.why);
        error->setVisible(!a.why.isEmpty());
        if (a.announced) expected << a.why;
        EXPECT_EQ(AlertRecorder::alerts(), expected);
        EXPECT_EQ(field->accessibleDescription(), a.announced ? a.why : QStringLiteral("the vault's password"));
        EXPECT_EQ(iface->text(QAccessible::Name), a.why);
    }
    // typing again hides it and gives the field its own description back
    error->hide();
    EXPECT_EQ(field->accessibleDescription(), QStringLiteral("the vault's password"));
}

TEST(FieldError, MovedToAnotherFieldTheDescriptionMovesWithIt) {
    AlertRecorder recorder;
    QWidget window;
    auto* column = new QVBoxLayout(&window);
    auto* current = new PasswordField(QStringLiteral("Current"), &window);
    auto* next = new PasswordField(QStringLiteral("New"), &window);
    auto* error = new FieldError(nullptr, &window);
    column->addWidget(current);
    column->addWidget(next);
    column->addWidget(error);
    error->hide();
    window.show();

    error->setField(current);
    error->setText(QStringLiteral("Wrong password"));
    error->show();
    EXPECT_EQ(current->accessibleDescription(), QStringLiteral("Wrong password"));
    error->setField(next);
    EXPECT_TRUE(current->accessibleDescription().isEmpty());
    EXPECT_EQ(next->accessibleDescription(), QStringLiteral("Wrong password"));
    // a field that goes away while described leaves nothing dangling
    delete next;
    error->hide();
    error->setField(current);
    error->show();
    EXPECT_EQ(current->accessibleDescription(), QStringLiteral("Wrong password"));
    EXPECT_EQ(AlertRecorder::alerts().size(), 2);
}

} // namespace
