#pragma once

#include <QLabel>
#include <QString>

// A file-system path as the windows show it: the home folder written "~" and,
// when the path is wider than the label, shortened in the middle with "…" so
// that its start and its last folder stay readable. The full path is the
// tooltip; the shown text can be selected.
class PathLabel : public QLabel {
    Q_OBJECT
public:
    explicit PathLabel(QWidget* parent = nullptr);

    // "~" for the home folder itself, "~/x" for a path inside it; any other
    // path unchanged. Only whole folder names match: with the home folder
    // /home/al, /home/alice stays as it is.
    static QString abbreviate(const QString& path, const QString& home);
    static QString abbreviate(const QString& path);

    void setPath(const QString& path);
    const QString& path() const { return path_; }
    // The abbreviated path before any shortening.
    QString fullText() const { return abbreviate(path_); }

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    QString path_;
};
