#ifndef HISTORYDIALOG_H
#define HISTORYDIALOG_H

#include "updatehistory.h"

#include <QDialog>
#include <QVector>

class QLabel;
class QLineEdit;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;

// The update history in a window: the newest rows in a table that sorts by
// any column, a filter by serial number, and "Export CSV..." of the rows
// shown, in the same columns as `history --csv`. The rows are read without
// blocking the window; loaded() says they are there.
class HistoryDialog : public QDialog
{
    Q_OBJECT
public:
    // `program` and `settingsFile` as UpdateHistory takes them.
    HistoryDialog(const QString &program, const QString &settingsFile, QWidget *parent = nullptr);
    // Only the rows `rows` selects (newest first, at most shownRows).
    HistoryDialog(const QString &program, const QString &settingsFile, const UpdateHistory::Filter &rows,
                  QWidget *parent = nullptr);

    // Writes the rows the filter lets through to `path` as CSV; false (a
    // box says why) when the file cannot be written.
    bool exportCsv(const QString &path);

    // How many of the newest rows are shown.
    static const int shownRows = 10000;
    // The rows have been read (or found unreadable, said in the window).
    bool isLoaded() const { return m_loaded; }

    // The row selected in the table; null when none is.
    const UpdateHistory::Entry *selectedRow() const;

signals:
    void loaded();
    // "Restore Previous Firmware..." on a row with a backup: the window that
    // opened the history writes it back (after asking).
    void restoreRequested(const UpdateHistory::Entry &row);

private:
    void exportClicked();
    void selectionChanged();
    void fill(const QVector<UpdateHistory::Entry> &rows, bool read, const QString &problem, const QString &location);

    QVector<UpdateHistory::Entry> m_rows;
    QStandardItemModel *m_model;
    QSortFilterProxyModel *m_filter;
    QTableView *m_table;
    QLineEdit *m_serialFilter;
    QLabel *m_status;
    QPushButton *m_restore;
    bool m_loaded = false;
};

#endif // HISTORYDIALOG_H
