#include "datalistdialogs.h"
#include "filedialog.h"
#include "sinks.h"
#include "tableexport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QProxyStyle>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

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

// Answers the save dialog with a path and records the message boxes, for one test.
struct ExportFixture
{
    ExportFixture()
    {
        SetSaveFileNameAsker([this](QWidget*, const QString&, const QString& suggested, const QString&) {
            suggestedNames << suggested;
            return answer;
        });
        SetMessageSink([this](const QString& text) { messages << text; });
    }
    ~ExportFixture()
    {
        SetSaveFileNameAsker({});
        SetMessageSink({});
    }
    ExportFixture(const ExportFixture&) = delete;
    ExportFixture& operator=(const ExportFixture&) = delete;

    QString answer;
    QStringList suggestedNames;
    QStringList messages;
};

// Lowers the largest file this process may write, so that a save fails part-way as on a full
// disk, and puts the limit back afterwards.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        // Past the limit a write fails with EFBIG instead of ending the process.
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
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

    void rowsAsHighAsTheFontNeeds();
    void captionsKeepTheirLookWhenARowIsSelected();
    void captionsTooWideEndInAnEllipsis();
    void showingAnOpenWindowBringsItForward();

    void fieldsQuotedWhereNeeded_data();
    void fieldsQuotedWhereNeeded();
    void copyPutsSelectedRowsUnderTheHeader();
    void saveWritesEveryRowAsCsv();
    void cancelledSaveWritesNothing();
    void failedSaveSaysSoAndLeavesNoPartialFile_data();
    void failedSaveSaysSoAndLeavesNoPartialFile();
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

void TestRecords::rowsAsHighAsTheFontNeeds()
{
    CDlgDanData dan;
    dan.Create();
    CDlgEnergyData energy;
    energy.Create();
    for (CDataListDialog* window : {static_cast<CDataListDialog*>(&dan), static_cast<CDataListDialog*>(&energy)}) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        const QTableView* view = window->List();
        const int rowHeight = view->verticalHeader()->defaultSectionSize();
        // Room for the text, and about twenty rows in a window of its template size.
        QVERIFY(rowHeight >= QFontMetrics(view->font()).height());
        const int visibleRows = view->viewport()->height() / rowHeight;
        QVERIFY2(visibleRows >= 18 && visibleRows <= 26, qPrintable(QString::number(visibleRows)));
    }
}

void TestRecords::captionsKeepTheirLookWhenARowIsSelected()
{
    CDlgDanData dan;
    dan.Create();
    dan.FillList({DanReading(1), DanReading(2)});
    dan.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dan));
    QHeaderView* header = dan.List()->horizontalHeader();
    const QImage before = header->grab().toImage();
    dan.List()->selectRow(1);
    QVERIFY(dan.List()->selectionModel()->isRowSelected(1, {}));
    QCOMPARE(header->grab().toImage(), before);
}

namespace {

// The header's style, recording the captions as they are drawn and the room each had.
class CaptionRecorder : public QProxyStyle
{
public:
    void drawItemText(QPainter* painter, const QRect& rect, int flags, const QPalette& palette, bool enabled,
                      const QString& text, QPalette::ColorRole role) const override
    {
        drawn << qMakePair(text, rect.width());
        QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, role);
    }
    mutable QList<QPair<QString, int>> drawn;
};

} // namespace

void TestRecords::captionsTooWideEndInAnEllipsis()
{
    CaptionRecorder recorder; // outlives the window that uses it
    CDlgEnergyData energy;
    energy.Create();
    QHeaderView* header = energy.List()->horizontalHeader();
    header->setStyle(&recorder);
    energy.show();
    QVERIFY(QTest::qWaitForWindowExposed(&energy));
    recorder.drawn.clear();
    header->grab();
    const QFontMetrics metrics(header->font());
    QMap<QString, QString> drawnFor; // full caption -> as drawn
    for (const auto& [text, room] : std::as_const(recorder.drawn)) {
        QVERIFY2(metrics.horizontalAdvance(text) <= room, qPrintable(text));
        for (int column = 0; column < header->count(); ++column) {
            const QString caption = energy.List()->model()->headerData(column, Qt::Horizontal).toString();
            if (text == caption || (text.endsWith(QChar(0x2026)) && caption.startsWith(text.chopped(1)))) {
                drawnFor[caption] = text;
            }
        }
    }
    // "Current Reactive kWh" is wider than its 100 pixels, "Number" fits its 50.
    QVERIFY(drawnFor.value(QStringLiteral("Current Reactive kWh")).endsWith(QChar(0x2026)));
    QCOMPARE(drawnFor.value(QStringLiteral("Number")), QStringLiteral("Number"));
}

