#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The three-button alert of the quit pass for a volume still in use. The
// window layer shows it as a modal alert; tests answer it themselves.
class BusyAlert {
public:
    enum class Answer { force, keep, cancel };
    virtual ~BusyAlert() = default;
    // `buttons` are the three texts in order (force, keep, cancel). `answer`
    // must be called exactly once, on the GUI thread; any answer but the
    // first two counts as cancel.
    virtual void ask(const QString& title, const QString& body, const QStringList& buttons,
                     std::function<void(Answer)> answer) = 0;
};
