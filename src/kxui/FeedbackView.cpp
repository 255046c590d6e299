#include "kxui/FeedbackView.h"

#include "kxcore/DeviceIdentity.h"
#include "kxcore/FeedbackClient.h"
#include "kxcore/Log.h"
#include "kxcore/Settings.h"
#include "kxcore/SystemInfo.h"
#include "kxcore/WebService.h"
#include "kxui/KXContext.h"
#include "kxui/KXOpen.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QCheckBox>
#include <QUrlQuery>
#include <QStandardPaths>
#include <QProcess>
#include <QMessageBox>
#include <QGuiApplication>
#include <QClipboard>
#include <QEvent>
#include <QDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace kxui {

namespace {

// Clicking a label beside a check box toggles the box.
class ToggleOnClick : public QObject {
public:
    ToggleOnClick(QCheckBox* box, QObject* parent)
        : QObject(parent)
        , box_(box) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::MouseButtonRelease && box_->isEnabled()) {
            box_->toggle();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QCheckBox* box_;
};

QLabel* wrapped(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

QLabel* symbolLabel(const QString& symbol, KXStyle::Tone tone, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setPixmap(
        KXSymbol::pixmap(symbol, 18, KXStyle::tone(tone, label->palette()), label->devicePixelRatioF()));
    label->setAlignment(Qt::AlignTop);
    return label;
}

} // namespace

FeedbackView::FeedbackView(const KXContext& ctx, kxcore::FeedbackRequest request, bool embedded,
                           QWidget* parent)
    : FeedbackView(ctx.product(), ctx.paths(), std::move(request), embedded, parent) {}

FeedbackView::FeedbackView(kxcore::ProductInfo product, kxcore::AppPaths paths,
                           kxcore::FeedbackRequest request, bool embedded, QWidget* parent)
    : QWidget(parent)
    , product_(std::move(product))
    , paths_(std::move(paths))
    , request_(std::move(request))
    , embedded_(embedded) {
    setObjectName(QStringLiteral("feedback"));
    build();
    email_->setText(kxcore::Settings().feedbackEmail());
    message_->setPlainText(request_.prefill);
    refresh();
}

void FeedbackView::build() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(embedded_ ? 0 : 20, embedded_ ? 0 : 18, embedded_ ? 0 : 20, embedded_ ? 0 : 16);
    pages_ = new QStackedWidget(this);
    outer->addWidget(pages_);

    pages_->addWidget(buildForm());
    pages_->addWidget(buildSentPage());
    connectControls();
}

// The form: the address and the message, what is attached, how sending went.
QWidget* FeedbackView::buildForm() {
    auto* form = new QWidget(pages_);
    auto* v = new QVBoxLayout(form);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(8);
    if (!embedded_) {
        auto* title = new QLabel(kx("fb.title"), form);
        KXStyle::setFont(title, KXStyle::Text::title);
        v->addWidget(title);
    }
    auto* intro = wrapped(kx("fb.intro"), form);
    KXStyle::setTone(intro, KXStyle::Tone::secondary);
    v->addWidget(intro);

    addMessageFields(form, v);
    addAttachment(form, v);
    addNotes(form, v);
    addButtons(form, v);
    return form;
}

void FeedbackView::addMessageFields(QWidget* form, QVBoxLayout* v) {
    v->addSpacing(4);
    auto* emailLabel = new QLabel(kx("fb.email"), form);
    v->addWidget(emailLabel);
    email_ = new QLineEdit(form);
    email_->setObjectName(QStringLiteral("email"));
    email_->setPlaceholderText(QStringLiteral("name@example.org"));
    emailLabel->setBuddy(email_);
    v->addWidget(email_);
    // what the address is for: only the reply
    emailHelp_ = wrapped(kx("fb.emailHelp"), form);
    emailHelp_->setObjectName(QStringLiteral("emailHelp"));
    KXStyle::setTone(emailHelp_, KXStyle::Tone::secondary);
    KXStyle::setFont(emailHelp_, KXStyle::Text::caption);
    v->addWidget(emailHelp_);
    emailInvalid_ = new QLabel(kx("fb.emailInvalid"), form);
    emailInvalid_->setObjectName(QStringLiteral("emailInvalid"));
    KXStyle::setTone(emailInvalid_, KXStyle::Tone::red);
    KXStyle::setFont(emailInvalid_, KXStyle::Text::caption);
    v->addWidget(emailInvalid_);

    auto* messageLabel = new QLabel(kx("fb.message"), form);
    v->addWidget(messageLabel);
    message_ = new QPlainTextEdit(form);
    message_->setObjectName(QStringLiteral("message"));
    message_->setFixedHeight(110);
    message_->setTabChangesFocus(true);
    messageLabel->setBuddy(message_);
    v->addWidget(message_);

}