void TestRecords::showingAnOpenWindowBringsItForward()
{
    // The owner stands for the main window, which shows the list again on "查看数据".
    QWidget owner;
    owner.resize(300, 200);
    auto* dan = new CDlgDanData(&owner);
    dan->Create();
    owner.show();
    dan->show();
    QVERIFY(QTest::qWaitForWindowExposed(dan));
    // isActiveWindow() would not tell them apart: a dialog counts as active with its owner.
    owner.activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), &owner);
    dan->show();
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget*>(dan));
}

void TestRecords::fieldsQuotedWhereNeeded_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("csv");
    QTest::addColumn<QString>("tsv");

    QTest::newRow("plain") << "230.5" << "230.5" << "230.5";
    QTest::newRow("comma") << "1,5" << "\"1,5\"" << "1,5";
    QTest::newRow("tab") << "a\tb" << "a\tb" << "\"a\tb\"";
    QTest::newRow("quotes") << "say \"hi\"" << "\"say \"\"hi\"\"\"" << "\"say \"\"hi\"\"\"";
    QTest::newRow("line feed") << "a\nb" << "\"a\nb\"" << "\"a\nb\"";
    QTest::newRow("carriage return") << "a\rb" << "\"a\rb\"" << "\"a\rb\"";
    QTest::newRow("leading space") << " 5" << "\" 5\"" << "\" 5\"";
    QTest::newRow("trailing space") << "5 " << "\"5 \"" << "\"5 \"";
}

void TestRecords::fieldsQuotedWhereNeeded()
{
    QFETCH(QString, text);
    QFETCH(QString, csv);
    QFETCH(QString, tsv);
    QCOMPARE(DelimitedField(text, QLatin1Char(',')), csv);
    QCOMPARE(DelimitedField(text, QLatin1Char('\t')), tsv);
}

void TestRecords::copyPutsSelectedRowsUnderTheHeader()
{
    CDlgDanData dan;
    dan.Create();
    CDanDataList list{DanReading(1), DanReading(2), DanReading(3)};
    list[2].m_strSN = QStringLiteral("a\tb");
    dan.FillList(list);
    dan.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dan));
    QTableView* view = dan.List();
    const QString header = QStringLiteral(
        "Number\tAddress\tSN\tCurrent Active kWh\tCurrent positive kWh\tCurrent reverse kWh\t"
        "L1 Voltage\tL1 Current\tActive Power\tReactive Power\tApparent Power\tConstant\t"
        "Tariff number\tPower Factor\tFrequency\n");
    const QString tail = QStringLiteral("\t\t\t\t\t\t\t\t\t\t\t50\n");

    // Nothing selected: the clipboard keeps what it had.
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    view->clearSelection();
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("before"));

    // Rows picked last to first come out in table order, by key and by the menu entry.
    view->selectionModel()->select(view->model()->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(view->model()->index(0, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    const QString expected = header + QStringLiteral("1\t1\t12345671\t1.5") + tail +
                             QStringLiteral("3\t3\t\"a\tb\"\t3.5") + tail;
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);

    QGuiApplication::clipboard()->clear();
    QCOMPARE(view->contextMenuPolicy(), Qt::ActionsContextMenu);
    QAction* copy = nullptr;
    for (QAction* action : view->actions()) {
        if (action->text() == QStringLiteral("Copy")) {
            copy = action;
        }
    }
    QVERIFY(copy);
    copy->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), expected);
}

