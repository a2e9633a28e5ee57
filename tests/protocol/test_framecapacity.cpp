#include "frame.h"

#include <QTest>

#include <vector>

#include <sys/wait.h>
#include <unistd.h>

// A request that does not fit its frame must never go out cut short without its CRC: a debug
// build stops at once, a release build gives an empty frame, which the commands refuse to send.
class TestFrameCapacity : public QObject
{
    Q_OBJECT

private slots:
    void oversizedWrites_data();
    void oversizedWrites();
    void largestWriteFits();
};

void TestFrameCapacity::oversizedWrites_data()
{
    QTest::addColumn<int>("dataBytes");
    // 9 bytes around the data: address, function, register, count, byte count, CRC.
    QTest::newRow("one register too many") << 24;
    QTest::newRow("far too many") << 200;
    QTest::newRow("odd length") << 3;
}

void TestFrameCapacity::oversizedWrites()
{
    QFETCH(int, dataBytes);
    // In a child, so that the debug build's stop can be seen without stopping this test.
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        const std::vector<std::uint8_t> data(static_cast<std::size_t>(dataBytes), 0x11);
        const Frame frame = BuildWriteRequest(1, 0x0014, data);
        ::_exit(frame.size() == 0 ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
#ifdef NDEBUG
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the frame was not refused");
#else
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT, "a debug build did not stop");
#endif
}

void TestFrameCapacity::largestWriteFits()
{
    const std::vector<std::uint8_t> data(22, 0x11);
    const Frame frame = BuildWriteRequest(1, 0x0014, data);
    QCOMPARE(frame.size(), std::size_t{31});
    QCOMPARE(frame[6], std::uint8_t{22});
}

QTEST_GUILESS_MAIN(TestFrameCapacity)
#include "test_framecapacity.moc"
