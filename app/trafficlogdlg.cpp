#include "trafficlogdlg.h"

#include "datalistdialogs.h"
#include "dialog.h"
#include "tableexport.h"
#include "templates.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>

#include <limits>

namespace {

// Wide enough for "2026-12-07T17:11:59.123+01:00", "TX" and the hex of a short frame; the
// meaning takes the rest, and a longer cell shows whole in its tooltip.
constexpr int kTimeWidth = 210;
constexpr int kDirectionWidth = 44;
constexpr int kBytesWidth = 330;

} // namespace

TrafficLogModel::TrafficLogModel(const FrameLog& log, QObject* parent)
    : QAbstractTableModel(parent), m_log(log)
{
    const FrameLog::Bounds bounds = m_log.bounds();
    m_first = bounds.first;
    m_end = bounds.end;
    m_dropped = bounds.dropped;
}

int TrafficLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_end - m_first);
}

int TrafficLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

const LoggedFrame* TrafficLogModel::FrameAt(int row) const
{
    const std::uint64_t sequence = m_first + static_cast<std::uint64_t>(row);
    if (m_cachedSequence != sequence) {
        m_cachedSequence = sequence;
        m_cachedFrame = m_log.at(sequence);
    }
    return m_cachedFrame ? &*m_cachedFrame : nullptr;
}

QVariant TrafficLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount) {
        return {};
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return {};
    }
    if (role == Qt::ToolTipRole && index.column() != BytesColumn &&
        index.column() != MeaningColumn) {
        return {};
    }
    // A frame dropped by another thread since the last Sync(): its row goes at the next one.
    const LoggedFrame* frame = FrameAt(index.row());
    if (!frame) {
        return {};
    }
    switch (index.column()) {
    case TimeColumn:
        return QString::fromStdString(FormatLogTime(frame->time));
    case DirectionColumn:
        return QString::fromLatin1(DirectionText(frame->direction));
    case BytesColumn:
        return QString::fromStdString(FormatLogHex(frame->bytes));
    default:
        return QString::fromStdString(frame->meaning);
    }
}

QVariant TrafficLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
    case TimeColumn:
        return QStringLiteral("Time");
    case DirectionColumn:
        return QStringLiteral("TX/RX");
    case BytesColumn:
        return QStringLiteral("Bytes");
    case MeaningColumn:
        return QStringLiteral("Meaning");
    default:
        return {};
    }
}

int TrafficLogModel::Sync()
{
    const FrameLog::Bounds bounds = m_log.bounds();
    m_cachedSequence.reset();
    m_cachedFrame.reset();
    m_dropped = bounds.dropped;
    int removed = 0;
    if (bounds.first > m_first) {
        // Frames dropped by the bound, or all of them after a clear.
        const std::uint64_t gone = std::min(bounds.first, m_end) - m_first;
        if (gone > 0) {
            removed = static_cast<int>(gone);
            beginRemoveRows({}, 0, removed - 1);
            m_first += gone;
            endRemoveRows();
        }
        m_first = bounds.first;
        m_end = std::max(m_end, m_first);
    }
    if (bounds.end > m_end) {
        beginInsertRows({}, rowCount(), static_cast<int>(bounds.end - m_first) - 1);
        m_end = bounds.end;
        endInsertRows();
    }
    return removed;
}

CDlgTrafficLog::CDlgTrafficLog(FrameLog& log, QWidget* parent)
    : QDialog(parent), m_log(log), m_model(new TrafficLogModel(log, this)), m_list(new QTableView),
      m_droppedNote(new QLabel), m_clear(new QPushButton(QStringLiteral("Clear")))
{
    setWindowTitle(QStringLiteral("通信记录"));
    // Resizable, and with minimise and maximise: a log is read at length, beside the main
    // window.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    setModal(false);
    // The list windows' font, so that the rows of both read alike.
    setFont(TemplateFont(kDanDataTemplate));
    resize(1000, 520);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_droppedNote);
    buttons->addStretch(1);
    buttons->addWidget(m_clear);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list, 1);
    layout->addLayout(buttons);
    m_droppedNote->setVisible(false);

    // Set up once the table has the window's font, from which its rows take their height.
    m_list->setModel(m_model);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setShowGrid(true);
    // The scroll bar then counts rows, which keeps a scrolled-up view on its frames while old
    // ones are dropped above it.
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    ApplyListLook(m_list);
    m_list->horizontalHeader()->setStretchLastSection(true);
    m_list->setColumnWidth(TrafficLogModel::TimeColumn, kTimeWidth);
    m_list->setColumnWidth(TrafficLogModel::DirectionColumn, kDirectionWidth);
    m_list->setColumnWidth(TrafficLogModel::BytesColumn, kBytesWidth);
    m_export = new TableExport(m_list, QStringLiteral("traffic-log.csv"));
    connect(m_export, &TableExport::aboutToExport, this, &CDlgTrafficLog::Refresh);

    // Enter must never empty the log: the button takes it only when it has the focus.
    m_clear->setAutoDefault(false);
    connect(m_clear, &QPushButton::clicked, this, &CDlgTrafficLog::Clear);

    // Frames may come from any thread and in bursts: one refresh is queued at a time, and it
    // takes all that came.
    m_log.setListener([this] {
        if (!m_refreshQueued.exchange(true)) {
            QMetaObject::invokeMethod(this, &CDlgTrafficLog::Refresh, Qt::QueuedConnection);
        }
    });
    Refresh();
}

CDlgTrafficLog::~CDlgTrafficLog()
{
    // After this no append reaches the window any more.
    m_log.setListener({});
}

void CDlgTrafficLog::Refresh()
{
    m_refreshQueued = false;
    QScrollBar* bar = m_list->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    const int removed = m_model->Sync();
    if (following) {
        m_list->scrollToBottom();
    } else if (removed > 0) {
        bar->setValue(bar->value() - removed);
    }
    const std::uint64_t dropped = m_model->Dropped();
    m_droppedNote->setVisible(dropped > 0);
    if (dropped > 0) {
        m_droppedNote->setText(
            QStringLiteral("%1 older frames were dropped: the log keeps the last %2.")
                .arg(dropped)
                .arg(m_log.capacity()));
    }
}

void CDlgTrafficLog::Clear()
{
    m_log.clear();
    Refresh();
}

void CDlgTrafficLog::setVisible(bool visible)
{
    const bool wasVisible = isVisible();
    QDialog::setVisible(visible);
    if (visible && wasVisible) {
        raise();
        activateWindow();
    }
}

void CDlgTrafficLog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Refresh();
    m_list->scrollToBottom();
}
