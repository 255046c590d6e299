#include "app/window/BannerView.h"

#include "app/model/AppModel.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

namespace {

bool sameBanner(const std::optional<Banner>& a, const Banner& b) {
    return a && a->id == b.id && a->text == b.text && a->isError == b.isError;
}

// The banner is an alert to assistive technologies: a screen reader
// announces it when it shows, by its text.
class BannerAccessible : public QAccessibleWidget {
public:
    explicit BannerAccessible(QWidget* banner)
        : QAccessibleWidget(banner, QAccessible::AlertMessage) {}
};

QAccessibleInterface* bannerAccessible(const QString& className, QObject* object) {
    if (className == QLatin1String("BannerView") && object && object->isWidgetType())
        return new BannerAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

BannerView::BannerView(AppModel* model, QWidget* parent)
    : QWidget(parent)
    , model_(model)
    , symbol_(new QLabel(this))
    , text_(new QLabel(this))
    , close_(new QToolButton(this)) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(bannerAccessible);
        return true;
    }();
    (void)factoryInstalled;
    setObjectName(QStringLiteral("banner"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 10, 8, 10);
    row->setSpacing(10);
    symbol_->setFixedSize(18, 18);
    row->addWidget(symbol_, 0, Qt::AlignTop);
    text_->setWordWrap(true);
    text_->setTextFormat(Qt::PlainText);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    row->addWidget(text_, 1);
    close_->setAutoRaise(true);
    close_->setIconSize(QSize(12, 12));
    close_->setFocusPolicy(Qt::TabFocus);
    close_->setCursor(Qt::ArrowCursor);
    close_->setAccessibleName(kx("banner.close"));
    close_->setToolTip(kx("banner.close"));
    row->addWidget(close_, 0, Qt::AlignTop);
    connect(close_, &QToolButton::clicked, this, [this] {
        if (model_) model_->setMessage(std::nullopt);
    });

    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &BannerView::expire);
    if (model_) connect(model_, &AppModel::changed, this, &BannerView::refresh);
    paintSymbol();
    refresh();
}

void BannerView::setDurations(int info, int error) {
    infoMs_ = info;
    errorMs_ = error;
}

void BannerView::refresh() {
    const std::optional<Banner> current = model_ ? model_->message() : std::nullopt;
    if (!current) {
        timer_.stop();
        shown_.reset();
        hide();
        return;
    }
    if (sameBanner(shown_, *current)) return;
    // a new banner: the older timer is cancelled and never clears this one
    shown_ = current;
    text_->setText(current->text);
    setAccessibleName(current->text);
    paintSymbol();
    timer_.start(durationMs(current->isError));
    const bool wasVisible = isVisible();
    show();
    raise();
    if (wasVisible) {
        // a new banner in place of one shown: announced like one that shows
        QAccessibleEvent renamed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&renamed);
    }
    QAccessibleEvent alert(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
    if (parentWidget()) parentWidget()->update();
    updateGeometry();
}

void BannerView::expire() {
    if (!model_ || !shown_) return;
    if (sameBanner(model_->message(), *shown_)) model_->setMessage(std::nullopt);
}

void BannerView::paintSymbol() {
    const bool error = shown_ && shown_->isError;
    const QColor tint = error ? KXStyle::orange(palette()) : KXStyle::green(palette());
    symbol_->setPixmap(KXSymbol::pixmap(error ? QStringLiteral("exclamationmark.triangle.fill")
                                              : QStringLiteral("checkmark.circle.fill"),
                                        18, tint, devicePixelRatioF()));
    close_->setIcon(KXSymbol::tinted(QStringLiteral("xmark"), KXStyle::secondary(palette())));
}

void BannerView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange) paintSymbol();
    QWidget::changeEvent(event);
}

void BannerView::paintEvent(QPaintEvent*) {
    // a raised panel: the window colour slightly lifted, with a soft outline
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(r, 10, 10);
    const QPalette& pal = palette();
    QColor fill = KXStyle::isDark(pal) ? pal.color(QPalette::Window).lighter(135) : pal.color(QPalette::Base);
    fill.setAlpha(245);
    p.fillPath(path, fill);
    QPen pen(KXStyle::separator(pal).darker(KXStyle::isDark(pal) ? 70 : 115));
    pen.setWidthF(1.0);
    p.setPen(pen);
    p.drawPath(path);
}
