#include "filedialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QRegularExpression>

#include <utility>

namespace {

QString AskWithDialog(QWidget* parent, const QString& caption, const QString& suggestedName,
                      const QString& filter)
{
    // The tool keeps no settings, so the folder is remembered only while it runs.
    static QString lastFolder = QDir::homePath();
    QFileDialog dialog(parent, caption, QDir(lastFolder).filePath(suggestedName), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // "CSV files (*.csv)" -> "csv": a name typed without a suffix still opens in a spreadsheet.
    const QRegularExpressionMatch suffix =
        QRegularExpression(QStringLiteral("\\*\\.(\\w+)")).match(filter);
    if (suffix.hasMatch()) {
        dialog.setDefaultSuffix(suffix.captured(1));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    const QString path = dialog.selectedFiles().constFirst();
    lastFolder = QFileInfo(path).absolutePath();
    return path;
}

SaveFileNameAsker& Asker()
{
    static SaveFileNameAsker asker = AskWithDialog;
    return asker;
}

} // namespace

QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& suggestedName,
                        const QString& filter)
{
    return Asker()(parent, caption, suggestedName, filter);
}

SaveFileNameAsker SetSaveFileNameAsker(SaveFileNameAsker asker)
{
    SaveFileNameAsker previous = std::exchange(Asker(), std::move(asker));
    if (!Asker()) {
        Asker() = AskWithDialog;
    }
    return previous;
}
