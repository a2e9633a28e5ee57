#include "datalistdialogs.h"

#include "resource.h"
#include "tableexport.h"
#include "templates.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTableView>

namespace {

// Above and below the text: room for the frame of a selected row, and no more.
constexpr int kRowPadding = 4;

// Column captions that end in "…" when wider than their column. The style draws the section;
// the caption is drawn here, since the style of this Qt version clips it mid-letter whatever
// the header's elide mode. No selected state is passed on, so a caption never turns bold.
class ListHeader : public QHeaderView
{
public:
    explicit ListHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override
    {
        if (!rect.isValid() || !model()) {
            return;
        }
        QStyleOptionHeader option;
        initStyleOption(&option);
        option.rect = rect;
        option.section = logicalIndex;
        option.textAlignment = defaultAlignment();
        if (window()->isActiveWindow()) {
            option.state |= QStyle::State_Active;
        }
        style()->drawControl(QStyle::CE_HeaderSection, &option, painter, this);
        const QRect label = style()->subElementRect(QStyle::SE_HeaderLabel, &option, this);
        const QString caption =
            model()->headerData(logicalIndex, orientation(), Qt::DisplayRole).toString();
        style()->drawItemText(painter, label, option.textAlignment, option.palette, isEnabled(),
                              option.fontMetrics.elidedText(caption, Qt::ElideRight, label.width()),
                              QPalette::ButtonText);
    }
};

} // namespace

void ApplyListLook(QTableView* view)
{
    view->setWordWrap(false);
    view->verticalHeader()->hide();
    // Every row has the same height; telling the view so keeps a large list instant.
    QHeaderView* rows = view->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    const int height = QFontMetrics(view->font()).height() + kRowPadding;
    rows->setMinimumSectionSize(height);
    rows->setDefaultSectionSize(height);
    auto* header = new ListHeader(view);
    view->setHorizontalHeader(header);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The captions are not selectable, so a selected row must not mark them.
    header->setHighlightSections(false);
}

CDataListDialog::CDataListDialog(const DialogTemplate& dialogTemplate, QAbstractTableModel* model,
                                 const char* csvName, QWidget* parent)
    : CDialog(dialogTemplate, parent), m_model(model), m_csvName(csvName)
{
    // A pop-up window of the main window: it stays in front of it and goes with it.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setModal(false);
}

void CDataListDialog::DoDataExchange() { m_list = DlgItem<QTableView>(IDC_LIST_DATA); }

bool CDataListDialog::OnInitDialog()
{
    m_list->setModel(m_model);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setShowGrid(true);
    m_list->setSortingEnabled(false);
    ApplyListLook(m_list);
    m_list->horizontalHeader()->setStretchLastSection(false);
    for (int section = 0; section < m_model->columnCount(); ++section) {
        m_list->setColumnWidth(section, ColumnWidth(section));
    }
    m_export = new TableExport(m_list, QString::fromUtf8(m_csvName));
    return true;
}

void CDataListDialog::setVisible(bool visible)
{
    // A window shown for the first time comes up in front by itself.
    const bool wasVisible = isVisible();
    CDialog::setVisible(visible);
    if (visible && wasVisible) {
        raise();
        activateWindow();
    }
}

CDlgDanData::CDlgDanData(QWidget* parent)
    : CDataListDialog(kDanDataTemplate, &m_model, "single-phase-readings.csv", parent),
      m_model(kDanDataColumns)
{
}

void CDlgDanData::FillList(const CDanDataList& list) { m_model.setRecords(list); }

CDlgEnergyData::CDlgEnergyData(QWidget* parent)
    : CDataListDialog(kEnergyDataTemplate, &m_model, "three-phase-readings.csv", parent),
      m_model(kEnergyColumns)
{
}

void CDlgEnergyData::FillList(const CCEnergyList& list) { m_model.setRecords(list); }
