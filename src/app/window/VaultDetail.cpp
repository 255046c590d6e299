#include "app/window/VaultDetail.h"

#include "app/desktop/FileBrowser.h"
#include "app/desktop/FilePanels.h"
#include "app/sheets/PasswordPromptSheet.h"
#include "app/sheets/SheetPresenter.h"
#include "app/widgets/BusySpinner.h"
#include "app/widgets/ElidedLabel.h"
#include "app/widgets/FieldError.h"
#include "app/widgets/PasswordField.h"
#include "app/widgets/PathLabel.h"
#include "app/widgets/WrappingRow.h"
#include "kxcore/Autostart.h"
#include "kxcore/Log.h"
#include "kxcore/Settings.h"
#include "kxui/Card.h"
#include "kxui/GeneralSettings.h"
#include "kxui/InfoRow.h"
#include "kxui/KXAccess.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"
#include "vaultkit/quickunlock/TouchIDKey.h"
#include "vaultkit/vault/Vault.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

using vaultkit::VaultConfig;

namespace {

constexpr int fieldWidth = 320;

QString pathText(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

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

QLabel* cardTitle(const QString& text, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    KXStyle::setFont(l, KXStyle::Text::headline);
    return l;
}

QHBoxLayout* rowLayout(int spacing = 8) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    return row;
}

QWidget* rowWidget(QWidget* parent, QHBoxLayout* row) {
    auto* w = new QWidget(parent);
    w->setLayout(row);
    return w;
}

} // namespace

VaultDetail::TouchIDRow VaultDetail::touchIDRow(bool hasRecord, bool available) {
    if (hasRecord) return TouchIDRow::on;
    if (!available) return TouchIDRow::unavailable;
    return TouchIDRow::enable;
}

QString VaultDetail::idleChoiceText(int minutes) {
    return minutes == 0 ? kx("autolock.never") : kx("autolock.minutes", minutes);
}

