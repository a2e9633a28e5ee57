#include "datalistdialogs.h"

#include "resource.h"
#include "templates.h"

#include <QHeaderView>
#include <QTableView>

CDataListDialog::CDataListDialog(const DialogTemplate& dialogTemplate, QAbstractTableModel* model,
                                 QWidget* parent)
    : CDialog(dialogTemplate, parent), m_model(model)
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
    m_list->setWordWrap(false);
    m_list->verticalHeader()->hide();
    // Every row has the same height; telling the view so keeps a large list instant.
    m_list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_list->horizontalHeader()->setStretchLastSection(false);
    for (int section = 0; section < m_model->columnCount(); ++section) {
        m_list->setColumnWidth(section, ColumnWidth(section));
    }
    return true;
}

CDlgDanData::CDlgDanData(QWidget* parent)
    : CDataListDialog(kDanDataTemplate, &m_model, parent), m_model(kDanDataColumns)
{
}

void CDlgDanData::FillList(const CDanDataList& list) { m_model.setRecords(list); }

CDlgEnergyData::CDlgEnergyData(QWidget* parent)
    : CDataListDialog(kEnergyDataTemplate, &m_model, parent), m_model(kEnergyColumns)
{
}

void CDlgEnergyData::FillList(const CCEnergyList& list) { m_model.setRecords(list); }