void TestRecords::saveWritesEveryRowAsCsv()
{
    QTemporaryDir dir;
    ExportFixture f;
    f.answer = dir.filePath(QStringLiteral("readings.csv"));
    CCEnergy record;
    record.m_strAddress = QStringLiteral("12");
    record.m_strSN = QStringLiteral("电表 \"A\",1");
    record.m_strFrequency = QStringLiteral("50.00");
    CDlgEnergyData energy;
    energy.Create();
    energy.FillList({record, CCEnergy{}});
    energy.show();
    QVERIFY(QTest::qWaitForWindowExposed(&energy));
    // Ctrl+S works wherever the focus is in the window; the whole table goes, selected or not.
    QTest::keyClick(energy.List(), Qt::Key_S, Qt::ControlModifier);

    QCOMPARE(f.suggestedNames, QStringList{"three-phase-readings.csv"});
    QVERIFY2(f.messages.isEmpty(), qPrintable(f.messages.join('\n')));
    const QByteArray bytes = ReadAll(f.answer);
    QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
    const QList<QByteArray> lines = bytes.mid(3).split('\n');
    QCOMPARE(lines.size(), 4); // three lines, each ended by CRLF
    QVERIFY(lines.at(0).startsWith("Number,Address,SN,Current Active kWh,Current Reactive kWh,"));
    QVERIFY(lines.at(0).endsWith(",L3 Power Factor,Frequency\r"));
    QCOMPARE(QString::fromUtf8(lines.at(1)),
             QStringLiteral("1,12,\"电表 \"\"A\"\",1\",,,,,,,,,,,,,,,,,,,,,,,50.00\r"));
    QCOMPARE(lines.at(2), QByteArray("2" + QByteArray(25, ',') + "\r"));
    QCOMPARE(lines.at(3), QByteArray());
}

void TestRecords::cancelledSaveWritesNothing()
{
    QTemporaryDir dir;
    ExportFixture f; // answers an empty path, as a cancelled dialog does
    CDlgDanData dan;
    dan.Create();
    dan.FillList({DanReading(1)});
    QVERIFY(!dan.Export()->SaveAsCsv());
    QCOMPARE(f.suggestedNames, QStringList{"single-phase-readings.csv"});
    QVERIFY(f.messages.isEmpty());
    QVERIFY(QDir(dir.path()).isEmpty());
}

void TestRecords::failedSaveSaysSoAndLeavesNoPartialFile_data()
{
    QTest::addColumn<bool>("missingFolder");
    QTest::newRow("folder missing") << true;
    QTest::newRow("file size limit reached") << false;
}

void TestRecords::failedSaveSaysSoAndLeavesNoPartialFile()
{
    QFETCH(bool, missingFolder);
    QTemporaryDir dir;
    ExportFixture f;
    f.answer = missingFolder ? dir.filePath(QStringLiteral("gone/readings.csv"))
                             : dir.filePath(QStringLiteral("readings.csv"));
    // A file saved earlier under the same name must survive the failed save whole.
    const QByteArray earlier("saved earlier\r\n");
    if (!missingFolder) {
        QFile file(f.answer);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    CDanDataList list;
    for (int i = 0; i < 2000; ++i) {
        list << DanReading(i);
    }
    CDlgDanData dan;
    dan.Create();
    dan.FillList(list);
    bool saved = true;
    {
        const FileSizeLimit limit(4096);
        saved = dan.Export()->SaveAsCsv();
    }
    QVERIFY(!saved);
    QCOMPARE(f.messages.size(), 1);
    QVERIFY2(f.messages.at(0).startsWith(QStringLiteral("Could not save ") + QDir::toNativeSeparators(f.answer)),
             qPrintable(f.messages.at(0)));
    const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    if (missingFolder) {
        QVERIFY2(left.isEmpty(), qPrintable(left.join(' ')));
    } else {
        QCOMPARE(left, QStringList{"readings.csv"});
        QCOMPARE(ReadAll(f.answer), earlier);
    }
}

QTEST_MAIN(TestRecords)
#include "test_records.moc"