VaultDetail::VaultDetail(AppModel* model, AppModel::VaultPtr vault, QWidget* parent)
    : QWidget(parent)
    , model_(model)
    , vault_(std::move(vault)) {
    setObjectName(QStringLiteral("vaultDetail"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    // the pane, named after its vault
    scroll->setAccessibleName(QString::fromStdString(vault_->config().name));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    outer->addWidget(scroll);

    auto* page = new QWidget(scroll);
    page->setObjectName(QStringLiteral("vaultDetailPage"));
    page->setAutoFillBackground(false);
    scroll->viewport()->setAutoFillBackground(false);
    auto* column = new QVBoxLayout(page);
    // room below the last card, so it can be scrolled clear of the banner
    column->setContentsMargins(24, 24, 24, 24 + 56);
    column->setSpacing(16);
    column->setAlignment(Qt::AlignTop | Qt::AlignLeading);

    buildHeader(column);
    buildWorkingRow(column);

    content_ = new QWidget(page);
    auto* cards = new QVBoxLayout(content_);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(16);
    buildLockedCards(cards);
    buildUnlockedCards(cards);
    buildDataCard(cards);
    column->addWidget(content_);
    column->addStretch(1);
    scroll->setWidget(page);

    if (model_) connect(model_, &AppModel::changed, this, &VaultDetail::refresh);
    paintSymbols();
    refresh();
}

VaultDetail::~VaultDetail() {
    // an open sheet belongs to this vault's pane: it goes with it
    if (sheetDialog_) sheetDialog_->close();
    if (forgetAlert_) forgetAlert_->deleteLater();
}

void VaultDetail::buildHeader(QVBoxLayout* column) {
    header_ = new QWidget(this);
    auto* row = rowLayout(14);
    header_->setLayout(row);
    auto* tile = new IconTile(header_);
    tile_ = tile;
    row->addWidget(tile_, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(3);
    // a long name ends in "…" with the whole name in the tooltip
    name_ = new ElidedLabel(header_);
    KXStyle::setFont(name_, KXStyle::Text::title);
    texts->addWidget(name_);
    path_ = new PathLabel(header_);
    KXStyle::setFont(path_, KXStyle::Text::callout);
    KXStyle::setTone(path_, KXStyle::Tone::secondary);
    texts->addWidget(path_);
    badge_ = new Badge(header_);
    texts->addWidget(badge_, 0, Qt::AlignLeading);
    row->addLayout(texts, 1);
    column->addWidget(header_);
}

void VaultDetail::buildWorkingRow(QVBoxLayout* column) {
    auto* row = rowLayout(8);
    workingRow_ = rowWidget(this, row);
    spinner_ = new BusySpinner(workingRow_);
    row->addWidget(spinner_);
    workingText_ = new QLabel(workingRow_);
    workingText_->setTextFormat(Qt::PlainText);
    workingText_->setWordWrap(true);
    KXStyle::setTone(workingText_, KXStyle::Tone::secondary);
    row->addWidget(workingText_);
    importBar_ = new QProgressBar(workingRow_);
    importBar_->setRange(0, 1000);
    importBar_->setTextVisible(false);
    importBar_->setFixedWidth(180);
    importBar_->setMaximumHeight(8);
    row->addWidget(importBar_);
    row->addStretch(1);
    workingRow_->hide();
    column->addWidget(workingRow_);
}

void VaultDetail::buildLockedCards(QVBoxLayout* column) {
    lockedCards_ = new QWidget(content_);
    auto* cards = new QVBoxLayout(lockedCards_);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(16);

    auto* unlockCard = new kxui::Card(lockedCards_);
    unlockCard->setObjectName(QStringLiteral("unlockCard"));
    // A vault whose daemon has gone: why it shows as locked though it was
    // unlocked, and what to do.
    staleNote_ = new QLabel(kx("stale.note"), unlockCard);
    staleNote_->setWordWrap(true);
    KXStyle::setFont(staleNote_, KXStyle::Text::callout);
    staleNote_->hide();
    // the card's full width, so the label can take the height its lines need
    unlockCard->content()->addWidget(staleNote_);
    {
        auto* titleRow = rowLayout(10);
        titleRow->addWidget(cardTitle(kx("unlock.title"), unlockCard));
        forgot_ = new QPushButton(kx("unlock.forgot"), unlockCard);
        KXStyle::makeLink(forgot_);
        connect(forgot_, &QPushButton::clicked, this, [this] { openSheet(Sheet::recover); });
        titleRow->addWidget(forgot_);
        titleRow->addStretch(1);
        unlockCard->content()->addLayout(titleRow);

        // the field and its buttons, one under the other when narrow
        auto* row = new WrappingRow(unlockCard, 8);
        passwordField_ = new PasswordField(kx("unlock.placeholder"), unlockCard);
        passwordField_->setMaximumWidth(fieldWidth);
        passwordField_->setMinimumWidth(200);
        passwordField_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        // Return in the field reaches keyPressEvent (the field passes it on)
        connect(passwordField_, &QLineEdit::textChanged, this,
                [this](const QString& text) { unlockButton_->setEnabled(!text.isEmpty()); });
        row->addWidget(passwordField_, 1);
        unlockButton_ = new QPushButton(kx("action.unlock"), unlockCard);
        KXStyle::makeProminent(unlockButton_);
        unlockButton_->setDefault(true);
        unlockButton_->setEnabled(false);
        connect(unlockButton_, &QPushButton::clicked, this, &VaultDetail::unlock);
        row->addWidget(unlockButton_);
        touchIDUnlock_ = new QPushButton(kx("action.touchid"), unlockCard);
        connect(touchIDUnlock_, &QPushButton::clicked, this, &VaultDetail::unlockWithTouchID);
        row->addWidget(touchIDUnlock_);
        unlockCard->content()->addWidget(row);

        // why the last attempt failed, under the field it is about; typing
        // again answers it
        unlockError_ = new FieldError(passwordField_, unlockCard);
        unlockError_->setObjectName(QStringLiteral("unlockError"));
        unlockError_->hide();
        connect(passwordField_, &QLineEdit::textEdited, unlockError_, &QLabel::hide);
        unlockCard->content()->addWidget(unlockError_);
    }
    cards->addWidget(unlockCard);

    auto* security = new kxui::Card(lockedCards_);
    security->setObjectName(QStringLiteral("lockedSecurityCard"));
    security->add(cardTitle(kx("security.title"), security));
    {
        auto* row = rowLayout(12);
        lockedChange_ = new QPushButton(kx("action.changePassword"), security);
        connect(lockedChange_, &QPushButton::clicked, this, [this] { openSheet(Sheet::changePassword); });
        row->addWidget(lockedChange_, 0, Qt::AlignTop);
        auto* note = new QLabel(kx("security.changeNote"), security);
        note->setWordWrap(true);
        KXStyle::setFont(note, KXStyle::Text::callout);
        KXStyle::setTone(note, KXStyle::Tone::secondary);
        row->addWidget(note, 1, Qt::AlignVCenter);
        security->content()->addLayout(row);
    }
    cards->addWidget(security);
    column->addWidget(lockedCards_);
}

void VaultDetail::buildUnlockedCards(QVBoxLayout* column) {
    unlockedCards_ = new QWidget(content_);
    auto* cards = new QVBoxLayout(unlockedCards_);
    cards->setContentsMargins(0, 0, 0, 0);
    cards->setSpacing(16);

    {
        auto* row = new WrappingRow(unlockedCards_, 10);
        open_ = new QPushButton(kx("action.openFinder"), unlockedCards_);
        KXStyle::makeProminent(open_);
        connect(open_, &QPushButton::clicked, this, [this] {
            if (model_) model_->openInFinder(vault_);
        });
        row->addWidget(open_);
        import_ = new QPushButton(kx("action.import"), unlockedCards_);
        auto* importMenu = new QMenu(import_);
        importFiles_ = importMenu->addAction(kx("action.importFiles"));
        importFolder_ = importMenu->addAction(kx("action.importFolder"));
        connect(importFiles_, &QAction::triggered, this,
                [this] { pickImport(FilePanels::ImportKind::files); });
        connect(importFolder_, &QAction::triggered, this,
                [this] { pickImport(FilePanels::ImportKind::folders); });
        import_->setMenu(importMenu);
        row->addWidget(import_);
        lock_ = new QPushButton(kx("action.lock"), unlockedCards_);
        connect(lock_, &QPushButton::clicked, this, &VaultDetail::lock);
        row->addWidget(lock_);
        cards->addWidget(row);
        // dragging is the other way in, and nothing shows it until tried
        auto* dropHint = new QLabel(kx("import.dropHint"), unlockedCards_);
        dropHint->setObjectName(QStringLiteral("dropHint"));
        dropHint->setTextFormat(Qt::PlainText);
        dropHint->setWordWrap(true);
        KXStyle::setFont(dropHint, KXStyle::Text::caption);
        KXStyle::setTone(dropHint, KXStyle::Tone::secondary);
        cards->addWidget(dropHint);
    }
    // Sync conflict copies the watcher had to leave hidden, each named.
    hiddenConflicts_ = new QLabel(unlockedCards_);
    hiddenConflicts_->setObjectName(QStringLiteral("hiddenConflicts"));
    hiddenConflicts_->setTextFormat(Qt::PlainText);
    hiddenConflicts_->setWordWrap(true);
    hiddenConflicts_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    KXStyle::setFont(hiddenConflicts_, KXStyle::Text::callout);
    hiddenConflicts_->hide();
    cards->addWidget(hiddenConflicts_);

    auto* autoLock = new kxui::Card(unlockedCards_);
    autoLock->setObjectName(QStringLiteral("autoLockCard"));
    autoLock->add(cardTitle(kx("autolock.title"), autoLock));
    sleepToggle_ = new QCheckBox(kx("autolock.sleep"), autoLock);
    autoLock->add(sleepToggle_);
    // Said under the choice: nothing announces sleep here (logind does not
    // answer), so the choice is off and cannot be made.
    sleepUnavailable_ = new QLabel(kx("autolock.sleepUnavailable"), autoLock);
    sleepUnavailable_->setObjectName(QStringLiteral("sleepUnavailable"));
    sleepUnavailable_->setWordWrap(true);
    KXStyle::setFont(sleepUnavailable_, KXStyle::Text::callout);
    KXStyle::setTone(sleepUnavailable_, KXStyle::Tone::secondary);
    sleepUnavailable_->hide();
    autoLock->content()->addWidget(sleepUnavailable_);
    screenToggle_ = new QCheckBox(kx("autolock.screen"), autoLock);
    autoLock->add(screenToggle_);
    {
        auto* row = new WrappingRow(autoLock, 10);
        auto* label = new QLabel(kx("autolock.idle"), autoLock);
        row->addWidget(label);
        idlePicker_ = new QComboBox(autoLock);
        // named by what it chooses, not by the value it shows
        KXAccess::nameComboBox(idlePicker_, label->text());
        for (int minutes : idleChoices)
            idlePicker_->addItem(idleChoiceText(minutes), minutes);
        idlePicker_->setMaximumWidth(fieldWidth);
        label->setBuddy(idlePicker_);
        row->addWidget(idlePicker_);
        autoLock->content()->addWidget(row);
        // Said beside the picker: no source of the session's idle time
        // answers on this desktop, so the choice has no effect here.
        idleUnavailable_ = new QLabel(kx("autolock.idleUnavailable"), autoLock);
        idleUnavailable_->setObjectName(QStringLiteral("idleUnavailable"));
        idleUnavailable_->setWordWrap(true);
        KXStyle::setFont(idleUnavailable_, KXStyle::Text::callout);
        KXStyle::setTone(idleUnavailable_, KXStyle::Tone::secondary);
        idleUnavailable_->hide();
        autoLock->content()->addWidget(idleUnavailable_);
    }
    quitToggle_ = new QCheckBox(kx("autolock.quit"), autoLock);
    autoLock->add(quitToggle_);
    loginToggle_ = new QCheckBox(kx("loginUnlock.toggle"), autoLock);
    autoLock->add(loginToggle_);
    {
        // What the choice means, said where it is made.
        auto* note = new QLabel(kx("loginUnlock.note"), autoLock);
        note->setWordWrap(true);
        KXStyle::setFont(note, KXStyle::Text::callout);
        KXStyle::setTone(note, KXStyle::Tone::secondary);
        // the card's full width, so the label can take the height its
        // lines need
        autoLock->content()->addWidget(note);
    }
    bindAutoLock();
    cards->addWidget(autoLock);

    auto* security = new kxui::Card(unlockedCards_);
    security->setObjectName(QStringLiteral("unlockedSecurityCard"));
    security->add(cardTitle(kx("security.title"), security));
    {
        auto* row = rowLayout(8);
        touchIDOn_ = rowWidget(security, row);
        touchIDOnIcon_ = new QLabel(touchIDOn_);
        row->addWidget(touchIDOnIcon_);
        row->addWidget(new QLabel(kx("touchid.on"), touchIDOn_));
        row->addSpacing(6);
        touchIDDisable_ = new QPushButton(kx("touchid.disable"), touchIDOn_);
        connect(touchIDDisable_, &QPushButton::clicked, this, [this] {
            if (model_) model_->disableTouchID(vault_);
        });
        row->addWidget(touchIDDisable_);
        row->addStretch(1);
        security->add(touchIDOn_);
        // Under the switch: whether the key also needs the boot state it was
        // made in (the difference for a stolen computer).
        touchIDBoot_ = new QLabel(security);
        touchIDBoot_->setObjectName(QStringLiteral("touchIDBootState"));
        touchIDBoot_->setWordWrap(true);
        KXStyle::setFont(touchIDBoot_, KXStyle::Text::callout);
        KXStyle::setTone(touchIDBoot_, KXStyle::Tone::secondary);
        security->add(touchIDBoot_);
    }
    {
        auto* row = rowLayout(8);
        touchIDUnavailable_ = rowWidget(security, row);
        touchIDUnavailableIcon_ = new QLabel(touchIDUnavailable_);
        row->addWidget(touchIDUnavailableIcon_);
        auto* text = new QLabel(kx("touchid.unavailable"), touchIDUnavailable_);
        KXStyle::setTone(text, KXStyle::Tone::secondary);
        row->addWidget(text);
        row->addStretch(1);
        security->add(touchIDUnavailable_);
    }
    touchIDEnable_ = new QPushButton(kx("touchid.enable"), security);
    connect(touchIDEnable_, &QPushButton::clicked, this, [this] { openSheet(Sheet::touchID); });
    security->add(touchIDEnable_);
    {
        auto* row = new WrappingRow(security, 8);
        unlockedChange_ = new QPushButton(kx("action.changePassword"), security);
        connect(unlockedChange_, &QPushButton::clicked, this, [this] { openSheet(Sheet::changePassword); });
        row->addWidget(unlockedChange_);
        regenerate_ = new QPushButton(kx("mnemonic.regenerate"), security);
        connect(regenerate_, &QPushButton::clicked, this, [this] { openSheet(Sheet::regenerate); });
        row->addWidget(regenerate_);
        security->content()->addWidget(row);
    }
    cards->addWidget(security);
    column->addWidget(unlockedCards_);
}

void VaultDetail::buildDataCard(QVBoxLayout* column) {
    dataCard_ = new kxui::Card(content_);
    dataCard_->setObjectName(QStringLiteral("dataCard"));
    dataCard_->add(cardTitle(kx("data.title"), dataCard_));
    location_ =
        new kxui::InfoRow(kx("data.location"), PathLabel::abbreviate(pathText(vault_->image())), dataCard_);
    dataCard_->content()->addWidget(location_);
    auto* note = new QLabel(kx("data.noapp"), dataCard_);
    note->setWordWrap(true);
    KXStyle::setFont(note, KXStyle::Text::callout);
    KXStyle::setTone(note, KXStyle::Tone::secondary);
    dataCard_->content()->addWidget(note);
    {
        // How the vault is mounted, why, and the user's choice.
        auto* modeRow = new WrappingRow(dataCard_, 10);
        auto* label = new QLabel(kx("mountMode.title"), dataCard_);
        modeRow->addWidget(label);
        mountModePicker_ = new QComboBox(dataCard_);
        KXAccess::nameComboBox(mountModePicker_, label->text());
        using Choice = vaultkit::MountModePolicy::Choice;
        mountModePicker_->addItem(kx("mountMode.automatic"), static_cast<int>(Choice::automatic));
        mountModePicker_->addItem(kx("mountMode.local"), static_cast<int>(Choice::local));
        mountModePicker_->addItem(kx("mountMode.shared"), static_cast<int>(Choice::shared));
        label->setBuddy(mountModePicker_);
        connect(mountModePicker_, &QComboBox::activated, this, [this](int index) {
            if (refreshing_ || !model_ || index < 0) return;
            model_->setMountModeChoice(vault_,
                                       static_cast<Choice>(mountModePicker_->itemData(index).toInt()));
        });
        modeRow->addWidget(mountModePicker_);
        dataCard_->content()->addWidget(modeRow);
        mountModeWhy_ = new QLabel(dataCard_);
        mountModeWhy_->setWordWrap(true);
        KXStyle::setFont(mountModeWhy_, KXStyle::Text::callout);
        KXStyle::setTone(mountModeWhy_, KXStyle::Tone::secondary);
        dataCard_->content()->addWidget(mountModeWhy_);
    }
    auto* row = new WrappingRow(dataCard_, 8);
    reveal_ = new QPushButton(kx("data.reveal"), dataCard_);
    connect(reveal_, &QPushButton::clicked, this, &VaultDetail::reveal);
    row->addWidget(reveal_);
    checkData_ = new QPushButton(kx("data.check"), dataCard_);
    connect(checkData_, &QPushButton::clicked, this, [this] { openSheet(Sheet::checkData); });
    row->addWidget(checkData_);
    forget_ = new QPushButton(kx("data.forget"), dataCard_);
    KXStyle::makeDestructive(forget_);
    connect(forget_, &QPushButton::clicked, this, [this] { confirmForget(); });
    row->addWidget(forget_);
    dataCard_->content()->addWidget(row);
    column->addWidget(dataCard_);
}

void VaultDetail::showIdleMinutes(int minutes) {
    // A value set elsewhere (hushcoffer-cli autolock --idle 1) that is not
    // one of the choices gets an entry of its own, in order, while it holds.
    for (int i = idlePicker_->count() - 1; i >= 0; --i) {
        const int value = idlePicker_->itemData(i).toInt();
        if (value != minutes && std::find(idleChoices.begin(), idleChoices.end(), value) == idleChoices.end())
            idlePicker_->removeItem(i);
    }
    int index = idlePicker_->findData(minutes);
    if (index < 0) {
        index = 0;
        while (index < idlePicker_->count() && idlePicker_->itemData(index).toInt() < minutes)
            ++index;
        idlePicker_->insertItem(index, idleChoiceText(minutes), minutes);
    }
    idlePicker_->setCurrentIndex(index);
}

void VaultDetail::bindAutoLock() {
    connect(sleepToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_) writeAutoLock([on](VaultConfig::AutoLock& a) { a.onSleep = on; });
    });
    connect(screenToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_) writeAutoLock([on](VaultConfig::AutoLock& a) { a.onScreenLock = on; });
    });
    connect(idlePicker_, &QComboBox::activated, this, [this](int index) {
        if (refreshing_ || index < 0) return;
        const int minutes = idlePicker_->itemData(index).toInt();
        writeAutoLock([minutes](VaultConfig::AutoLock& a) { a.idleMinutes = minutes; });
    });
    connect(quitToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (!refreshing_) setLockOnQuit(on);
    });
    connect(loginToggle_, &QCheckBox::toggled, this, [this](bool on) {
        if (refreshing_ || !model_) return;
        if (on) {
            // The box shows the stored choice: it turns on once the
            // password has been checked and stored.
            {
                const QSignalBlocker block(loginToggle_);
                loginToggle_->setChecked(false);
            }
            openSheet(Sheet::loginUnlock);
        } else {
            model_->disableLoginUnlock(vault_);
        }
    });
}

