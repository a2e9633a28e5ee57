// The traffic log window over a log fed by hand and from other threads: its rows and cells,
// following the end, the bound and its note, Clear, Copy and Save as CSV, and a full log.

#include "answer.h"
#include "filedialog.h"
#include "frame.h"
#include "framelog.h"
#include "sinks.h"
#include "tableexport.h"
#include "trafficlogdlg.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

namespace {

LoggedFrame Numbered(int n)
{
    LoggedFrame frame;
    frame.time = std::chrono::system_clock::now();
    frame.direction = n % 2 ? FrameDirection::Rx : FrameDirection::Tx;
    frame.bytes = {static_cast<std::uint8_t>(n), 0xAB};
    frame.meaning = std::to_string(n);
    return frame;
}

QString Cell(const CDlgTrafficLog& window, int row, int column)
{
    return window.Model()->index(row, column).data().toString();
}

int LastRow(const CDlgTrafficLog& window)
{
    return window.Model()->rowCount() - 1;
}

// The row at the top of the view, by the frame it shows.
QString TopFrame(const CDlgTrafficLog& window)
{
    return Cell(window, window.List()->rowAt(0), TrafficLogModel::MeaningColumn);
}

bool AtEnd(const CDlgTrafficLog& window)
{
    const QScrollBar* bar = window.List()->verticalScrollBar();
    return bar->maximum() > 0 && bar->value() == bar->maximum();
}

// A request and the simulator's reply, logged as the window logs them.
void LogExchange(FrameLog& log, metersim::MeterState& meter, const Frame& request)
{
    const std::vector<std::uint8_t> sent(request.bytes().begin(), request.bytes().end());
    const std::vector<std::uint8_t> reply =
        metersim::AnswerRequest(meter, metersim::MeterKind::ThreePhase, sent);
    const auto now = std::chrono::system_clock::now();
    log.append({now, {}, FrameDirection::Tx, sent, DescribeFrame(FrameDirection::Tx, sent)});
    log.append(
        {now, {}, FrameDirection::Rx, reply, DescribeFrame(FrameDirection::Rx, reply, sent)});
}

} // namespace

class TestTrafficLog : public QObject
{
    Q_OBJECT

private slots:
    void listsEveryFrameNewestAtTheBottom();
    void followsTheEndUnlessScrolledUp();
    void boundDropsOldFramesWithANote();
    void enterNeverClears();
    void saveAsTheListWindows();
    void framesFromAnotherThread();
    void aFullLogStaysFast();
};

void TestTrafficLog::listsEveryFrameNewestAtTheBottom()
{
    FrameLog log;
    metersim::MeterState meter;
    LogExchange(log, meter, BuildReadRequest(0, 0x002F, 6)); // before the window opens
    CDlgTrafficLog window(log);
    QCOMPARE(window.windowTitle(), QStringLiteral("通信记录"));
    QVERIFY(!window.isModal());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    LogExchange(log, meter, BuildReadRequest(0, 0x0000, 46));

    QTRY_COMPARE(window.Model()->rowCount(), 4);
    QStringList headers;
    for (int column = 0; column < TrafficLogModel::ColumnCount; ++column) {
        headers << window.Model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    }
    QCOMPARE(headers, (QStringList{"Time", "TX/RX", "Bytes", "Meaning"}));
    const std::vector<LoggedFrame> frames = log.snapshot();
    for (int row = 0; row < 4; ++row) {
        const LoggedFrame& frame = frames[static_cast<std::size_t>(row)];
        QCOMPARE(Cell(window, row, TrafficLogModel::TimeColumn),
                 QString::fromStdString(FormatLogTime(frame.time)));
        QCOMPARE(Cell(window, row, TrafficLogModel::DirectionColumn),
                 row % 2 ? QStringLiteral("RX") : QStringLiteral("TX"));
        QCOMPARE(Cell(window, row, TrafficLogModel::BytesColumn),
                 QString::fromStdString(FormatLogHex(frame.bytes)));
    }
    QCOMPARE(Cell(window, 2, TrafficLogModel::MeaningColumn),
             QStringLiteral("read input registers 0x0000 ×46 → address 0, CRC good"));
    QVERIFY(Cell(window, 3, TrafficLogModel::MeaningColumn)
                .startsWith(QStringLiteral("reply from address")));
    // A long cell shows whole in its tooltip.
    QCOMPARE(
        window.Model()->index(3, TrafficLogModel::BytesColumn).data(Qt::ToolTipRole).toString(),
        Cell(window, 3, TrafficLogModel::BytesColumn));
}

