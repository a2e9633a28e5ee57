#include "tableexport.h"

#include "filedialog.h"
#include "sinks.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QSaveFile>
#include <QTableView>

#include <algorithm>
#include <utility>

namespace {

QString Line(const QAbstractItemModel& model, int row, QChar separator)
{
    QString line;
    for (int column = 0; column < model.columnCount(); ++column) {
        if (column > 0) {
            line += separator;
        }
        const QString text = row < 0 ? model.headerData(column, Qt::Horizontal).toString()
                                     : model.index(row, column).data().toString();
        line += DelimitedField(text, separator);
    }
    return line;
}

} // namespace

QString DelimitedField(const QString& text, QChar separator)
{
    const bool quote = text.contains(separator) || text.contains(QLatin1Char('"')) ||
                       text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
                       text.startsWith(QLatin1Char(' ')) || text.endsWith(QLatin1Char(' '));
    if (!quote) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString DelimitedText(const QAbstractItemModel& model, const QList<int>& rows, QChar separator,
                      const QString& lineEnd)
{
    QString text = Line(model, -1, separator) + lineEnd;
    for (int row : rows) {
        text += Line(model, row, separator) + lineEnd;
    }
    return text;
}

bool SaveCsv(const QAbstractItemModel& model, const QString& path, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error) {
            *error = file.errorString();
        }
        return false;
    }
    const QChar comma = QLatin1Char(',');
    const QString crlf = QStringLiteral("\r\n");
    file.write("\xEF\xBB\xBF");
    file.write((Line(model, -1, comma) + crlf).toUtf8());
    // Row by row, so that a long log is never held twice in memory. A failed write makes
    // commit() fail and remove the temporary file.
    for (int row = 0; row < model.rowCount(); ++row) {
        file.write((Line(model, row, comma) + crlf).toUtf8());
    }
    if (!file.commit()) {
        if (error) {
            *error = file.errorString();
        }
        return false;
    }
    return true;
}

TableExport::TableExport(QTableView* view, QString suggestedName)
    : QObject(view), m_view(view), m_suggestedName(std::move(suggestedName)),
      m_copy(new QAction(QStringLiteral("Copy"), view)),
      m_save(new QAction(QStringLiteral("Save as CSV\u2026"), view))
{
    // Actions of the view make its context menu; their shortcuts work anywhere in its window.
    m_copy->setShortcut(QKeySequence::Copy);
    m_save->setShortcut(QKeySequence::Save);
    for (QAction* action : {m_copy, m_save}) {
        action->setShortcutContext(Qt::WindowShortcut);
        view->addAction(action);
    }
    view->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_copy, &QAction::triggered, this, &TableExport::CopySelection);
    connect(m_save, &QAction::triggered, this, &TableExport::SaveAsCsv);
}

void TableExport::CopySelection()
{
    emit aboutToExport();
    // By ranges rather than by cell: a whole log selected is a few ranges but 400 000 cells.
    QList<int> rows;
    for (const QItemSelectionRange& range : m_view->selectionModel()->selection()) {
        for (int row = range.top(); row <= range.bottom(); ++row) {
            rows << row;
        }
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    if (rows.isEmpty()) {
        return;
    }
    QGuiApplication::clipboard()->setText(
        DelimitedText(*m_view->model(), rows, QLatin1Char('\t'), QStringLiteral("\n")));
}

bool TableExport::SaveAsCsv()
{
    const QString path = GetSaveFileName(m_view->window(), QStringLiteral("Save as CSV"),
                                         m_suggestedName, QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty()) {
        return false;
    }
    emit aboutToExport();
    QString error;
    if (!SaveCsv(*m_view->model(), path, &error)) {
        AfxMessageBox(
            QStringLiteral("Could not save %1\n%2").arg(QDir::toNativeSeparators(path), error));
        return false;
    }
    return true;
}
