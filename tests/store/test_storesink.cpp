// quorvexctl's side of the store: a command's result as the store keeps it, and history's
// questions as typed on the command line.

#include "historycommand.h"
#include "storesink.h"

#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ctl::Outcome)
Q_DECLARE_METATYPE(StoredResult)

namespace {

// The property list as one text, "name=value/verified;...", for comparing whole lists.
QString Properties(const StoredResult& result)
{
    QStringList list;
    for (const StoredProperty& p : result.properties) {
        list << QString::fromStdString(p.name + "=" + p.value + "/" +
                                       (p.verified ? (*p.verified ? "yes" : "no") : "-"));
    }
    return list.join(';');
}

QString Reading(const StoredResult& result)
{
    QStringList list;
    for (const auto& [key, value] : result.reading) {
        list << QString::fromStdString(key + "=" + value);
    }
    return list.join(';');
}

ctl::Outcome Made(const char* command, bool ok,
                  std::vector<std::pair<std::string, std::string>> fields)
{
    return ctl::Outcome{std::chrono::system_clock::time_point(1'796'000'000s),
                        "/dev/pts/4",
                        command,
                        ok,
                        ok ? "" : "no answer",
                        std::move(fields)};
}

} // namespace

class TestStoreSink : public QObject
{
    Q_OBJECT

private slots:
    // Each kind of result the commands write lands in the right columns.
    void toStoredResult_data()
    {
        QTest::addColumn<ctl::Outcome>("outcome");
        QTest::addColumn<int>("address"); // -1: none
        QTest::addColumn<QString>("sn");
        QTest::addColumn<QString>("properties");
        QTest::addColumn<QString>("reading");
        QTest::addColumn<int>("row"); // -1: none
        QTest::newRow("read-meter") << Made("read-meter", true,
                                            {{"address", "7"},
                                             {"sn", "12345678"},
                                             {"active_kwh", "1.5"},
                                             {"frequency", "50"}})
                                    << 7 << "12345678"
                                    << ""
                                    << "sn=12345678;active_kwh=1.5;frequency=50" << -1;
        QTest::newRow("read sn") << Made("read", true, {{"property", "sn"}, {"value", "00001234"}})
                                 << -1 << "00001234"
                                 << "sn=00001234/-"
                                 << "" << -1;
        QTest::newRow("commission not verified") << Made("commission", false,
                                                         {{"property", "baud"},
                                                          {"value", "4800"},
                                                          {"read", "9600"},
                                                          {"verified", "false"}})
                                                 << -1 << ""
                                                 << "baud=4800/no"
                                                 << "" << -1;
        QTest::newRow("set address taken")
            << Made("set", true, {{"property", "address"}, {"value", "9"}}) << 9 << ""
            << "address=9/-"
            << "" << -1;
        QTest::newRow("set address refused")
            << Made("set", false, {{"property", "address"}, {"value", "9"}}) << -1 << ""
            << "address=9/-"
            << "" << -1;
        QTest::newRow("scan")
            << Made("scan", true,
                    {{"baud", "2400"}, {"parity", "even"}, {"address", "3"}, {"type", "three"}})
            << 3 << ""
            << "baud=2400/-;parity=even/-;type=three/-"
            << "" << -1;
        QTest::newRow("job row") << Made("job", true,
                                         {{"row", "17"}, {"sn", "00000042"}, {"baud", "9600"}})
                                 << -1 << "00000042"
                                 << "sn=00000042/-;baud=9600/-"
                                 << "" << 17;
        QTest::newRow("bad numbers")
            << Made("job", false, {{"row", "x"}, {"address", "1e3"}}) << -1 << ""
            << ""
            << "" << -1;
    }
    void toStoredResult()
    {
        QFETCH(ctl::Outcome, outcome);
        QFETCH(int, address);
        QFETCH(QString, sn);
        QFETCH(QString, properties);
        QFETCH(QString, reading);
        QFETCH(int, row);
        const StoredResult result = ctl::ToStoredResult(outcome, "bench-3");
        QCOMPARE(result.host, std::string("bench-3"));
        QCOMPARE(result.command, outcome.command);
        QCOMPARE(result.ok, outcome.ok);
        QCOMPARE(result.error, outcome.error);
        QCOMPARE(result.time, outcome.time);
        QCOMPARE(result.address.value_or(-1), address);
        QCOMPARE(QString::fromStdString(result.serialNumber), sn);
        QCOMPARE(Properties(result), properties);
        QCOMPARE(Reading(result), reading);
        QCOMPARE(result.row.value_or(-1), row);
        // And back as history prints it: the same keys as the command gave, where one property.
        const ctl::Outcome shown = ctl::OutcomeOf(result);
        for (const auto& field : outcome.fields) {
            if (field.first == "read" || (field.first == "address" && address < 0) ||
                (!result.row && field.first == "row")) {
                continue;
            }
            const bool found =
                std::find(shown.fields.begin(), shown.fields.end(), field) != shown.fields.end();
            QVERIFY2(found, field.first.c_str());
        }
    }