void TestTrafficLog::followsTheEndUnlessScrolledUp()
{
    FrameLog log(300);
    CDlgTrafficLog window(log);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    int next = 0;
    const auto append = [&log, &next](int count) {
        for (int i = 0; i < count; ++i) {
            log.append(Numbered(next++));
        }
    };

    append(200);
    QTRY_COMPARE(window.Model()->rowCount(), 200);
    QVERIFY(AtEnd(window));
    append(20);
    QTRY_COMPARE(window.Model()->rowCount(), 220);
    QVERIFY(AtEnd(window));

    // Scrolled up to read: the view stays on its frames, also while old ones are dropped.
    window.List()->verticalScrollBar()->setValue(100);
    QCOMPARE(TopFrame(window), QStringLiteral("100"));
    append(130); // 350 in all: the first 50 go
    QTRY_COMPARE(window.Model()->rowCount(), 300);
    QCOMPARE(Cell(window, 0, TrafficLogModel::MeaningColumn), QStringLiteral("50"));
    QCOMPARE(TopFrame(window), QStringLiteral("100"));

    // Back at the end, it follows again.
    window.List()->scrollToBottom();
    append(5);
    QTRY_COMPARE(Cell(window, LastRow(window), TrafficLogModel::MeaningColumn),
                 QStringLiteral("354"));
    QVERIFY(AtEnd(window));
}

void TestTrafficLog::boundDropsOldFramesWithANote()
{
    FrameLog log(50);
    CDlgTrafficLog window(log);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!window.DroppedNote()->isVisible());
    for (int i = 0; i < 80; ++i) {
        log.append(Numbered(i));
    }
    window.Refresh();
    QCOMPARE(window.Model()->rowCount(), 50);
    QCOMPARE(Cell(window, 0, TrafficLogModel::MeaningColumn), QStringLiteral("30"));
    QVERIFY(window.DroppedNote()->isVisible());
    QCOMPARE(window.DroppedNote()->text(),
             QStringLiteral("30 older frames were dropped: the log keeps the last 50."));

    QTest::mouseClick(window.ClearButton(), Qt::LeftButton);
    QCOMPARE(log.size(), std::size_t{0});
    QCOMPARE(window.Model()->rowCount(), 0);
    QVERIFY(!window.DroppedNote()->isVisible());
    log.append(Numbered(80));
    QTRY_COMPARE(window.Model()->rowCount(), 1);
    QCOMPARE(Cell(window, 0, TrafficLogModel::MeaningColumn), QStringLiteral("80"));
}

void TestTrafficLog::enterNeverClears()
{
    FrameLog log;
    log.append(Numbered(0));
    QWidget owner;
    auto* window = new CDlgTrafficLog(log, &owner);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    for (QWidget* target : {static_cast<QWidget*>(window->List()), static_cast<QWidget*>(window)}) {
        target->setFocus();
        QTest::keyClick(target, Qt::Key_Return);
    }
    QCOMPARE(log.size(), std::size_t{1});
    QVERIFY(window->isVisible());
    // Esc only hides it; shown again, it still lists the frame.
    QTest::keyClick(window->List(), Qt::Key_Escape);
    QVERIFY(!window->isVisible());
    window->show();
    QCOMPARE(window->Model()->rowCount(), 1);
}

