#pragma once

#include <functional>

#include <QMessageBox>

#include <QPointer>

#include "kxcore/AppPaths.h"
#include "kxcore/FeedbackRequest.h"
#include "kxcore/ProductInfo.h"

#include <QUrl>
#include <QWidget>

#include <optional>

class KXContext;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;

namespace kxui {

// The feedback form: the user's e-mail address (kept in "kx.feedback.email"),
// a message, and optional diagnostics (product and version, the system's
// name and kernel, the request's own diagnostics, the last 6000 bytes of the
// log) that can be looked at before sending. Sending posts the report to the
// web service; "Send by Email…" hands the same text to the mail program.
// Without a web service only the e-mail way is offered.
//
// As a window of its own (openDialog) it has a title and a Cancel button; as
// a page of the settings window (`embedded`) it has neither, and after
// sending it offers to write another message.
class FeedbackView : public QWidget {
    Q_OBJECT
public:
    static constexpr int logTailBytes = 6000;
    static constexpr qsizetype mailDiagnosticsLimit = 4000; // characters

    FeedbackView(const KXContext& ctx, kxcore::FeedbackRequest request, bool embedded,
                 QWidget* parent = nullptr);
    FeedbackView(kxcore::ProductInfo product, kxcore::AppPaths paths, kxcore::FeedbackRequest request,
                 bool embedded, QWidget* parent = nullptr);

    // Opens the form for `request` as a window of its own (the framework's
    // "open feedback"): non-modal, deleted when closed. Returns the window.
    static QDialog* openDialog(const KXContext& ctx, const kxcore::FeedbackRequest& request,
                               QWidget* parent = nullptr);

    // The text attached when "Attach diagnostics" is on.
    QString diagnostics() const;
    bool canSend() const;
    // The mailto: address of the e-mail way; empty when none can be formed.
    QUrl mailURL() const;
    // The e-mail way as text for the clipboard: the address, the subject
    // and the body.
    QString mailText() const;
    // Whether some program handles mailto: links (xdg-mime's default for
    // x-scheme-handler/mailto; true when that cannot be asked). Tests set
    // their own answer; none restores the real question.
    static bool mailProgramAvailable();
    static void setMailProgramCheck(std::function<bool()> check);
    // With no mail program, "Send by Email…" offers to copy the report
    // instead (this alert); "copied" is then said in the form.
    QMessageBox* copyOffer() const { return copyOffer_; }
    QLabel* copiedNote() const { return copiedNote_; }
    QLabel* emailHelp() const { return emailHelp_; }

    bool isEmbedded() const { return embedded_; }
    bool isSending() const { return sending_; }
    bool isSent() const { return sent_; }
    std::optional<QString> failure() const { return failure_; }

    void setEmail(const QString& email);
    void setMessage(const QString& message);
    void setAttach(bool on);
    void setPreviewExpanded(bool expanded);

public slots:
    void send();
    void mail();
    // After sending, when embedded: back to an empty message.
    void writeAnother();

signals:
    // Cancel or Close was chosen (the dialog closes).
    void dismissRequested();
    // Sending finished (sent or failed).
    void finished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void build();
    QWidget* buildForm();
    void addMessageFields(QWidget* form, QVBoxLayout* v);
    void addAttachment(QWidget* form, QVBoxLayout* v);
    void addNotes(QWidget* form, QVBoxLayout* v);
    void addButtons(QWidget* form, QVBoxLayout* v);
    QWidget* buildSentPage();
    void connectControls();
    void refresh();
    void refreshPreview();

    kxcore::ProductInfo product_;
    kxcore::AppPaths paths_;
    kxcore::FeedbackRequest request_;
    bool embedded_;
    bool sending_ = false;
    bool sent_ = false;
    std::optional<QString> failure_;

    QStackedWidget* pages_ = nullptr;
    QLineEdit* email_ = nullptr;
    QLabel* emailInvalid_ = nullptr;
    QLabel* emailHelp_ = nullptr;
    QLabel* copiedNote_ = nullptr;
    QPointer<QMessageBox> copyOffer_;
    QPlainTextEdit* message_ = nullptr;
    QCheckBox* attach_ = nullptr;
    QToolButton* previewToggle_ = nullptr;
    QPlainTextEdit* preview_ = nullptr;
    QWidget* failureRow_ = nullptr;
    QLabel* failureLabel_ = nullptr;
    QLabel* mailOnly_ = nullptr;
    QPushButton* useMail_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QProgressBar* spinner_ = nullptr;
    QPushButton* send_ = nullptr;
    QLabel* sentLabel_ = nullptr;
    QPushButton* sentButton_ = nullptr;
};

} // namespace kxui
