#include "historydialog.h"

#include "historycolumns.h"
#include "historyreport.h"

#include "plaintextbox.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QThread>
#include <QVBoxLayout>

#include <memory>

namespace {

// What the reading of the history found, handed from its thread.
struct Loaded
{
    QVector<UpdateHistory::Entry> rows;
    bool read = false;
    QString problem;
    QString location;
};

} // namespace

HistoryDialog::HistoryDialog(const QString &program, const QString &settingsFile, QWidget *parent)
    : HistoryDialog(program, settingsFile, UpdateHistory::Filter(), parent)
{
}

HistoryDialog::HistoryDialog(const QString &program, const QString &settingsFile, const UpdateHistory::Filter &rows,
                             QWidget *parent)
    : QDialog(parent)
    , m_model(new QStandardItemModel(0, HistoryColumns::windowColumns().size(), this))
    , m_filter(new QSortFilterProxyModel(this))
    , m_table(new QTableView(this))
    , m_serialFilter(new QLineEdit(this))
    , m_status(new QLabel(this))
{
    setWindowTitle(QStringLiteral("Update History"));
    QStringList titles;
    for (const int column : HistoryColumns::windowColumns())
        titles << QLatin1String(HistoryColumns::all().at(column).title);
    m_model->setHorizontalHeaderLabels(titles);
    m_filter->setSourceModel(m_model);
    m_filter->setFilterKeyColumn(HistoryColumns::windowColumns().indexOf(HistoryColumns::indexOf("serialNumber")));
    m_filter->setFilterCaseSensitivity(Qt::CaseInsensitive);
    m_table->setModel(m_filter);
    m_table->setSortingEnabled(true);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->hide();
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &HistoryDialog::selectionChanged);

    m_serialFilter->setPlaceholderText(QStringLiteral("Serial number"));
    connect(m_serialFilter, &QLineEdit::textChanged, m_filter, &QSortFilterProxyModel::setFilterFixedString);
    m_status->setText(QStringLiteral("Reading the update history..."));
    m_status->setWordWrap(true);
    m_status->setTextFormat(Qt::PlainText);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton *exportButton = buttons->addButton(QStringLiteral("Export CSV..."), QDialogButtonBox::ActionRole);
    exportButton->setObjectName(QStringLiteral("exportCsv"));
    connect(exportButton, &QPushButton::clicked, this, &HistoryDialog::exportClicked);
    // Only a row that kept what its device held before can be put back.
    m_restore = buttons->addButton(QStringLiteral("Restore Previous Firmware..."), QDialogButtonBox::ActionRole);
    m_restore->setObjectName(QStringLiteral("restore"));
    m_restore->setEnabled(false);
    connect(m_restore, &QPushButton::clicked, this, [this] {
        if (const UpdateHistory::Entry *row = selectedRow())
            emit restoreRequested(*row);
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *filterRow = new QHBoxLayout;
    filterRow->addWidget(new QLabel(QStringLiteral("Filter:"), this));
    filterRow->addWidget(m_serialFilter);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(filterRow);
    layout->addWidget(m_table);
    layout->addWidget(m_status);
    layout->addWidget(buttons);
    resize(900, 420);

    // A server may take seconds to answer: the rows are read on a thread of
    // their own (its own connection), and shown when they are there. A
    // window closed meanwhile leaves the thread to end by itself.
    auto loaded = std::make_shared<Loaded>();
    UpdateHistory::Filter newest = rows;
    if (newest.limit <= 0 || newest.limit > shownRows)
        newest.limit = shownRows;
    QThread *reader = QThread::create([loaded, program, settingsFile, newest] {
        UpdateHistory history(program, QString(), settingsFile);
        loaded->read = history.read(newest, &loaded->rows);
        loaded->problem = history.problem();
        loaded->location = history.location();
    });
    connect(reader, &QThread::finished, reader, &QObject::deleteLater);
    // The program does not end under a read still running: it ends within
    // the history's own connection and statement limits.
    connect(qApp, &QCoreApplication::aboutToQuit, reader, [reader] { reader->wait(); });
    connect(reader, &QThread::finished, this, [this, loaded] {
        fill(loaded->rows, loaded->read, loaded->problem, loaded->location);
    });
    reader->start();
}

void HistoryDialog::fill(const QVector<UpdateHistory::Entry> &rows, bool read, const QString &problem,
                         const QString &location)
{
    m_rows = rows;
    const QVector<int> columns = HistoryColumns::windowColumns();
    for (const UpdateHistory::Entry &row : qAsConst(m_rows)) {
        QList<QStandardItem *> items;
        for (const int column : columns) {
            const QString text = HistoryColumns::shown(column, row);
            auto *item = new QStandardItem(text);
            item->setEditable(false);
            item->setToolTip(PlainTextBox::toolTip(text));
            items << item;
        }
        m_model->appendRow(items);
    }
    m_table->sortByColumn(0, Qt::DescendingOrder);
    m_table->resizeColumnsToContents();
    // Long paths and hashes stay readable in the row's tool tip.
    for (int column = 0; column < columns.size(); ++column)
        m_table->setColumnWidth(column, qMin(m_table->columnWidth(column), 260));
    // Said plainly when there is nothing, or the history cannot be read.
    m_status->setText(!read             ? problem
                      : m_rows.isEmpty() ? QStringLiteral("No update in the history %1.").arg(location)
                                         : QStringLiteral("%1 in %2%3")
                                               .arg(m_rows.size() == 1 ? QStringLiteral("1 update")
                                                                       : QStringLiteral("%1 updates").arg(m_rows.size()))
                                               .arg(location, m_rows.size() == shownRows ? QStringLiteral(" (the newest)")
                                                                                          : QString()));
    m_loaded = true;
    emit loaded();
}

const UpdateHistory::Entry *HistoryDialog::selectedRow() const
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    if (rows.size() != 1)
        return nullptr;
    const int source = m_filter->mapToSource(rows.first()).row();
    return source >= 0 && source < m_rows.size() ? &m_rows.at(source) : nullptr;
}

void HistoryDialog::selectionChanged()
{
    const UpdateHistory::Entry *row = selectedRow();
    m_restore->setEnabled(row && !row->backupSha256.isEmpty());
}

bool HistoryDialog::exportCsv(const QString &path)
{
    QVector<UpdateHistory::Entry> shown;
    // In the order the table shows them; the model's rows are m_rows'.
    for (int row = 0; row < m_filter->rowCount(); ++row) {
        const QModelIndex source = m_filter->mapToSource(m_filter->index(row, 0));
        shown << m_rows.at(source.row());
    }
    QSaveFile file(path);
    const QByteArray text = HistoryReport::csv(shown);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        PlainTextBox::warning(this, QStringLiteral("Export CSV"),
                              QStringLiteral("%1 could not be written: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

void HistoryDialog::exportClicked()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"),
                                                      QStringLiteral("update-history.csv"),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (!path.isEmpty())
        exportCsv(path);
}