void FeedbackView::addAttachment(QWidget* form, QVBoxLayout* v) {
    // The check box's text is long in some languages and a check box cannot
    // wrap it: the text is a wrapping label beside an empty box, and clicking
    // it toggles the box as clicking the box's own text would.
    attach_ = new QCheckBox(form);
    attach_->setObjectName(QStringLiteral("attach"));
    attach_->setAccessibleName(kx("fb.attach"));
    attach_->setChecked(true);
    auto* attachText = new QLabel(kx("fb.attach"), form);
    attachText->setObjectName(QStringLiteral("attachText"));
    attachText->setTextFormat(Qt::PlainText);
    attachText->setWordWrap(true);
    attachText->installEventFilter(new ToggleOnClick(attach_, attachText));
    auto* attachRow = new QHBoxLayout;
    attachRow->setSpacing(4);
    attachRow->addWidget(attach_, 0, Qt::AlignTop);
    attachRow->addWidget(attachText, 1);
    v->addLayout(attachRow);

    previewToggle_ = new QToolButton(form);
    previewToggle_->setObjectName(QStringLiteral("previewToggle"));
    previewToggle_->setText(kx("fb.preview"));
    previewToggle_->setCheckable(true);
    previewToggle_->setAutoRaise(true);
    previewToggle_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    previewToggle_->setArrowType(Qt::RightArrow);
    previewToggle_->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    v->addWidget(previewToggle_);
    preview_ = new QPlainTextEdit(form);
    preview_->setObjectName(QStringLiteral("preview"));
    preview_->setReadOnly(true);
    preview_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    preview_->setFixedHeight(120);
    preview_->setLineWrapMode(QPlainTextEdit::NoWrap);
    preview_->setVisible(false);
    v->addWidget(preview_);

}

void FeedbackView::addNotes(QWidget* form, QVBoxLayout* v) {
    v->addSpacing(2);
    failureRow_ = new QWidget(form);
    auto* fh = new QHBoxLayout(failureRow_);
    fh->setContentsMargins(0, 0, 0, 0);
    fh->addWidget(
        symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), KXStyle::Tone::orange, failureRow_));
    failureLabel_ = wrapped(QString(), failureRow_);
    failureLabel_->setObjectName(QStringLiteral("failure"));
    failureLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fh->addWidget(failureLabel_, 1);
    v->addWidget(failureRow_);

    copiedNote_ = wrapped(kx("fb.copied", product_.supportEmail), form);
    copiedNote_->setObjectName(QStringLiteral("copied"));
    copiedNote_->hide();
    v->addWidget(copiedNote_);
    mailOnly_ = wrapped(kx("fb.mailOnly"), form);
    mailOnly_->setObjectName(QStringLiteral("mailOnly"));
    KXStyle::setTone(mailOnly_, KXStyle::Tone::secondary);
    v->addWidget(mailOnly_);

}

void FeedbackView::addButtons(QWidget* form, QVBoxLayout* v) {
    v->addStretch(1);
    auto* buttons = new QHBoxLayout;
    useMail_ = new QPushButton(kx("fb.useMail"), form);
    useMail_->setObjectName(QStringLiteral("useMail"));
    useMail_->setAutoDefault(false);
    buttons->addWidget(useMail_);
    buttons->addStretch(1);
    if (!embedded_) {
        cancel_ = new QPushButton(kx("common.cancel"), form);
        cancel_->setObjectName(QStringLiteral("cancel"));
        cancel_->setAutoDefault(false);
        buttons->addWidget(cancel_);
        connect(cancel_, &QPushButton::clicked, this, &FeedbackView::dismissRequested);
    }
    spinner_ = new QProgressBar(form);
    spinner_->setRange(0, 0);
    spinner_->setTextVisible(false);
    spinner_->setFixedWidth(48);
    spinner_->setFixedHeight(10);
    buttons->addWidget(spinner_);
    send_ = new QPushButton(kx("fb.send"), form);
    send_->setObjectName(QStringLiteral("send"));
    send_->setDefault(true);
    KXStyle::makeProminent(send_);
    buttons->addWidget(send_);
    v->addLayout(buttons);
}

