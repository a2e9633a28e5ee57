#pragma once

#include "dialog.h"
#include "recordmodel.h"

class QTableView;
class TableExport;

// The look of a report list, shared by the list windows and the traffic log: rows as high as
// the font needs and no higher, so that a window of the size its template gives shows about
// twenty readings at once; captions left-aligned, elided with "…" when wider than their
// column, and never turning bold when a row is selected.
void ApplyListLook(QTableView* view);

// The windows that list the readings of one meter type. The main window fills them from its
// lists when the operator asks to view the data; the readings leave them by Copy and Save as
// CSV. Closing one only hides it.
class CDataListDialog : public CDialog
{
    Q_OBJECT

public:
    QTableView* List() const { return m_list; }
    TableExport* Export() const { return m_export; }

    // Showing a window that is already open, behind the main window perhaps, brings it to the
    // front and gives it the keyboard: "查看数据" must never seem to do nothing.
    void setVisible(bool visible) override;

protected:
    // csvName: the file name Save as CSV proposes.
    CDataListDialog(const DialogTemplate& dialogTemplate, QAbstractTableModel* model, const char* csvName,
                    QWidget* parent);

    void DoDataExchange() override;
    bool OnInitDialog() override;
    // Pixel width of a column, as the table of columns gives it.
    virtual int ColumnWidth(int section) const = 0;

private:
    QTableView* m_list = nullptr;
    QAbstractTableModel* m_model;
    const char* m_csvName;
    TableExport* m_export = nullptr;
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