void TestTrafficLog::saveAsTheListWindows()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log.csv"));
    QStringList messages;
    SetSaveFileNameAsker(
        [&path](QWidget*, const QString&, const QString&, const QString&) { return path; });
    SetMessageSink([&messages](const QString& text) { messages << text; });

    FrameLog log;
    metersim::MeterState meter;
    LogExchange(log, meter, BuildReadRequest(0, 0x002F, 6));
    CDlgTrafficLog window(log);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // Frames appended since the last refresh go along too.
    log.append(Numbered(7));

    const std::vector<LoggedFrame> frames = log.snapshot();
    QTest::keyClick(window.List(), Qt::Key_S, Qt::ControlModifier);
    SetSaveFileNameAsker({});
    SetMessageSink({});
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join('\n')));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QByteArray("\xEF\xBB\xBFTime,TX/RX,Bytes,Meaning\r"));
    // Meanings hold commas, so they are quoted.
    QCOMPARE(QString::fromUtf8(lines.at(1)), QString::fromStdString(FormatLogTime(frames[0].time)) +
                                                 ",TX,00 04 00 2F 00 06 40 10,\"read input "
                                                 "registers 0x002F ×6 → address 0, CRC good\"\r");
    QVERIFY(lines.at(3).endsWith(",RX,07 AB,7\r"));
}

// Frames come from a port thread; the window is closed while they still come.
void TestTrafficLog::framesFromAnotherThread()
{
    FrameLog log;
    auto window = std::make_unique<CDlgTrafficLog>(log);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    std::thread first([&log] {
        for (int i = 0; i < 1000; ++i) {
            log.append(Numbered(i));
        }
    });
    first.join();
    QTRY_COMPARE(window->Model()->rowCount(), 1000);
    QCOMPARE(Cell(*window, 999, TrafficLogModel::MeaningColumn), QStringLiteral("999"));

    std::atomic<bool> stop{false};
    std::thread second([&log, &stop] {
        while (!stop) {
            log.append(Numbered(0));
        }
    });
    QTest::qWait(20);
    window.reset();
    QTest::qWait(20);
    stop = true;
    second.join();
    QVERIFY(log.appended() > 1000);
}

// The log's whole bound in the window: rows are read from the log, not copied into it.
void TestTrafficLog::aFullLogStaysFast()
{
    FrameLog log;
    CDlgTrafficLog window(log);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    metersim::MeterState meter;
    const Frame request = BuildReadRequest(0, 0x0000, 46);
    const std::vector<std::uint8_t> sent(request.bytes().begin(), request.bytes().end());
    const std::vector<std::uint8_t> reply =
        metersim::AnswerRequest(meter, metersim::MeterKind::ThreePhase, sent);
    const LoggedFrame tx{std::chrono::system_clock::now(),
                         {},
                         FrameDirection::Tx,
                         sent,
                         DescribeFrame(FrameDirection::Tx, sent)};
    const LoggedFrame rx{std::chrono::system_clock::now(),
                         {},
                         FrameDirection::Rx,
                         reply,
                         DescribeFrame(FrameDirection::Rx, reply, sent)};
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 50250; ++i) {
        log.append(tx);
        log.append(rx);
    }
    const qint64 appendMs = timer.restart();
    window.Refresh();
    const qint64 firstRefreshMs = timer.restart();
    QCOMPARE(window.Model()->rowCount(), 100000);
    QVERIFY(AtEnd(window));
    QCOMPARE(window.DroppedNote()->text(),
             QStringLiteral("500 older frames were dropped: the log keeps the last 100000."));
    // Full: each refresh now drops as many rows at the top as it adds at the bottom.
    for (int i = 0; i < 100; ++i) {
        log.append(tx);
        log.append(rx);
        window.Refresh();
    }
    const qint64 hundredRefreshesMs = timer.restart();

    QCOMPARE(window.Model()->rowCount(), 100000);
    QVERIFY(AtEnd(window));
    qInfo("100 500 appends %lld ms, first refresh %lld ms, 100 refreshes of a full log %lld ms",
          appendMs, firstRefreshMs, hundredRefreshesMs);
}

QTEST_MAIN(TestTrafficLog)
#include "test_trafficlog.moc"
