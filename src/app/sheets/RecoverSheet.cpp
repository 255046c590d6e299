#include "app/sheets/RecoverSheet.h"

#include "app/model/AppModel.h"
#include "app/sheets/SheetStyle.h"
#include "app/widgets/BusySpinner.h"
#include "app/widgets/PasswordField.h"
#include "app/widgets/PasswordStrength.h"
#include "app/widgets/StrengthBar.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"
#include "vaultkit/crypto/WordList.h"
#include "vaultkit/vault/Vault.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

#include <openssl/crypto.h>

namespace {

PasswordField* secureField(const QString& placeholder, QWidget* parent) {
    auto* field = new PasswordField(placeholder, parent);
    field->setFixedWidth(SheetStyle::fieldWidth);
    return field;
}

} // namespace

RecoverSheet::RecoverSheet(AppModel* model, std::shared_ptr<vaultkit::Vault> vault, QWidget* parent)
    : QDialog(parent)
    , model_(model)
    , vault_(std::move(vault))
    , phrase_(new QPlainTextEdit(this))
    , feedbackSymbol_(new QLabel(this))
    , feedbackText_(new QLabel(this))
    , unknownLabel_(SheetStyle::error(QString(), this))
    , complete_(new QPushButton(this))
    , password_(secureField(kx("recover.newPw"), this))
    , confirm_(secureField(kx("create.pw2"), this))
    , strength_(new StrengthBar(this))
    , cancel_(new QPushButton(kx("common.cancel"), this))
    , action_(new QPushButton(kx("recover.action"), this))
    , spinner_(new BusySpinner(this)) {
    setWindowTitle(kx("recover.title"));
    phrase_->setAccessibleName(kx("create.s3"));
    setWindowModality(Qt::WindowModal);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(SheetStyle::inset, SheetStyle::inset, SheetStyle::inset, SheetStyle::inset);
    column->setSpacing(12);
    column->setSizeConstraint(QLayout::SetFixedSize);
    const int width = 560 - 2 * SheetStyle::inset;
    auto* title = SheetStyle::title(kx("recover.title"), this);
    auto* body = SheetStyle::body(kx("recover.body"), this);
    title->setFixedWidth(width);
    body->setFixedWidth(width);
    column->addWidget(title);
    column->addWidget(body);

    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    phrase_->setFont(mono);
    phrase_->setFixedSize(width, 70);
    phrase_->setTabChangesFocus(true);
    phrase_->setInputMethodHints(Qt::ImhNoPredictiveText | Qt::ImhNoAutoUppercase | Qt::ImhSensitiveData);
    phrase_->setFrameShape(QFrame::NoFrame);
    QColor border = KXStyle::secondary(palette());
    border.setAlphaF(0.35);
    phrase_->setStyleSheet(
        QStringLiteral("QPlainTextEdit { border: 1px solid %1; border-radius: 4px; padding: 2px; }")
            .arg(border.name(QColor::HexArgb)));
    connect(phrase_, &QPlainTextEdit::textChanged, this, &RecoverSheet::phraseChanged);
    column->addWidget(phrase_);

    auto* feedbackRow = new QHBoxLayout;
    feedbackRow->setSpacing(6);
    feedbackSymbol_->setFixedSize(16, 16);
    feedbackText_->setTextFormat(Qt::PlainText);
    feedbackText_->setWordWrap(true);
    KXStyle::setFont(feedbackText_, KXStyle::Text::callout);
    feedbackRow->addWidget(feedbackSymbol_);
    feedbackRow->addWidget(feedbackText_, 1);
    column->addLayout(feedbackRow);

    auto* wordsRow = new QHBoxLayout;
    wordsRow->setSpacing(8);
    unknownLabel_->setObjectName(QStringLiteral("unknownWords"));
    unknownLabel_->hide();
    complete_->setObjectName(QStringLiteral("completeWord"));
    complete_->setAutoDefault(false);
    complete_->hide();
    connect(complete_, &QPushButton::clicked, this, &RecoverSheet::complete);
    wordsRow->addWidget(unknownLabel_, 1);
    wordsRow->addWidget(complete_);
    column->addLayout(wordsRow);

    column->addWidget(password_);
    column->addWidget(confirm_);
    column->addWidget(strength_);
    for (auto* field : {password_, confirm_})
        connect(field, &QLineEdit::textChanged, this, &RecoverSheet::refresh);
    connect(password_, &QLineEdit::textChanged, strength_, &StrengthBar::setPassword);

    connect(action_, &QPushButton::clicked, this, &RecoverSheet::recover);
    column->addLayout(SheetStyle::actionRow(this, cancel_, spinner_, action_));
    phraseChanged();
}

std::vector<RecoverSheet::Word> RecoverSheet::words(const QString& phrase) {
    std::vector<Word> out;
    for (int i = 0; i < phrase.size();) {
        if (phrase[i].isSpace()) {
            ++i;
            continue;
        }
        Word w;
        w.start = i;
        while (i < phrase.size() && !phrase[i].isSpace())
            ++i;
        w.length = i - w.start;
        w.finished = i < phrase.size();
        out.push_back(w);
    }
    return out;
}

