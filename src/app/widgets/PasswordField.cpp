#include "app/widgets/PasswordField.h"

#include "kxui/kx.h"

#include <QAction>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// An eye, struck through when `struck` (the action that hides the text
// again), drawn in the field's text colour so it follows the theme.
QIcon eyeIcon(const QColor& colour, bool struck, qreal ratio) {
    const int side = 16;
    QPixmap pixmap(QSize(side, side) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(colour, 1.4);
    painter.setPen(pen);
    QPainterPath outline;
    outline.moveTo(1.5, 8);
    outline.quadTo(8, 1.5, 14.5, 8);
    outline.quadTo(8, 14.5, 1.5, 8);
    painter.drawPath(outline);
    painter.setBrush(colour);
    painter.drawEllipse(QPointF(8, 8), 2.2, 2.2);
    if (struck) {
        painter.setBrush(Qt::NoBrush);
        painter.drawLine(QPointF(2.5, 13.5), QPointF(13.5, 2.5));
    }
    return QIcon(pixmap);
}

} // namespace

Qt::InputMethodHints PasswordField::secretHints() {
    return Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase;
}

PasswordField::PasswordField(const QString& placeholder, QWidget* parent)
    : QLineEdit(parent)
    , reveal_(new QAction(this)) {
    setPlaceholderText(placeholder);
    setAccessibleName(placeholder);
    reveal_->setCheckable(true);
    reveal_->setObjectName(QStringLiteral("revealPassword"));
    connect(reveal_, &QAction::toggled, this, &PasswordField::setRevealed);
    addAction(reveal_, QLineEdit::TrailingPosition);
    setRevealed(false);
}

void PasswordField::setRevealed(bool revealed) {
    revealed_ = revealed;
    // QLineEdit rewrites the hints for the echo mode; a shown secret keeps
    // those of a hidden one
    setEchoMode(revealed ? QLineEdit::Normal : QLineEdit::Password);
    setInputMethodHints(secretHints());
    if (reveal_->isChecked() != revealed) reveal_->setChecked(revealed);
    refreshReveal();
}

QWidget* PasswordField::revealButton() const {
    for (QObject* o : reveal_->associatedObjects())
        if (auto* w = qobject_cast<QWidget*>(o); w && w != this) return w;
    return nullptr;
}

void PasswordField::selectForRetry() {
    setFocus(Qt::OtherFocusReason);
    selectAll();
}

void PasswordField::changeEvent(QEvent* event) {
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::LanguageChange) refreshReveal();
}

void PasswordField::refreshReveal() {
    // A tooltip and the button's accessible name, no text: the button is
    // part of the field (no Tab stop, no access letter), drawn as the eye.
    const QString text = kx(revealed_ ? "password.hide" : "password.show");
    reveal_->setToolTip(text);
    reveal_->setIcon(eyeIcon(palette().color(QPalette::Text), revealed_, devicePixelRatioF()));
    if (QWidget* button = revealButton()) button->setAccessibleName(text);
}
