#pragma once

#include <QString>

#include <functional>

class QWidget;

// Where the tool asks the operator for a file to write. Like the message box it goes through a
// replaceable answer, so that tests pick the file instead of blocking on a modal dialog.

// parent, caption, suggested file name (no folder), name filter -> the chosen path, or an
// empty string when the operator cancelled.
using SaveFileNameAsker = std::function<QString(
    QWidget* parent, const QString& caption, const QString& suggestedName, const QString& filter)>;

// Asks for a file to save to. The dialog opens in the folder chosen last in this run (the home
// folder at first) and adds the filter's suffix to a name typed without one.
QString GetSaveFileName(QWidget* parent, const QString& caption, const QString& suggestedName,
                        const QString& filter);

// Install an asker; returns the previous one. An empty function restores the dialog.
SaveFileNameAsker SetSaveFileNameAsker(SaveFileNameAsker asker);