// The page shown after sending.
QWidget* FeedbackView::buildSentPage() {
    auto* done = new QWidget(pages_);
    auto* dv = new QVBoxLayout(done);
    dv->setContentsMargins(0, 0, 0, 0);
    auto* row = new QHBoxLayout;
    row->addWidget(symbolLabel(QStringLiteral("checkmark.circle.fill"), KXStyle::Tone::green, done));
    sentLabel_ = wrapped(QString(), done);
    sentLabel_->setObjectName(QStringLiteral("sentLabel"));
    row->addWidget(sentLabel_, 1);
    dv->addLayout(row);
    dv->addStretch(1);
    auto* doneButtons = new QHBoxLayout;
    doneButtons->addStretch(1);
    sentButton_ = new QPushButton(embedded_ ? kx("fb.another") : kx("fb.close"), done);
    sentButton_->setObjectName(QStringLiteral("sentButton"));
    sentButton_->setDefault(true);
    doneButtons->addWidget(sentButton_);
    dv->addLayout(doneButtons);
    return done;
}

void FeedbackView::connectControls() {
    connect(email_, &QLineEdit::textChanged, this, &FeedbackView::refresh);
    connect(email_, &QLineEdit::returnPressed, this, [this] {
        if (canSend()) send();
    });
    connect(message_, &QPlainTextEdit::textChanged, this, &FeedbackView::refresh);
    connect(attach_, &QCheckBox::toggled, this, [this] {
        refreshPreview();
        refresh();
    });
    connect(previewToggle_, &QToolButton::toggled, this, &FeedbackView::setPreviewExpanded);
    connect(useMail_, &QPushButton::clicked, this, &FeedbackView::mail);
    connect(send_, &QPushButton::clicked, this, &FeedbackView::send);
    connect(sentButton_, &QPushButton::clicked, this, [this] {
        if (embedded_)
            writeAnother();
        else
            emit dismissRequested();
    });
}

void FeedbackView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (message_->toPlainText().isEmpty() && !request_.prefill.isEmpty())
        message_->setPlainText(request_.prefill);
    refreshPreview();
}

QString FeedbackView::diagnostics() const {
    QStringList parts;
    parts << product_.displayName + QLatin1Char(' ') + product_.version + QStringLiteral(" · ") +
                 kxcore::SystemInfo::prettyName() + QStringLiteral(" · Linux ") +
                 kxcore::SystemInfo::kernelRelease();
    if (!request_.diagnostics.isEmpty()) parts << request_.diagnostics;
    parts << QStringLiteral("--- log ---\n") +
                 QString::fromStdString(kxcore::Log::shared().tail(std::size_t(logTailBytes)));
    return parts.join(QStringLiteral("\n\n"));
}

bool FeedbackView::canSend() const {
    return kxcore::FeedbackReport::isValidEmail(email_->text()) &&
           !message_->toPlainText().trimmed().isEmpty() && !sending_ &&
           kxcore::WebService::isAvailable(product_);
}

QUrl FeedbackView::mailURL() const {
    if (product_.supportEmail.isEmpty()) return {};
    const QString subject =
        product_.displayName + QLatin1Char(' ') + product_.version + QStringLiteral(" feedback");
    QString body = message_->toPlainText() + QStringLiteral("\n\n---\n");
    if (attach_->isChecked())
        body += kxcore::FeedbackReport::lastCharacters(diagnostics(), mailDiagnosticsLimit);
    // Every reserved character of the query is encoded, so "&", "=", "+" and
    // "#" in the texts stay text.
    QByteArray query =
        "subject=" + QUrl::toPercentEncoding(subject) + "&body=" + QUrl::toPercentEncoding(body);
    QUrl url(QStringLiteral("mailto:") + product_.supportEmail, QUrl::StrictMode);
    if (!url.isValid()) return {};
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url.isValid() ? url : QUrl();
}

void FeedbackView::setEmail(const QString& email) {
    email_->setText(email);
}
void FeedbackView::setMessage(const QString& message) {
    message_->setPlainText(message);
}
void FeedbackView::setAttach(bool on) {
    attach_->setChecked(on);
}

void FeedbackView::setPreviewExpanded(bool expanded) {
    if (previewToggle_->isChecked() != expanded) previewToggle_->setChecked(expanded);
    previewToggle_->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    refreshPreview();
    preview_->setVisible(expanded && attach_->isChecked());
}

void FeedbackView::refreshPreview() {
    if (!attach_->isChecked()) {
        preview_->setVisible(false);
        return;
    }
    preview_->setVisible(previewToggle_->isChecked());
    if (previewToggle_->isChecked()) preview_->setPlainText(diagnostics());
}

