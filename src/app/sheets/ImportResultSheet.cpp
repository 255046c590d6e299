#include "app/sheets/ImportResultSheet.h"

#include "app/model/AppModel.h"
#include "app/sheets/SheetStyle.h"
#include "kxui/KXStyle.h"
#include "kxui/KXSymbol.h"
#include "kxui/kx.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Sizes as file managers show them: decimal units, one decimal.
QString formatBytes(std::int64_t bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

} // namespace

QString ImportResultSheet::shownName(const vaultkit::Importer::Result& result) {
    // the file-system root is copied under no name (the result points at
    // the vault's own folder): it is shown as itself
    if (!result.source.relative_path().empty() && !result.destination.filename().empty())
        return QString::fromStdString(result.destination.filename().string());
    const std::string own = result.source.filename().string();
    return QString::fromStdString(own.empty() ? result.source.string() : own);
}

QString ImportResultSheet::statsText(const vaultkit::Importer::Result& result) {
    const auto files = static_cast<long long>(result.files);
    if (result.folders > 0)
        return kx("import.statsFolders", files, static_cast<long long>(result.folders), formatBytes(result.bytes));
    return kx("import.stats", files, formatBytes(result.bytes));
}

ImportResultSheet::ImportResultSheet(AppModel* model, std::vector<vaultkit::Importer::Result> results,
                                     QWidget* parent)
    : QDialog(parent)
    , model_(model)
    , results_(std::move(results))
    , list_(new QScrollArea(this)) {
    setWindowTitle(kx("import.doneTitle"));
    list_->setAccessibleName(kx("import.doneTitle"));
    setWindowModality(Qt::WindowModal);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(SheetStyle::inset, SheetStyle::inset, SheetStyle::inset, SheetStyle::inset);
    column->setSpacing(12);
    column->addWidget(SheetStyle::title(kx("import.doneTitle"), this));

    auto* content = new QWidget(list_);
    auto* rowsLayout = new QVBoxLayout(content);
    rowsLayout->setContentsMargins(10, 10, 10, 10);
    rowsLayout->setSpacing(12);
    const qreal dpr = devicePixelRatioF();
    for (const auto& result : results_) {
        auto* rowWidget = new QWidget(content);
        auto* row = new QHBoxLayout(rowWidget);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(10);
        auto* icon = new QLabel(rowWidget);
        icon->setFixedSize(18, 18);
        icon->setPixmap(result.ok() ? KXSymbol::pixmap(QStringLiteral("checkmark.circle.fill"), 18,
                                                       KXStyle::green(palette()), dpr)
                                    : KXSymbol::pixmap(QStringLiteral("xmark.octagon.fill"), 18,
                                                       KXStyle::red(palette()), dpr));
        row->addWidget(icon, 0, Qt::AlignTop);

        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        Row labels;
        // the name the item got in the vault ("notes 2.txt" beside an earlier
        // "notes.txt"); the tooltip says where it came from
        labels.name = new QLabel(shownName(result), rowWidget);
        labels.name->setTextFormat(Qt::PlainText);
        labels.name->setWordWrap(true);
        labels.name->setToolTip(QString::fromStdString(result.source.string()));
        KXStyle::setFont(labels.name, KXStyle::Text::headline);
        texts->addWidget(labels.name);
        labels.stats = SheetStyle::caption(statsText(result), rowWidget);
        texts->addWidget(labels.stats);
        const std::size_t shown = std::min<std::size_t>(result.problems.size(), maxProblemsShown);
        for (std::size_t i = 0; i < shown; ++i) {
            auto* problem = SheetStyle::error(QString::fromStdString(result.problems[i]), rowWidget);
            KXStyle::setFont(problem, KXStyle::Text::caption);
            texts->addWidget(problem);
            labels.problems.append(problem);
        }
        row->addLayout(texts, 1);
        rowsLayout->addWidget(rowWidget);
        rows_.append(labels);
    }
    rowsLayout->addStretch(1);
    list_->setWidget(content);
    list_->setWidgetResizable(true);
    list_->setMinimumHeight(160);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    column->addWidget(list_, 1);

    column->addWidget(SheetStyle::calloutNote(kx("import.originalsNote"), this));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    keep_ = new QPushButton(kx("import.keep"), this);
    connect(keep_, &QPushButton::clicked, this, &ImportResultSheet::keep);
    buttons->addWidget(keep_);
    const int ok = okCount();
    if (ok > 0) {
        trash_ = new QPushButton(kx("import.trash", ok), this);
        connect(trash_, &QPushButton::clicked, this, &ImportResultSheet::trash);
        buttons->addWidget(trash_);
    }
    KXStyle::makeProminent(keep_);
    keep_->setDefault(true);
    column->addLayout(buttons);

    setMinimumSize(560, 440);
    resize(560, 440);
}

int ImportResultSheet::okCount() const {
    return static_cast<int>(
        std::count_if(results_.begin(), results_.end(), [](const auto& r) { return r.ok(); }));
}

// The model's change may close this sheet at once (the main window follows
// importResults); it is only closed here when it is still open.
void ImportResultSheet::keep() {
    QPointer<ImportResultSheet> guard(this);
    if (model_) model_->setImportResults(std::nullopt);
    if (guard && isVisible()) accept();
}

void ImportResultSheet::trash() {
    QPointer<ImportResultSheet> guard(this);
    if (model_) model_->trashOriginals(results_);
    if (guard && isVisible()) accept();
}

void ImportResultSheet::reject() {
    QPointer<ImportResultSheet> guard(this);
    if (model_) model_->setImportResults(std::nullopt);
    if (guard && isVisible()) QDialog::reject();
}

QLabel* ImportResultSheet::nameLabel(int i) const {
    return rows_.value(i).name;
}

QLabel* ImportResultSheet::statsLabel(int i) const {
    return rows_.value(i).stats;
}

QList<QLabel*> ImportResultSheet::problemLabels(int i) const {
    return rows_.value(i).problems;
}
