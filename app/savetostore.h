#pragma once

#include "records.h"
#include "store.h"

#include <QString>

#include <functional>
#include <vector>

class QWidget;

// "保存到数据库": the readings of both lists appended to a store the technician picks, and
// nothing else. The window keeps no store of its own and writes nothing unless asked.

// The readings as the store keeps them: one "read-meter" result each, the list's texts under
// the keys quorvexctl gives the same values, stamped with the time they were saved (the
// lists keep none).
std::vector<StoredResult> ReadingsForStore(const CDanDataList& single, const CCEnergyList& three,
                                           std::chrono::system_clock::time_point savedAt,
                                           const std::string& host);

// Appends them to the store at url; the text for the technician: how many were saved, or why not.
QString SaveReadings(const QString& url, const CDanDataList& single, const CCEnergyList& three);

// Asks which store: a file (through the file dialog) or a PostgreSQL URL typed in. An empty
// string when cancelled. Replaceable, so that tests answer instead of a modal dialog.
using StoreUrlAsker = std::function<QString(QWidget* parent, const QString& suggested)>;
QString AskStoreUrl(QWidget* parent, const QString& suggested);
StoreUrlAsker SetStoreUrlAsker(StoreUrlAsker asker);
