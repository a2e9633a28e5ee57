#pragma once

#include "framelog.h"

#include <QAbstractTableModel>
#include <QDialog>

#include <atomic>
#include <cstdint>
#include <optional>

class QLabel;
class QPushButton;
class QTableView;
class TableExport;

// The frames of a traffic log as a table: time, direction, hex bytes, meaning. It reads the
// log by sequence number and holds no copy of it, so that a hundred thousand frames cost the
// window nothing but the rows on screen. Sync() brings the rows up to date with the log.
class TrafficLogModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column
    {
        TimeColumn,
        DirectionColumn,
        BytesColumn,
        MeaningColumn,
        ColumnCount
    };

    explicit TrafficLogModel(const FrameLog& log, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Drops the rows of frames the log no longer holds and adds those it gained; returns the
    // number of rows dropped from the top.
    int Sync();
    std::uint64_t Dropped() const { return m_dropped; }

private:
    // The frame of a row, while the log holds it; valid until the next call.
    const LoggedFrame* FrameAt(int row) const;

    const FrameLog& m_log;
    std::uint64_t m_first = 0; // sequence number of row 0
    std::uint64_t m_end = 0;   // one past the last row's
    std::uint64_t m_dropped = 0;
    // Painting and exporting ask for the cells of one row in a row.
    mutable std::optional<std::uint64_t> m_cachedSequence;
    mutable std::optional<LoggedFrame> m_cachedFrame;
};

// "通信记录": a modeless window listing every frame of a traffic log, newest at the bottom. It
// follows the end as frames come unless the operator has scrolled up to read. Copy and Save as
// CSV work as in the list windows; Clear empties the log. When the log's bound made it drop
// frames, a note says how many. The window does not own the log; it takes the log's listener
// while it exists.
class CDlgTrafficLog : public QDialog
{
    Q_OBJECT

public:
    explicit CDlgTrafficLog(FrameLog& log, QWidget* parent = nullptr);
    ~CDlgTrafficLog() override;

    QTableView* List() const { return m_list; }
    TrafficLogModel* Model() const { return m_model; }
    QLabel* DroppedNote() const { return m_droppedNote; }
    QPushButton* ClearButton() const { return m_clear; }
    TableExport* Export() const { return m_export; }

    // Brings the table up to date now; appends otherwise show at the next turn of the event
    // loop, however many came in between.
    void Refresh();
    // Empties the log and the table.
    void Clear();

    // Shown again while open, the window comes to the front, as the list windows do.
    void setVisible(bool visible) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    FrameLog& m_log;
    TrafficLogModel* m_model;
    QTableView* m_list;
    QLabel* m_droppedNote;
    QPushButton* m_clear;
    TableExport* m_export;
    std::atomic<bool> m_refreshQueued{false};
};
