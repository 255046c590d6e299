#pragma once

#include "app/model/AppModel.h"

#include <QPointer>
#include <QWidget>

#include <optional>

class BannerView;
class EmptyState;
#include <QDialog>
class QLabel;
class QListWidget;
#include <QMessageBox>
class QPushButton;
class QSplitter;
class VaultDetail;

// The main window's content: the sidebar with the vaults the model knows and
// the detail pane of the selected vault (or the empty state), the banner over
// the bottom of the detail pane, and the routing of the application-wide
// sheets and of the alert for a volume in use. It holds no vault state of its
// own: everything is read from the model on each change announcement.
class RootView : public QWidget {
    Q_OBJECT
public:
    static constexpr int sidebarMinWidth = 200;

    explicit RootView(AppModel* model, QWidget* parent = nullptr);
    ~RootView() override;

    // The busy alert's message for these process names ("?" for none).
    static QString busyMessage(const QStringList& processes);

    // Opens the creation sheet (sidebar button, empty state, menu).
    void showCreate();
    bool isCreateShown() const { return createSheet_ != nullptr; }
    // The open panel for an existing vault; a chosen folder goes to the model.
    void pickExisting();

    // Reads the model again.
    void refresh();

    // ---- Widgets (tests and screenshots) ----
    QListWidget* sidebarList() const { return list_; }
    QPushButton* newButton() const { return newButton_; }
    QPushButton* addExistingButton() const { return addExisting_; }
    VaultDetail* detail() const { return detail_; }
    EmptyState* emptyState() const { return empty_; }
    BannerView* banner() const { return banner_; }
    QMessageBox* busyAlert() const { return busyAlert_; }
    QDialog* createSheet() const { return createSheet_; }
    QDialog* importSheet() const { return importSheet_; }
    QDialog* mnemonicSheet() const { return mnemonicSheet_; }
    // The result of a check of encrypted data (DataCheckSheet), while open.
    QDialog* dataCheckSheet() const { return dataCheckSheet_; }

signals:
    // Once, when the view is first shown (the self-test starts here).
    void firstShown();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refreshSidebar();
    void refreshDetail();
    void refreshBusyAlert();
    void refreshSheets();
    void placeBanner();
    void paintSidebarIcons();

    QPointer<AppModel> model_;
    QSplitter* split_ = nullptr;
    QListWidget* list_ = nullptr;
    QPushButton* newButton_ = nullptr;
    QPushButton* addExisting_ = nullptr;
    QWidget* detailColumn_ = nullptr;
    QWidget* detailHost_ = nullptr;
    VaultDetail* detail_ = nullptr;
    EmptyState* empty_ = nullptr;
    BannerView* banner_ = nullptr;
    bool updatingList_ = false;
    bool shownOnce_ = false;

    QPointer<QMessageBox> busyAlert_;
    std::optional<vaultkit::Uuid> busyAlertFor_;
    QPointer<QDialog> createSheet_;
    QPointer<QDialog> importSheet_;
    std::optional<vaultkit::Uuid> importSheetFor_;
    QPointer<QDialog> mnemonicSheet_;
    std::optional<vaultkit::Uuid> mnemonicSheetFor_;
    QPointer<QDialog> dataCheckSheet_;
    std::optional<vaultkit::Uuid> dataCheckSheetFor_;
};