QMessageBox* VaultDetail::offerAutostart() {
    if (autostartOffer_) return autostartOffer_;
    if (QGuiApplication::desktopFileName().isEmpty()) return nullptr;
    const kxcore::Autostart autostart = kxui::GeneralSettings::autostart();
    if (autostart.isEnabled()) return nullptr;
    auto* alert = new QMessageBox(window());
    alert->setIcon(QMessageBox::Question);
    alert->setText(kx("loginUnlock.autostartTitle"));
    alert->setInformativeText(kx("loginUnlock.autostartBody"));
    QPushButton* turnOn = alert->addButton(kx("loginUnlock.autostartOn"), QMessageBox::AcceptRole);
    QPushButton* later = alert->addButton(kx("loginUnlock.autostartLater"), QMessageBox::RejectRole);
    alert->setDefaultButton(turnOn);
    alert->setEscapeButton(later);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPointer<AppModel> model = model_;
    const QString name = QString::fromStdString(vault_->config().name);
    connect(alert, &QMessageBox::buttonClicked, alert, [turnOn, model, name](QAbstractButton* button) {
        if (button != turnOn) return;
        QString error;
        if (!kxui::GeneralSettings::autostart().setEnabled(true, &error)) {
            kxcore::Log::shared().error("start at login: " + error.toStdString());
            if (model) model->setMessage(Banner(kx("loginUnlock.autostartFailed", error), true));
            return;
        }
        // now it holds
        if (model) model->setMessage(Banner(kx("ok.loginUnlockOn", name)));
    });
    autostartOffer_ = alert;
    alert->open();
    return alert;
}

