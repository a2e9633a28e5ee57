#pragma once

#include <QList>
#include <QObject>
#include <QString>

class QAbstractItemModel;
class QAction;
class QTableView;

// Readings and traffic leave their windows as text other programs read: the selected rows on
// the clipboard, tab-separated, for pasting into a spreadsheet or a report; every row in a CSV
// file. Both start with the header row. The list windows and the traffic log share this.

// One field, quoted when it must be (RFC 4180): when it holds the separator, a quote, a CR or
// an LF, or starts or ends with a space, which spreadsheets would otherwise trim. Quotes
// inside are doubled.
QString DelimitedField(const QString& text, QChar separator);

// The header row, then the given rows in the order given, each line ended by lineEnd.
QString DelimitedText(const QAbstractItemModel& model, const QList<int>& rows, QChar separator,
                      const QString& lineEnd);

// Every row under the header as CSV: UTF-8 with a byte-order mark (spreadsheets then read the
// Chinese texts right), commas, CRLF line ends. Written to a temporary file beside the target
// and renamed over it only once complete, so that a failure (no permission, disk full) leaves
// the target as it was and no partial file. On failure returns false with the system's reason.
bool SaveCsv(const QAbstractItemModel& model, const QString& path, QString* error = nullptr);

// Copy (Ctrl+C) and Save as CSV... (Ctrl+S) on a table view: entries of its context menu, and
// shortcuts anywhere in its window. A failed save is reported by message box.
class TableExport : public QObject
{
    Q_OBJECT

public:
    // suggestedName: the file name the save dialog proposes.
    TableExport(QTableView* view, QString suggestedName);

    QAction* CopyAction() const { return m_copy; }
    QAction* SaveAction() const { return m_save; }

    // The selected rows, in table order; nothing is copied when no row is selected.
    void CopySelection();
    // Asks for a file and writes every row to it; true when a file was written.
    bool SaveAsCsv();

signals:
    // Before reading the model, so that a window can bring it up to date.
    void aboutToExport();

private:
    QTableView* m_view;
    QString m_suggestedName;
    QAction* m_copy;
    QAction* m_save;
};
