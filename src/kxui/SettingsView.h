#pragma once

#include <QDialog>

#include <array>

class KXContext;
class QTabWidget;

namespace kxui {

class FeedbackView;
class GeneralSettings;
class PrivacySettings;
class UpdateSettings;

// The settings window: tabs General, Updates, Feedback and Privacy, in that
// order, tagged 0, 2, 3 and 4. The chosen tab is stored under
// "kx.settingsTab", so the window opens on the tab chosen last (General the
// first time, and for a stored tag that is not one of the four).
class SettingsView : public QDialog {
    Q_OBJECT
public:
    enum Tag { general = 0, updates = 2, feedback = 3, privacy = 4 };
    static constexpr std::array<int, 4> tags{general, updates, feedback, privacy};
    static constexpr int windowWidth = 560;

    explicit SettingsView(const KXContext& ctx, QWidget* parent = nullptr);

    // Shows the tab with `tag` (and stores it); an unknown tag does nothing.
    void selectTab(int tag);
    int currentTag() const;

    QTabWidget* tabs() const { return tabs_; }
    GeneralSettings* generalPane() const { return general_; }
    UpdateSettings* updatesPane() const { return updates_; }
    FeedbackView* feedbackPane() const { return feedback_; }
    PrivacySettings* privacyPane() const { return privacy_; }

private:
    QTabWidget* tabs_;
    GeneralSettings* general_;
    UpdateSettings* updates_;
    FeedbackView* feedback_;
    PrivacySettings* privacy_;
};

} // namespace kxui
