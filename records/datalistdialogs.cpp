#include "datalistdialogs.h"

#include "resource.h"
#include "tableexport.h"
#include "templates.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QTableView>

namespace {

// Above and below the text, as much as a native list leaves for its selection frame.
constexpr int kRowPadding = 4;

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
    QHeaderView* header = view->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setTextElideMode(Qt::ElideRight);
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
