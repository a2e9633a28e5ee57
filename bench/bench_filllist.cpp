// How long the list windows take to show a large number of readings: FillList of 100 000
// records of each type, then the first paint of the table.

#include "benchutil.h"
#include "datalistdialogs.h"

#include <QApplication>
#include <QTableView>

namespace {

constexpr int kRecords = 100000;

template <class Record> QList<Record> Readings(const auto& columns)
{
    QList<Record> list;
    list.reserve(kRecords);
    for (int i = 0; i < kRecords; ++i) {
        Record record;
        for (const auto& column : columns) {
            record.*(column.field) = QString::number(i * 7 % 100000) + QStringLiteral(".25");
        }
        list.append(record);
    }
    return list;
}

template <class Dialog, class List> Sample Fill(Dialog& dialog, const List& list)
{
    dialog.Create();
    dialog.show();
    QApplication::processEvents();
    return MeasureMs(9, [&] {
        dialog.FillList(list);
        dialog.List()->grab(); // the rows on screen are laid out and painted
    });
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const long before = ResidentKiB();
    const auto danList = Readings<CDanData>(kDanDataColumns);
    const auto energyList = Readings<CCEnergy>(kEnergyColumns);
    const long after = ResidentKiB();

    CDlgDanData dan;
    CDlgEnergyData energy;
    PrintHeader();
    PrintRow("FillList + first paint, 100 000 single-phase", Fill(dan, danList), "ms");
    PrintRow("FillList + first paint, 100 000 three-phase", Fill(energy, energyList), "ms");
    std::printf("\nresident memory of the two lists of 100 000 readings: %ld KiB\n",
                after - before);
    return 0;
}
