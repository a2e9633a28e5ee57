#include "datalistdialogs.h"

#include <QHeaderView>
#include <QTableView>
#include <QTest>

namespace {

CDanData DanReading(int i)
{
    CDanData record;
    record.m_strAddress = QString::number(i);
    record.m_strSN = QStringLiteral("1234567%1").arg(i % 10);
    record.m_strActiveKWh = QStringLiteral("%1.5").arg(i);
    record.m_strFrequency = QStringLiteral("50");
    return record;
}

QStringList Row(const QTableView* view, int row)
{
    QStringList cells;
    for (int column = 0; column < view->model()->columnCount(); ++column) {
        cells << view->model()->index(row, column).data().toString();
    }
    return cells;
}

QStringList Headers(const QTableView* view)
{
    QStringList headers;
    for (int column = 0; column < view->model()->columnCount(); ++column) {
        headers << view->model()->headerData(column, Qt::Horizontal).toString();
    }
    return headers;
}

QList<int> Widths(const QTableView* view)
{
    QList<int> widths;
    for (int column = 0; column < view->model()->columnCount(); ++column) {
        widths << view->columnWidth(column);
    }
    return widths;
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void columnsOfBothWindows();
    void rowsAreNumberedAndShowTheTextsUnchanged();
    void fillingTwiceNeverDuplicates();
    void aFilledWindowKeepsItsCopy();
    void closingOnlyHides();
    void everyThreePhaseFieldHasItsColumn();
};

void TestRecords::columnsOfBothWindows()
{
    CDlgDanData dan;
    dan.Create();
    QCOMPARE(dan.windowTitle(), QStringLiteral("电表数据"));
    QCOMPARE(Headers(dan.List()),
             (QStringList{"Number", "Address", "SN", "Current Active kWh", "Current positive kWh",
                          "Current reverse kWh", "L1 Voltage", "L1 Current", "Active Power", "Reactive Power",
                          "Apparent Power", "Constant", "Tariff number", "Power Factor", "Frequency"}));
    QCOMPARE(Widths(dan.List()), (QList<int>{50, 50, 60, 100, 100, 100, 60, 60, 80, 90, 90, 90, 90, 60, 40}));

    CDlgEnergyData energy;
    energy.Create();
    QCOMPARE(Headers(energy.List()),
             (QStringList{"Number",
                          "Address",
                          "SN",
                          "Current Active kWh",
                          "Current Reactive kWh",
                          "Current positive kWh",
                          "Current reverse kWh",
                          "L1 Voltage",
                          "L2 Voltage",
                          "L3 Voltage",
                          "L1 Current",
                          "L2 Current",
                          "L3 Current",
                          "Active Power",
                          "L1 Active Power",
                          "L2 Active Power",
                          "L3 Active Power",
                          "Reactive Power",
                          "L1 Reactive Power",
                          "L2 Reactive Power",
                          "L3 Reactive Power",
                          "Power Factor",
                          "L1 Power Factor",
                          "L2 Power Factor",
                          "L3 Power Factor",
                          "Frequency"}));
    QCOMPARE(Widths(energy.List()), (QList<int>{50, 50, 60, 100, 100, 100, 100, 60, 60, 60, 60, 60, 60,
                                                80, 90, 90, 90, 90, 90, 90, 90, 60, 90, 90, 90, 40}));
    QCOMPARE(energy.List()->selectionBehavior(), QAbstractItemView::SelectRows);
    QVERIFY(energy.List()->showGrid());
    QCOMPARE(energy.List()->horizontalHeader()->defaultAlignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
}

void TestRecords::rowsAreNumberedAndShowTheTextsUnchanged()
{
    CDlgDanData dan;
    dan.Create();
    CDanDataList list{DanReading(1), DanReading(2), DanReading(3)};
    list[1].m_strAddress.clear(); // never read: an empty cell, the number still there
    dan.FillList(list);
    QTableView* view = dan.List();
    QCOMPARE(view->model()->rowCount(), 3);
    QCOMPARE(view->model()->columnCount(), 15);
    QCOMPARE(Row(view, 0).mid(0, 4), (QStringList{"1", "1", "12345671", "1.5"}));
    QCOMPARE(Row(view, 1).mid(0, 2), (QStringList{"2", ""}));
    QCOMPARE(Row(view, 2).at(0), QStringLiteral("3"));
    QCOMPARE(Row(view, 2).at(14), QStringLiteral("50"));
}

void TestRecords::fillingTwiceNeverDuplicates()
{
    CDlgDanData dan;
    dan.Create();
    const CDanDataList list{DanReading(1), DanReading(2)};
    dan.FillList(list);
    dan.FillList(list);
    QCOMPARE(dan.List()->model()->rowCount(), 2);
    dan.FillList({});
    QCOMPARE(dan.List()->model()->rowCount(), 0);
    QCOMPARE(dan.List()->model()->columnCount(), 15);
}

void TestRecords::aFilledWindowKeepsItsCopy()
{
    CDlgDanData dan;
    dan.Create();
    CDanDataList list{DanReading(1)};
    dan.FillList(list);
    list.append(DanReading(2));
    list[0].m_strAddress = QStringLiteral("changed");
    QCOMPARE(dan.List()->model()->rowCount(), 1);
    QCOMPARE(Row(dan.List(), 0).at(1), QStringLiteral("1"));
}

void TestRecords::closingOnlyHides()
{
    QWidget owner;
    auto* dan = new CDlgDanData(&owner);
    dan->Create();
    dan->FillList({DanReading(1)});
    dan->show();
    QVERIFY(QTest::qWaitForWindowExposed(dan));
    QTest::keyClick(dan, Qt::Key_Escape);
    QVERIFY(!dan->isVisible());
    dan->show();
    dan->close();
    QVERIFY(!dan->isVisible());
    QCOMPARE(dan->List()->model()->rowCount(), 1);
}

void TestRecords::everyThreePhaseFieldHasItsColumn()
{
    // Each field lands in its own column: fill every field with its index and read it back.
    CCEnergy record;
    for (std::size_t i = 0; i < kEnergyColumns.size(); ++i) {
        record.*(kEnergyColumns[i].field) = QString::number(i);
    }
    CDlgEnergyData energy;
    energy.Create();
    energy.FillList({record});
    const QStringList row = Row(energy.List(), 0);
    for (std::size_t i = 0; i < kEnergyColumns.size(); ++i) {
        QCOMPARE(row.at(int(i) + 1), QString::number(i));
    }
    QCOMPARE(record.m_strFrequency, QStringLiteral("24"));
    QCOMPARE(record.m_strAddress, QStringLiteral("0"));
}

QTEST_MAIN(TestRecords)
#include "test_records.moc"