void VaultDetail::writeAutoLock(const std::function<void(VaultConfig::AutoLock&)>& change) {
    if (!model_) return;
    // the vault's current record with one field replaced, saved whole; while
    // an earlier change is still being saved, that change is the current one
    VaultConfig::AutoLock record = pendingAutoLock_ ? *pendingAutoLock_ : vault_->config().autoLock;
    change(record);
    pendingAutoLock_ = record;
    ++autoLockWrites_;
    QPointer<VaultDetail> self(this);
    model_->setAutoLock(vault_, record, [self](bool) {
        if (!self) return;
        if (--self->autoLockWrites_ == 0) {
            self->pendingAutoLock_.reset();
            self->refresh();
        }
    });
}

bool VaultDetail::lockOnQuit() {
    return kxcore::Settings().lockOnQuit();
}

void VaultDetail::setLockOnQuit(bool on) {
    kxcore::Settings().setLockOnQuit(on);
    if (model_) model_->bump();
}

void VaultDetail::unlock() {
    const QString password = passwordField_->text();
    if (password.isEmpty() || !model_) return;
    QPointer<VaultDetail> self(this);
    unlockAttempt_.begin(model_);
    unlockError_->hide();
    model_->unlock(vault_, password, [self](bool ok) {
        if (!self) return;
        if (ok) {
            self->passwordField_->clear();
            return;
        }
        // the pane was disabled while it worked, which took the focus away:
        // back into the field, the wrong text selected, the reason under it
        const QString why = self->unlockAttempt_.take(self->model_);
        self->unlockError_->setText(why);
        self->unlockError_->setVisible(!why.isEmpty());
        self->focusPassword();
    });
}

