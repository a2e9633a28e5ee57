#pragma once

#include "records.h"

#include <QAbstractTableModel>

#include <span>

// A list of readings as a table: "Number" first, then one column per field. It holds its own
// copy of the list, taken when the list window is filled, so that readings appended later
// show only at the next fill. Copying a QList shares its storage, which keeps a fill of a
// hundred thousand readings instant.
template <class Record> class RecordTableModel : public QAbstractTableModel
{
public:
    explicit RecordTableModel(std::span<const RecordColumn<Record>> columns, QObject* parent = nullptr)
        : QAbstractTableModel(parent), m_columns(columns)
    {
    }

    void setRecords(const QList<Record>& records)
    {
        beginResetModel();
        m_records = records;
        endResetModel();
    }

    const QList<Record>& records() const { return m_records; }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_records.size());
    }

    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_columns.size()) + 1;
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= rowCount()) {
            return {};
        }
        if (role == Qt::TextAlignmentRole) {
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        }
        if (role != Qt::DisplayRole) {
            return {};
        }
        if (index.column() == 0) {
            return QString::number(index.row() + 1);
        }
        return m_records.at(index.row()).*(m_columns[index.column() - 1].field);
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) {
            return {};
        }
        if (role == Qt::TextAlignmentRole) {
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
        }
        if (role != Qt::DisplayRole) {
            return {};
        }
        return section == 0 ? QStringLiteral("Number") : QString::fromUtf8(m_columns[section - 1].header);
    }

    // Width in pixels of a column, "Number" included.
    int columnWidth(int section) const { return section == 0 ? 50 : m_columns[section - 1].width; }

private:
    std::span<const RecordColumn<Record>> m_columns;
    QList<Record> m_records;
};