void FeedbackView::refresh() {
    const bool service = kxcore::WebService::isAvailable(product_);
    const QString email = email_->text();
    emailInvalid_->setVisible(!email.isEmpty() && !kxcore::FeedbackReport::isValidEmail(email));
    previewToggle_->setVisible(attach_->isChecked());
    failureRow_->setVisible(failure_.has_value());
    if (failure_) failureLabel_->setText(kx("fb.failed", *failure_));
    mailOnly_->setVisible(!service);
    send_->setVisible(service);
    send_->setEnabled(canSend());
    useMail_->setEnabled(!sending_);
    spinner_->setVisible(sending_);
    if (!service) useMail_->setDefault(true);
    pages_->setCurrentIndex(sent_ ? 1 : 0);
    sentLabel_->setText(kx("fb.sent", kxcore::FeedbackReport::trimSpacesAndTabs(email)));
}

void FeedbackView::send() {
    if (!canSend()) return;
    sending_ = true;
    failure_.reset();
    const QString email = kxcore::FeedbackReport::trimSpacesAndTabs(email_->text());
    kxcore::Settings().setFeedbackEmail(email);
    kxcore::FeedbackReport report{email_->text(), message_->toPlainText(), request_.scene, request_.code,
                                  attach_->isChecked() ? std::optional<QString>(diagnostics())
                                                       : std::nullopt};
    const QString deviceID = kxcore::DeviceIdentity::anonymousID(paths_);
    refresh();
    kxcore::FeedbackClient::send(report, product_, deviceID, this,
                                 [this](const std::optional<QString>& error) {
                                     sending_ = false;
                                     if (error)
                                         failure_ = *error;
                                     else
                                         sent_ = true;
                                     refresh();
                                     if (sent_) sentButton_->setFocus();
                                     emit finished();
                                 });
}

namespace {
std::function<bool()>& mailCheck() {
    static std::function<bool()> check;
    return check;
}
} // namespace

bool FeedbackView::mailProgramAvailable() {
    if (mailCheck()) return mailCheck()();
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty()) return true; // cannot tell: let the desktop try
    QProcess query;
    query.setStandardInputFile(QProcess::nullDevice());
    query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/mailto")});
    if (!query.waitForFinished(3000)) {
        query.kill();
        query.waitForFinished(1000);
        return true;
    }
    return !QString::fromUtf8(query.readAllStandardOutput()).trimmed().isEmpty();
}

void FeedbackView::setMailProgramCheck(std::function<bool()> check) {
    mailCheck() = std::move(check);
}

QString FeedbackView::mailText() const {
    const QUrl url = mailURL();
    if (url.isEmpty()) return {};
    const QUrlQuery query(url);
    return QStringLiteral("To: ") + product_.supportEmail + QStringLiteral("\nSubject: ") +
           query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded) + QStringLiteral("\n\n") +
           query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded);
}

void FeedbackView::mail() {
    QUrl url = mailURL();
    if (url.isEmpty()) return;
    if (mailProgramAvailable()) {
        KXOpen::url(url);
        return;
    }
    // Nothing would open the link: offer the report for any mail service.
    if (copyOffer_) return;
    auto* alert = new QMessageBox(window());
    alert->setIcon(QMessageBox::Information);
    alert->setText(kx("fb.noMailTitle"));
    alert->setInformativeText(kx("fb.noMailBody", product_.supportEmail));
    QPushButton* copy = alert->addButton(kx("fb.copyReport"), QMessageBox::AcceptRole);
    QPushButton* cancel = alert->addButton(kx("common.cancel"), QMessageBox::RejectRole);
    alert->setDefaultButton(copy);
    alert->setEscapeButton(cancel);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    connect(alert, &QMessageBox::buttonClicked, this, [this, copy](QAbstractButton* button) {
        if (button != copy) return;
        QGuiApplication::clipboard()->setText(mailText());
        copiedNote_->show();
    });
    copyOffer_ = alert;
    alert->open();
}

void FeedbackView::writeAnother() {
    sent_ = false;
    failure_.reset();
    message_->clear();
    refresh();
    message_->setFocus();
}

QDialog* FeedbackView::openDialog(const KXContext& ctx, const kxcore::FeedbackRequest& request,
                                  QWidget* parent) {
    auto* dialog = new QDialog(parent);
    dialog->setObjectName(QStringLiteral("feedbackDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(kx("fb.title"));
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new FeedbackView(ctx, request, false, dialog);
    layout->addWidget(view);
    connect(view, &FeedbackView::dismissRequested, dialog, &QDialog::reject);
    dialog->resize(520, dialog->sizeHint().height());
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return dialog;
}

} // namespace kxui