void VaultDetail::focusPassword() {
    if (lockedCards_->isHidden() || !content_->isEnabled()) return;
    passwordField_->setFocus(Qt::OtherFocusReason);
    passwordField_->selectAll();
}

void VaultDetail::unlockWithTouchID() {
    if (model_) model_->unlockWithTouchID(vault_);
}

void VaultDetail::lock() {
    if (model_) model_->lock(vault_, false);
}

void VaultDetail::pickImport(FilePanels::ImportKind kind) {
    QPointer<AppModel> model = model_;
    const AppModel::VaultPtr vault = vault_;
    FilePanels::chooseImport(window(), kind, [model, vault](const QList<QUrl>& urls) {
        if (urls.isEmpty() || !model) return;
        model->importItems(vault, urls);
    }, FilePanels::refusingSourcesHolding(vault));
}

void VaultDetail::reveal() {
    FileBrowser::reveal(pathText(vault_->image()));
}

QMessageBox* VaultDetail::confirmForget() {
    if (forgetAlert_) return forgetAlert_;
    auto* alert = new QMessageBox(window());
    alert->setIcon(QMessageBox::Warning);
    alert->setText(kx("forget.title", QString::fromStdString(vault_->config().name)));
    alert->setInformativeText(kx("forget.body"));
    QPushButton* confirm = alert->addButton(kx("forget.confirm"), QMessageBox::DestructiveRole);
    QPushButton* cancel = alert->addButton(kx("common.cancel"), QMessageBox::RejectRole);
    alert->setDefaultButton(confirm);
    alert->setEscapeButton(cancel);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPointer<AppModel> model = model_;
    const AppModel::VaultPtr vault = vault_;
    connect(alert, &QMessageBox::buttonClicked, alert, [model, vault, confirm](QAbstractButton* clicked) {
        // forgetting replaces this pane, so only captured values are used
        if (clicked == confirm && model) model->forget(vault);
    });
    forgetAlert_ = alert;
    alert->open();
    return alert;
}

