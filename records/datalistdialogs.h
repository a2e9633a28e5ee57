#pragma once

#include "dialog.h"
#include "recordmodel.h"

class QTableView;

// The windows that list the readings of one meter type. They only display: the main window
// fills them from its lists when the operator asks to view the data. Closing one only hides it.
class CDataListDialog : public CDialog
{
    Q_OBJECT

public:
    QTableView* List() const { return m_list; }

protected:
    CDataListDialog(const DialogTemplate& dialogTemplate, QAbstractTableModel* model, QWidget* parent);

    void DoDataExchange() override;
    bool OnInitDialog() override;
    // Pixel width of a column, as the table of columns gives it.
    virtual int ColumnWidth(int section) const = 0;

private:
    QTableView* m_list = nullptr;
    QAbstractTableModel* m_model;
};

class CDlgDanData : public CDataListDialog
{
    Q_OBJECT

public:
    explicit CDlgDanData(QWidget* parent = nullptr);
    void FillList(const CDanDataList& list);

protected:
    int ColumnWidth(int section) const override { return m_model.columnWidth(section); }

private:
    RecordTableModel<CDanData> m_model;
};

class CDlgEnergyData : public CDataListDialog
{
    Q_OBJECT

public:
    explicit CDlgEnergyData(QWidget* parent = nullptr);
    void FillList(const CCEnergyList& list);

protected:
    int ColumnWidth(int section) const override { return m_model.columnWidth(section); }

private:
    RecordTableModel<CCEnergy> m_model;
};
