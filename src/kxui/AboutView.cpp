#include "kxui/AboutView.h"

#include "kxcore/DeviceIdentity.h"
#include "kxcore/FeedbackRequest.h"
#include "kxcore/KXLinks.h"
#include "kxui/FeedbackView.h"
#include "kxui/KXContext.h"
#include "kxui/KXOpen.h"
#include "kxui/KXStyle.h"
#include "kxui/ProductIcon.h"
#include "kxui/kx.h"

#include <QApplication>
#include <QDate>
#include <QDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace kxui {

namespace {

QLabel* centred(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(true);
    return label;
}

} // namespace

AboutView::AboutView(const KXContext& ctx, QWidget* parent)
    : QWidget(parent)
    , ctx_(ctx)
    , product_(ctx.product()) {
    setObjectName(QStringLiteral("about"));
    const kxcore::ProductInfo& product = product_; // the links below refer to this copy
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(20, 24, 20, 20);
    v->setSpacing(6);

    auto* icon = new QPushButton(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setFlat(true);
    icon->setCursor(Qt::PointingHandCursor);
    icon->setIcon(QIcon(ProductIcon::pixmap(product, 96, devicePixelRatioF())));
    icon->setIconSize(QSize(96, 96));
    icon->setFixedSize(104, 104);
    icon->setToolTip(product.homepage.toString());
    icon->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    connect(icon, &QPushButton::clicked, this,
            [&product] { KXOpen::url(kxcore::KXLinks::homepage(product, QStringLiteral("about_name"))); });
    v->addWidget(icon, 0, Qt::AlignHCenter);

    auto* name = centred(product.displayName, this);
    name->setObjectName(QStringLiteral("name"));
    KXStyle::setFont(name, KXStyle::Text::title);
    v->addWidget(name);

    auto* version = centred(kx("about.version", product.version, product.build), this);
    version->setObjectName(QStringLiteral("version"));
    KXStyle::setFont(version, KXStyle::Text::callout);
    KXStyle::setTone(version, KXStyle::Tone::secondary);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->addWidget(version);

    v->addSpacing(6);
    auto* tagline = centred(kx("app.tagline"), this);
    tagline->setObjectName(QStringLiteral("tagline"));
    KXStyle::setFont(tagline, KXStyle::Text::callout);
    v->addWidget(tagline);

    auto* copyright = centred(kx("about.copyright", QDate::currentDate().year()), this);
    copyright->setObjectName(QStringLiteral("copyright"));
    KXStyle::setFont(copyright, KXStyle::Text::caption);
    KXStyle::setTone(copyright, KXStyle::Tone::secondary);
    v->addWidget(copyright);

    // what the licence allows, and whose work the product is built on
    auto* license = centred(kx("about.license", product.supportEmail), this);
    license->setObjectName(QStringLiteral("license"));
    KXStyle::setFont(license, KXStyle::Text::caption);
    KXStyle::setTone(license, KXStyle::Tone::secondary);
    license->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->addWidget(license);
    auto* credits = centred(kx("about.credits"), this);
    credits->setObjectName(QStringLiteral("credits"));
    KXStyle::setFont(credits, KXStyle::Text::caption);
    KXStyle::setTone(credits, KXStyle::Tone::secondary);
    v->addWidget(credits);

    // the anonymous installation id, named for what it is for
    auto* id = centred(kx("about.supportID", kxcore::DeviceIdentity::anonymousID(ctx.paths()).left(8)), this);
    id->setObjectName(QStringLiteral("deviceID"));
    id->setToolTip(kx("about.supportIDHelp"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(KXStyle::font(KXStyle::Text::caption, QApplication::font()).pointSizeF() * 0.92);
    id->setFont(mono);
    KXStyle::setTone(id, KXStyle::Tone::secondary);
    id->setTextInteractionFlags(Qt::TextSelectableByMouse);
    v->addWidget(id);

    v->addSpacing(8);
    std::vector<QPushButton*> links;
    auto link = [this, &links](const char* key, const char* objectName, std::function<void()> action) {
        auto* b = new QPushButton(kx(key), this);
        b->setObjectName(QLatin1String(objectName));
        KXStyle::makeLink(b);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, std::move(action));
        links.push_back(b);
    };
    link("about.website", "website",
         [&product] { KXOpen::url(kxcore::KXLinks::homepage(product, QStringLiteral("about"))); });
    link("about.privacy", "privacy", [&product] {
        KXOpen::url(kxcore::KXLinks::page(product, QLatin1String(kxcore::KXLinks::privacyPage),
                                          QStringLiteral("about")));
    });
    link("about.terms", "terms", [&product] {
        KXOpen::url(kxcore::KXLinks::page(product, QLatin1String(kxcore::KXLinks::termsPage),
                                          QStringLiteral("about")));
    });
    link("app.feedback", "feedback", [this] {
        if (feedbackOpener_) {
            feedbackOpener_();
            return;
        }
        QDialog* dialog = FeedbackView::openDialog(ctx_, kxcore::FeedbackRequest(QStringLiteral("menu")));
        dialog->activateWindow();
    });
    // One row when the four links fit the window's width (460 less the
    // margins); in languages with longer names, two rows of two.
    int total = 0;
    for (QPushButton* b : links)
        total += b->sizeHint().width();
    const int perRow = total <= 460 - 40 ? static_cast<int>(links.size()) : 2;
    for (std::size_t first = 0; first < links.size(); first += static_cast<std::size_t>(perRow)) {
        auto* row = new QHBoxLayout;
        row->setSpacing(0);
        row->addStretch(1);
        for (std::size_t i = first; i < std::min(links.size(), first + static_cast<std::size_t>(perRow)); ++i)
            row->addWidget(links[i]);
        row->addStretch(1);
        v->addLayout(row);
    }
}

} // namespace kxui