QDialog* VaultDetail::openSheet(Sheet which) {
    if (sheetDialog_ || !model_) return nullptr;
    QDialog* dialog = nullptr;
    QWidget* parent = window();
    QPointer<AppModel> model = model_;
    const AppModel::VaultPtr vault = vault_;
    switch (which) {
    case Sheet::recover:
        dialog = SheetPresenter::openRecover(model_, vault_, parent);
        break;
    case Sheet::changePassword:
        dialog = SheetPresenter::openChangePassword(model_, vault_, parent);
        break;
    case Sheet::loginUnlock: {
        QPointer<VaultDetail> self = this;
        dialog = SheetPresenter::openPasswordPrompt(
            kx("loginUnlock.enableTitle", QString::fromStdString(vault_->config().name)),
            kx("loginUnlock.enableNote"),
            [model, vault, self](const QString& password, std::function<void(bool)> done) {
                if (!model) {
                    done(false);
                    return;
                }
                model->enableLoginUnlock(vault, password, [done = std::move(done), self](bool ok) {
                    done(ok);
                    // Unlocking at login needs the application to start
                    // at login: while it does not, the one message is the
                    // offer, and the banner promises nothing.
                    if (ok && self && self->offerAutostart() && self->model_)
                        self->model_->setMessage(
                            Banner(kx("loginUnlock.pending", QString::fromStdString(self->vault_->config().name))));
                });
            },
            parent);
        break;
    }
    case Sheet::checkData:
        dialog = SheetPresenter::openPasswordPrompt(
            kx("check.title", QString::fromStdString(vault_->config().name)), kx("check.note"),
            [model, vault](const QString& password, std::function<void(bool)> done) {
                if (model)
                    model->checkData(vault, password, std::move(done));
                else
                    done(false);
            },
            parent);
        break;
    case Sheet::touchID:
    case Sheet::regenerate: {
        // Both ask for the password, then run one model action with it.
        using Action = void (AppModel::*)(const AppModel::VaultPtr&, const QString&, AppModel::Done);
        const bool touchID = which == Sheet::touchID;
        const Action action = touchID ? &AppModel::enableTouchID : &AppModel::regenerateMnemonic;
        dialog = SheetPresenter::openPasswordPrompt(
            kx(touchID ? "touchid.enableTitle" : "mnemonic.regenTitle"),
            kx(touchID ? "touchid.enableNote" : "mnemonic.regenNote"),
            [model, vault, action](const QString& password, std::function<void(bool)> done) {
                if (model)
                    (model.data()->*action)(vault, password, std::move(done));
                else
                    done(false);
            },
            parent);
        break;
    }
    }
    if (!dialog) return nullptr;
    // a prompt shows its action's error itself, not behind it in the banner
    if (auto* prompt = qobject_cast<PasswordPromptSheet*>(dialog)) prompt->showErrorsOf(model_);
    sheet_ = which;
    sheetDialog_ = dialog;
    connect(dialog, &QDialog::finished, this, [this] {
        sheet_.reset();
        sheetDialog_.clear();
    });
    return dialog;
}

