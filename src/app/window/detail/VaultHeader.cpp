#include "app/window/detail/VaultHeader.h"

#include "app/widgets/ElidedLabel.h"
#include "app/widgets/PathLabel.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace {

// The 64 x 64 tile with the state symbol on a lightly tinted background.
class IconTile : public QLabel {
public:
    explicit IconTile(QWidget* parent)
        : QLabel(parent) {
        setFixedSize(64, 64);
        setAlignment(Qt::AlignCenter);
    }
    void setSymbol(const QString& symbol, const QColor& tint) {
        tint_ = tint;
        setPixmap(KXSymbol::pixmap(symbol, 32, tint, devicePixelRatioF()));
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor bg = tint_;
        bg.setAlphaF(KXStyle::isDark(palette()) ? 0.22F : 0.13F);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 14, 14);
        p.fillPath(path, bg);
        p.end();
        QLabel::paintEvent(event);
    }

private:
    QColor tint_;
};

// A small capsule with a tinted background and text in the tint colour.
class Badge : public QLabel {
public:
    explicit Badge(QWidget* parent)
        : QLabel(parent) {
        setAlignment(Qt::AlignCenter);
        setContentsMargins(9, 2, 9, 2);
        KXStyle::setFont(this, KXStyle::Text::caption);
        QFont f = font();
        f.setBold(true);
        setFont(f);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }
    void setTint(const QColor& tint) {
        tint_ = tint;
        QPalette p = palette();
        p.setColor(QPalette::WindowText, tint);
        setPalette(p);
        update();
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor bg = tint_;
        bg.setAlphaF(0.16F);
        const QRectF r = QRectF(rect());
        QPainterPath path;
        path.addRoundedRect(r, r.height() / 2, r.height() / 2);
        p.fillPath(path, bg);
        p.end();
        QLabel::paintEvent(event);
    }

private:
    QColor tint_;
};

} // namespace

VaultHeader::VaultHeader(QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("vaultHeader"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(14);
    tile_ = new IconTile(this);
    row->addWidget(tile_, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    // a long name ends in "…" with the whole name in the tooltip
    name_ = new ElidedLabel(this);
    name_->setObjectName(QStringLiteral("vaultName"));
    KXStyle::setFont(name_, KXStyle::Text::title);
    texts->addWidget(name_);
    path_ = new PathLabel(this);
    path_->setObjectName(QStringLiteral("vaultPath"));
    KXStyle::setFont(path_, KXStyle::Text::callout);
    KXStyle::setTone(path_, KXStyle::Tone::secondary);
    texts->addWidget(path_);
    badge_ = new Badge(this);
    badge_->setObjectName(QStringLiteral("stateBadge"));
    texts->addWidget(badge_, 0, Qt::AlignLeading);
    row->addLayout(texts, 1);
    paintSymbols();
}

void VaultHeader::showVault(const QString& name, const QString& mountPoint, bool unlocked, bool stale) {
    const bool changedState = unlocked != unlocked_ || name_->fullText().isEmpty();
    unlocked_ = unlocked;
    name_->setFullText(name);
    path_->setPath(mountPoint);
    badge_->setText(unlocked ? kx("status.unlocked") : stale ? kx("status.stale") : kx("status.locked"));
    if (changedState) paintSymbols();
}

void VaultHeader::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        paintSymbols();
    QWidget::changeEvent(event);
}

void VaultHeader::paintSymbols() {
    const QPalette& pal = palette();
    static_cast<IconTile*>(tile_)->setSymbol(unlocked_ ? QStringLiteral("lock.open.fill")
                                                       : QStringLiteral("lock.fill"),
                                             unlocked_ ? KXStyle::green(pal) : KXStyle::secondary(pal));
    static_cast<Badge*>(badge_)->setTint(unlocked_ ? KXStyle::green(pal) : KXStyle::secondary(pal));
}