void RecoverSheet::markWords() {
    const QString text = phrase_->toPlainText();
    unknown_.clear();
    offered_.clear();
    QList<QTextEdit::ExtraSelection> marks;
    for (const Word& w : words(text)) {
        const QString typed = text.mid(w.start, w.length);
        std::string bytes = typed.toStdString();
        const bool known = vaultkit::WordList::contains(bytes);
        std::optional<std::string> completion;
        if (!known && offered_.isEmpty()) completion = vaultkit::WordList::completion(bytes);
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
        if (known) continue;
        if (completion && offered_.isEmpty()) {
            offered_ = QString::fromStdString(*completion);
            offeredFor_ = w;
            OPENSSL_cleanse(completion->data(), completion->size());
        }
        if (!w.finished) continue; // still being typed
        unknown_ << typed;
        QTextEdit::ExtraSelection mark;
        mark.cursor = QTextCursor(phrase_->document());
        mark.cursor.setPosition(w.start);
        mark.cursor.setPosition(w.start + w.length, QTextCursor::KeepAnchor);
        mark.format.setUnderlineStyle(QTextCharFormat::WaveUnderline);
        mark.format.setUnderlineColor(KXStyle::red(palette()));
        marks << mark;
    }
    phrase_->setExtraSelections(marks);
    unknownLabel_->setText(unknown_.isEmpty() ? QString() : kx("recover.unknown", unknown_.join(QStringLiteral(", "))));
    unknownLabel_->setVisible(!unknown_.isEmpty());
    complete_->setText(offered_.isEmpty() ? QString() : kx("recover.useWord", offered_));
    complete_->setVisible(!offered_.isEmpty());
}

void RecoverSheet::complete() {
    if (offered_.isEmpty()) return;
    QTextCursor cursor(phrase_->document());
    cursor.setPosition(offeredFor_.start);
    cursor.setPosition(offeredFor_.start + offeredFor_.length, QTextCursor::KeepAnchor);
    // the completed word is followed by a space, ready for the next one
    cursor.insertText(offeredFor_.finished ? offered_ : offered_ + QLatin1Char(' '));
    phrase_->setTextCursor(cursor);
    phrase_->setFocus(Qt::OtherFocusReason);
}

int RecoverSheet::wordCount(const QString& phrase) {
    int words = 0;
    bool inWord = false;
    for (QChar c : phrase) {
        const bool space = c.isSpace();
        if (!space && !inWord) ++words;
        inWord = !space;
    }
    return words;
}

RecoverSheet::Feedback RecoverSheet::feedback() const {
    if (matches_) return Feedback::matches;
    if (wordCount(phrase_->toPlainText()) != 12) return Feedback::count;
    return Feedback::wrong;
}

bool RecoverSheet::canRecover() const {
    return matches_ && PasswordStrength::characters(password_->text()) >= 8 &&
           password_->text() == confirm_->text() && !busy_;
}

void RecoverSheet::recover() {
    if (!canRecover() || !model_) return;
    busy_ = true;
    refresh();
    QPointer<RecoverSheet> guard(this);
    model_->recover(vault_, phrase_->toPlainText(), password_->text(), [guard](bool ok) {
        if (!guard) return;
        if (ok) {
            guard->phrase_->clear();
            guard->password_->clear();
            guard->confirm_->clear();
            guard->accept();
        }
        guard->busy_ = false;
        guard->refresh();
    });
}

void RecoverSheet::phraseChanged() {
    std::string text = phrase_->toPlainText().toStdString();
    matches_ = vault_ && vault_->checkMnemonic(text);
    markWords();
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    refresh();
}

void RecoverSheet::refresh() {
    const qreal dpr = devicePixelRatioF();
    const Feedback now = feedback();
    const bool kindChanged = !shownFeedback_ || *shownFeedback_ != now;
    shownFeedback_ = now;
    switch (now) {
    case Feedback::matches:
        feedbackSymbol_->setPixmap(
            KXSymbol::pixmap(QStringLiteral("checkmark.circle.fill"), 16, KXStyle::green(palette()), dpr));
        feedbackSymbol_->show();
        feedbackText_->setText(kx("recover.ok"));
        if (kindChanged) KXStyle::setTone(feedbackText_, KXStyle::Tone::green);
        break;
    case Feedback::count:
        feedbackSymbol_->hide();
        feedbackText_->setText(kx("recover.count", wordCount(phrase_->toPlainText())));
        if (kindChanged) KXStyle::setTone(feedbackText_, KXStyle::Tone::secondary);
        break;
    case Feedback::wrong:
        feedbackSymbol_->setPixmap(
            KXSymbol::pixmap(QStringLiteral("xmark.circle"), 16, KXStyle::red(palette()), dpr));
        feedbackSymbol_->show();
        feedbackText_->setText(kx("recover.bad"));
        if (kindChanged) KXStyle::setTone(feedbackText_, KXStyle::Tone::red);
        break;
    }
    action_->setEnabled(canRecover());
    spinner_->setVisible(busy_);
}