void VaultDetail::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shownOnce_) return;
    shownOnce_ = true;
    if (qEnvironmentVariable("HC_DEMO") == QLatin1String("recover")) openSheet(Sheet::recover);
}

void VaultDetail::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        paintSymbols();
    QWidget::changeEvent(event);
}

void VaultDetail::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && mods == Qt::NoModifier && !lockedCards_->isHidden() && content_->isEnabled()) {
        unlock();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void VaultDetail::paintSymbols() {
    const QPalette& pal = palette();
    const qreal dpr = devicePixelRatioF();
    static_cast<IconTile*>(tile_)->setSymbol(unlocked_ ? QStringLiteral("lock.open.fill")
                                                       : QStringLiteral("lock.fill"),
                                             unlocked_ ? KXStyle::green(pal) : KXStyle::secondary(pal));
    static_cast<Badge*>(badge_)->setTint(unlocked_ ? KXStyle::green(pal) : KXStyle::secondary(pal));
    touchIDOnIcon_->setPixmap(KXSymbol::pixmap(QStringLiteral("touchid"), 16, KXStyle::green(pal), dpr));
    touchIDUnavailableIcon_->setPixmap(
        KXSymbol::pixmap(QStringLiteral("touchid"), 16, KXStyle::secondary(pal), dpr));
    const QColor buttonText = pal.color(QPalette::ButtonText);
    touchIDUnlock_->setIcon(KXSymbol::tinted(QStringLiteral("touchid"), buttonText));
    touchIDEnable_->setIcon(KXSymbol::tinted(QStringLiteral("touchid"), buttonText));
    open_->setIcon(KXSymbol::tinted(QStringLiteral("folder"), pal.color(QPalette::HighlightedText)));
    import_->setIcon(KXSymbol::tinted(QStringLiteral("square.and.arrow.down.on.square"), buttonText));
    lock_->setIcon(KXSymbol::tinted(QStringLiteral("lock.fill"), buttonText));
}

void VaultDetail::refresh() {
    if (!model_) return;
    refreshing_ = true;
    const VaultConfig config = vault_->config();
    const auto mountState = model_->mountState(vault_);
    const bool unlocked = mountState == vaultkit::DiskImage::MountState::mounted;
    const bool stale = mountState == vaultkit::DiskImage::MountState::stale;
    const bool changedState = unlocked != unlocked_ || name_->fullText().isEmpty();
    unlocked_ = unlocked;

    name_->setFullText(QString::fromStdString(config.name));
    path_->setPath(pathText(vault_->mountPoint()));
    badge_->setText(unlocked ? kx("status.unlocked") : stale ? kx("status.stale") : kx("status.locked"));
    if (changedState) paintSymbols();

    const auto work = model_->working().find(config.id);
    const bool working = work != model_->working().end();
    workingRow_->setVisible(working);
    if (working) workingText_->setText(work->second);
    const auto progress = model_->importProgress().find(config.id);
    const bool determinate = working && progress != model_->importProgress().end();
    importBar_->setVisible(determinate);
    if (determinate) importBar_->setValue(static_cast<int>(std::clamp(progress->second, 0.0, 1.0) * 1000));
    header_->setEnabled(!working);
    content_->setEnabled(!working);

    lockedCards_->setVisible(!unlocked);
    checkData_->setVisible(!unlocked);
    unlockedCards_->setVisible(unlocked);

    // locked
    staleNote_->setVisible(stale);
    unlockButton_->setEnabled(!passwordField_->text().isEmpty());
    touchIDUnlock_->setVisible(config.touchID.has_value());

    // unlocked
    const QStringList hidden = unlocked ? model_->hiddenConflicts(vault_) : QStringList();
    hiddenConflicts_->setVisible(!hidden.isEmpty());
    if (!hidden.isEmpty())
        hiddenConflicts_->setText(kx("conflicts.hidden", static_cast<int>(hidden.size())) + QLatin1Char('\n') +
                                  hidden.join(QLatin1Char('\n')));
    const VaultConfig::AutoLock autoLock = pendingAutoLock_ ? *pendingAutoLock_ : config.autoLock;
    // the stored choice stays; it is shown off while it cannot work here
    const bool sleepWorks = model_->sleepLockAvailable();
    sleepToggle_->setEnabled(sleepWorks);
    sleepToggle_->setChecked(sleepWorks && autoLock.onSleep);
    sleepUnavailable_->setVisible(!sleepWorks);
    screenToggle_->setChecked(autoLock.onScreenLock);
    showIdleMinutes(autoLock.idleMinutes);
    if (unlocked) model_->probeIdleTime();
    idleUnavailable_->setVisible(model_->idleTimeKnown() == AppModel::IdleTime::unavailable);
    quitToggle_->setChecked(lockOnQuit());
    loginToggle_->setChecked(unlocked && model_->unlocksAtLogin(vault_));
    const TouchIDRow row = touchIDRow(config.touchID.has_value(), model_->touchIDAvailable());
    touchIDOn_->setVisible(row == TouchIDRow::on);
    touchIDUnavailable_->setVisible(row == TouchIDRow::unavailable);
    touchIDEnable_->setVisible(row == TouchIDRow::enable);
    const std::optional<bool> bootBound =
        row == TouchIDRow::on ? model_->touchIDBootBinding(vault_) : std::optional<bool>();
    touchIDBoot_->setVisible(bootBound.has_value());
    if (bootBound) touchIDBoot_->setText(kx(*bootBound ? "touchid.bootBound" : "touchid.bootUnbound"));

    location_->setValue(PathLabel::abbreviate(pathText(vault_->image())));
    const auto mode = model_->mountMode(vault_);
    mountModePicker_->setCurrentIndex(mountModePicker_->findData(static_cast<int>(mode.choice)));
    const auto why = vaultkit::MountModePolicy::explain(mode);
    std::vector<KXFormat::Arg> whyArgs(why.args.begin(), why.args.end());
    const QString whyText = QString::fromStdString(
        KXStrings::text(why.key, std::span<const KXFormat::Arg>(whyArgs.data(), whyArgs.size())));
    // Below it, which sync clients carry the vault and whether each leaves
    // the visible folder out.
    const QStringList synced = model_->syncCoverage(vault_);
    const QString modeText = unlocked ? whyText + QLatin1Char(' ') + kx("mountMode.nextUnlock") : whyText;
    mountModeWhy_->setText(synced.isEmpty() ? modeText : modeText + QLatin1Char('\n') + synced.join(QLatin1Char('\n')));
    refreshing_ = false;
}