    // Times as users type them; the date alone reaches to the end of its day for --until.
    void parseTime_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("endOfDay");
        QTest::addColumn<qint64>("utcMicros");       // -1: refused
        const qint64 day = 1796083200LL * 1'000'000; // 2026-12-01T00:00:00Z
        QTest::newRow("date, UTC") << "2026-12-01T00:00Z" << false << day;
        QTest::newRow("seconds and offset")
            << "2026-12-01T08:00:05+08:00" << false << day + 5'000'000;
        QTest::newRow("fraction, space") << "2026-12-01 00:00:00.25Z" << false << day + 250'000;
        QTest::newRow("negative offset") << "2026-11-30T23:30-00:30" << false << day;
        QTest::newRow("not a month") << "2026-13-01" << false << -1LL;
        QTest::newRow("30 February") << "2026-02-30T00:00Z" << false << -1LL;
        QTest::newRow("trailing text") << "2026-12-01T00:00Zx" << false << -1LL;
        QTest::newRow("no minutes") << "2026-12-01T08" << false << -1LL;
        QTest::newRow("empty") << "" << false << -1LL;
    }
    void parseTime()
    {
        QFETCH(QString, text);
        QFETCH(bool, endOfDay);
        QFETCH(qint64, utcMicros);
        const auto time = ctl::ParseTime(text.toStdString(), endOfDay);
        QCOMPARE(bool(time), utcMicros >= 0);
        if (time) {
            QCOMPARE(qint64(std::chrono::duration_cast<std::chrono::microseconds>(
                                time->time_since_epoch())
                                .count()),
                     utcMicros);
        }
    }

    // A local date alone: --since from its first moment, --until to its last.
    void wholeDays()
    {
        const auto since = ctl::ParseTime("2026-12-01", false);
        const auto until = ctl::ParseTime("2026-12-01", true);
        QVERIFY(since && until);
        QCOMPARE(*until - *since, std::chrono::system_clock::duration(24h - 1us));
    }

    // history's options: what is refused before the store is opened, and what each asks.
    void historyArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("error"); // empty: accepted
        QTest::addColumn<QString>("sn");
        QTest::newRow("short serial number") << QStringList{"--sn", "42"} << ""
                                             << "00000042";
        QTest::newRow("inline value") << QStringList{"--sn=12345678", "--failed"} << ""
                                      << "12345678";
        QTest::newRow("serial number too long") << QStringList{"--sn", "123456789"} << "--sn"
                                                << "";
        QTest::newRow("letters") << QStringList{"--sn", "12a"} << "--sn"
                                 << "";
        QTest::newRow("job not a number") << QStringList{"--job", "abc"} << "--job"
                                          << "";
        QTest::newRow("report zero") << QStringList{"--report", "0"} << "--report"
                                     << "";
        QTest::newRow("missing value") << QStringList{"--command"} << "--command needs"
                                       << "";
        QTest::newRow("since after until")
            << QStringList{"--since", "2026-12-02", "--until", "2026-12-01"} << "--since is after"
            << "";
        QTest::newRow("unknown option") << QStringList{"--serial", "1"} << "unknown option"
                                        << "";
        QTest::newRow("stray argument") << QStringList{"12345678"} << "no argument"
                                        << "";
        QTest::newRow("failed with value") << QStringList{"--failed=yes"} << "takes no value"
                                           << "";
    }
    void historyArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, error);
        QFETCH(QString, sn);
        std::vector<std::string> list;
        for (const QString& arg : args) {
            list.push_back(arg.toStdString());
        }
        std::string why;
        const auto options = ctl::ParseHistoryArguments(list, &why);
        QCOMPARE(bool(options), error.isEmpty());
        if (options) {
            QCOMPARE(QString::fromStdString(options->query.serialNumber), sn);
        } else {
            QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
        }
    }
};

QTEST_GUILESS_MAIN(TestStoreSink)
#include "test_storesink.moc"
