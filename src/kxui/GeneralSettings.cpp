#include "kxui/GeneralSettings.h"

#include "kxcore/Autostart.h"
#include "kxcore/Log.h"
#include "kxcore/Settings.h"
#include "kxui/Card.h"
#include "kxui/KXLanguageOverride.h"
#include "kxui/KXOpen.h"
#include "kxui/KXStyle.h"
#include "kxui/Relaunch.h"
#include "kxui/kx.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace kxui {

namespace {

bool& changedThisRun() {
    static bool changed = false;
    return changed;
}

// A folder button: the path with the home folder written "~", cut in the
// middle when long; the whole path in the tool tip.
QPushButton* folderButton(const QString& path, QWidget* parent) {
    QString shown = QDir::toNativeSeparators(path);
    const QString home = QDir::homePath();
    if (shown == home || shown.startsWith(home + QLatin1Char('/')))
        shown = QLatin1Char('~') + shown.mid(home.size());
    auto* b = new QPushButton(parent);
    b->setText(b->fontMetrics().elidedText(shown, Qt::ElideMiddle, 300));
    b->setToolTip(path);
    b->setAutoDefault(false);
    return b;
}

} // namespace

kxcore::Autostart GeneralSettings::autostart() {
    return kxcore::Autostart(QGuiApplication::desktopFileName(), QGuiApplication::applicationDisplayName(),
                             QCoreApplication::applicationFilePath(), {QStringLiteral("--tray")});
}

bool GeneralSettings::languageChangedThisRun() {
    return changedThisRun();
}

GeneralSettings::GeneralSettings(kxcore::AppPaths paths, QWidget* parent)
    : QWidget(parent)
    , paths_(std::move(paths)) {
    setObjectName(QStringLiteral("general"));
    auto* form = Card::formPage(this, QFormLayout::ExpandingFieldsGrow);

    autoUpdate_ = new QCheckBox(kx("settings.autoUpdate"), this);
    autoUpdate_->setObjectName(QStringLiteral("autoUpdate"));
    form->addRow(QString(), autoUpdate_);

    // Shown when the application names its desktop entry (the entry's id
    // names the autostart file).
    launchAtLogin_ = new QCheckBox(kx("settings.launchAtLogin"), this);
    launchAtLogin_->setObjectName(QStringLiteral("launchAtLogin"));
    launchAtLogin_->setVisible(!QGuiApplication::desktopFileName().isEmpty());
    form->addRow(QString(), launchAtLogin_);

    language_ = new QComboBox(this);
    language_->setObjectName(QStringLiteral("language"));
    language_->addItem(kx("settings.language.system"), QString());
    for (const auto& lang : KXLanguage::all)
        language_->addItem(QString::fromUtf8(lang.name.data(), qsizetype(lang.name.size())),
                           QString::fromUtf8(lang.code.data(), qsizetype(lang.code.size())));
    form->addRow(kx("settings.language"), language_);

    restartRow_ = new QWidget(this);
    restartRow_->setObjectName(QStringLiteral("restartRow"));
    restartRow_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    auto* rv = new QVBoxLayout(restartRow_);
    rv->setContentsMargins(0, 0, 0, 0);
    auto* hint = new QLabel(kx("settings.restartHint"), restartRow_);
    hint->setObjectName(QStringLiteral("restartHint"));
    hint->setWordWrap(true);
    KXStyle::setTone(hint, KXStyle::Tone::secondary);
    KXStyle::setFont(hint, KXStyle::Text::callout);
    rv->addWidget(hint);
    auto* restart = new QPushButton(kx("settings.restartNow"), restartRow_);
    restart->setObjectName(QStringLiteral("restartNow"));
    restart->setAutoDefault(false);
    rv->addWidget(restart, 0, Qt::AlignLeft);
    form->addRow(QString(), restartRow_);

    auto* dataButton = folderButton(paths_.supportDir(), this);
    dataButton->setObjectName(QStringLiteral("dataFolder"));
    form->addRow(kx("settings.dataFolder"), dataButton);
    auto* logs = folderButton(paths_.logsDir(), this);
    logs->setObjectName(QStringLiteral("logFolder"));
    form->addRow(kx("settings.logs"), logs);
    auto* reveal = new QPushButton(kx("settings.showInFinder"), this);
    reveal->setObjectName(QStringLiteral("revealLog"));
    reveal->setAutoDefault(false);
    form->addRow(QString(), reveal);

    connect(autoUpdate_, &QCheckBox::toggled, this, [this](bool on) {
        if (!loading_) kxcore::Settings().setAutoUpdate(on);
    });
    connect(launchAtLogin_, &QCheckBox::toggled, this, [this](bool on) {
        if (loading_) return;
        QString error;
        if (!autostart().setEnabled(on, &error)) {
            kxcore::Log::shared().error("start at login: " + error.toStdString());
            const QSignalBlocker block(launchAtLogin_);
            launchAtLogin_->setChecked(autostart().isEnabled());
        }
    });
    // Every choice counts, also the entry already selected.
    connect(language_, &QComboBox::activated, this, [this] {
        if (loading_) return;
        const QString code = language();
        KXLanguage::setOverride(code.isEmpty() ? std::nullopt
                                               : std::optional<std::string>(code.toStdString()));
        changedThisRun() = true;
        restartRow_->setVisible(true);
    });
    connect(restart, &QPushButton::clicked, this, [] { Relaunch::now(); });
    connect(dataButton, &QPushButton::clicked, this, [this] { KXOpen::folder(paths_.supportDir()); });
    connect(logs, &QPushButton::clicked, this, [this] { KXOpen::folder(paths_.logsDir()); });
    connect(reveal, &QPushButton::clicked, this, [this] { KXOpen::reveal(paths_.logFile()); });
    load();
}

void GeneralSettings::load() {
    loading_ = true;
    kxcore::Settings settings;
    autoUpdate_->setChecked(settings.autoUpdate());
    if (!QGuiApplication::desktopFileName().isEmpty()) launchAtLogin_->setChecked(autostart().isEnabled());
    auto current = KXLanguage::override(settings);
    int index = current ? language_->findData(QString::fromStdString(*current)) : 0;
    language_->setCurrentIndex(index < 0 ? 0 : index);
    restartRow_->setVisible(changedThisRun());
    loading_ = false;
}

void GeneralSettings::showEvent(QShowEvent* event) {
    load();
    QWidget::showEvent(event);
}

QString GeneralSettings::language() const {
    return language_->currentData().toString();
}

void GeneralSettings::chooseLanguage(const QString& code) {
    int index = language_->findData(code);
    if (index < 0) return;
    language_->setCurrentIndex(index);
    emit language_->activated(index);
}

bool GeneralSettings::needsRestart() const {
    return !restartRow_->isHidden();
}

} // namespace kxui
