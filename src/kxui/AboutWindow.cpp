#include "kxui/AboutWindow.h"

#include "kxui/AboutView.h"
#include "kxui/KXAccess.h"
#include "kxui/KXContext.h"
#include "kxui/kx.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

namespace kxui {

namespace {

QPointer<AboutWindow>& theWindow() {
    static QPointer<AboutWindow> window;
    return window;
}

} // namespace

AboutWindow::AboutWindow(const KXContext& ctx)
    : QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint)
    , view_(new AboutView(ctx, this)) {
    setObjectName(QStringLiteral("aboutWindow"));
    setWindowTitle(KXAccess::plainText(kx("app.about", ctx.product().displayName)));
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
    setFixedWidth(460);
    setFixedHeight(sizeHint().height());
    // Escape closes it, as it closes a dialog
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
}

AboutWindow* AboutWindow::instance() {
    return theWindow().data();
}

AboutWindow* AboutWindow::show(const KXContext& ctx) {
    AboutWindow* window = theWindow().data();
    if (!window) {
        window = new AboutWindow(ctx);
        theWindow() = window;
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect area = screen->availableGeometry();
            window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
        }
    }
    window->QWidget::show();
    window->raise();
    window->activateWindow();
    return window;
}

} // namespace kxui
