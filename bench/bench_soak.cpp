// Soak: many read-meter transactions in a row against a simulated meter, alternating single
// and three phase, with the waits shortened. Every transaction must leave exactly one
// reading in its list (none lost, none repeated, none out of order), no message box may come
// up, and the memory in use must come back to where it was once "Close" has emptied the
// lists. Exits 1 if any of that fails.

#include "benchutil.h"
#include "benchwindow.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

// Bytes the allocator has handed out and not had back, whether from its heap or, for large
// blocks such as a long list's array, from pages mapped for the block alone. Exact, unlike
// the resident size, which keeps pages the allocator holds on to.
long long InUseBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

// Readings of one list that do not follow the one before: each reply adds to the meter's
// energy, so every reading's active energy must be above the last one's.
template <class List> long OutOfOrder(const List& list)
{
    long count = 0;
    double last = -1;
    for (const auto& record : list) {
        bool ok = false;
        const double value = record.m_strActiveKWh.toDouble(&ok);
        if (!ok || value <= last) {
            ++count;
        }
        last = value;
    }
    return count;
}

struct Options
{
    long readings = 10000;
    int rounds = 4;
    double scale = 0.004;
};

Options ParseOptions(int argc, char* argv[])
{
    Options options;
    bool valid = argc % 2 == 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--readings") == 0) {
            options.readings = std::atol(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            options.rounds = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--scale") == 0) {
            options.scale = std::atof(argv[i + 1]);
        } else {
            valid = false;
        }
    }
    if (!valid || options.rounds < 1 || options.readings < options.rounds || options.scale <= 0) {
        std::fputs("usage: bench_soak [--readings N] [--rounds R] [--scale WAIT-SCALE]\n", stderr);
        std::exit(2);
    }
    return options;
}

struct Memory
{
    long residentKiB = 0;
    long long inUse = 0;
};

Memory MemoryNow()
{
    QApplication::processEvents();
    return {ResidentKiB(), InUseBytes()};
}

struct Round
{
    long readings = 0;
    long replies = 0;
    long appended = 0;
    long lost = 0;       // the meter answered, no reading was kept
    long misfiled = 0;   // a reading went to the other type's list, or more than one came
    long outOfOrder = 0; // a reading not newer than the one before it in its list
    double elapsedS = 0;
    Memory full;
    Memory closed;
};

// From an open port to "Close": the address of each type first, as the operator does (it
// also sets the decimals), then the readings, alternating the type.
Round RunRound(MeterWindow& w, long readings)
{
    Round round;
    round.readings = readings;
    if (!w.dlg().PortOpenFlag()) {
        w.click(IDC_BTN_OPEN);
    }
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    for (const int type : {kSinglePhaseEntry, kThreePhaseEntry}) {
        w.select(IDC_COMBO_METER_TYPE, type);
        w.click(IDC_BTN_READ_ADDRESS);
    }
    if (w.dlg().DecimalMode() == 0) {
        std::fputs("bench_soak: the meter's address could not be read\n", stderr);
        std::exit(1);
    }

    const std::uint64_t repliesBefore = w.meter().repliesSent();
    const auto singleCount = [&] { return static_cast<long>(w.dlg().DanDataList().size()); };
    const auto threeCount = [&] { return static_cast<long>(w.dlg().EnergyList().size()); };
    QElapsedTimer timer;
    timer.start();
    for (long i = 0; i < readings; ++i) {
        const bool single = i % 2 == 0;
        w.select(IDC_COMBO_METER_TYPE, single ? kSinglePhaseEntry : kThreePhaseEntry);
        const long singleBefore = singleCount();
        const long threeBefore = threeCount();
        w.click(IDC_BTN_READ_METER);
        QApplication::processEvents();
        const long own = single ? singleCount() - singleBefore : threeCount() - threeBefore;
        const long other = single ? threeCount() - threeBefore : singleCount() - singleBefore;
        if (own == 0 && other == 0) {
            ++round.lost;
        } else if (own != 1 || other != 0) {
            ++round.misfiled;
        }
    }
    round.elapsedS = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    round.replies = static_cast<long>(w.meter().repliesSent() - repliesBefore);

    round.full = MemoryNow();
    round.appended = singleCount() + threeCount();
    round.outOfOrder = OutOfOrder(w.dlg().DanDataList()) + OutOfOrder(w.dlg().EnergyList());

    // "Close" empties both lists: what the readings held must all come back.
    w.click(IDC_BTN_CLOSE);
    round.closed = MemoryNow();
    return round;
}

double MiB(long kib)
{
    return static_cast<double>(kib) / 1024.0;
}
double KiB(long long bytes)
{
    return static_cast<double>(bytes) / 1024.0;
}

} // namespace

int main(int argc, char* argv[])
{
    const Options options = ParseOptions(argc, argv);
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    MeterWindow w(options.scale);
    // One kWh per reply, so that successive readings differ even at one decimal.
    w.meter().updateState([](metersim::MeterState& state) { state.energyStep = 100; });
    const Memory before = MemoryNow();

    std::vector<Round> rounds;
    for (int i = 0; i < options.rounds; ++i) {
        const long share =
            options.readings / options.rounds + (i < options.readings % options.rounds ? 1 : 0);
        rounds.push_back(RunRound(w, share));
    }

    Round total;
    for (const Round& round : rounds) {
        total.readings += round.readings;
        total.replies += round.replies;
        total.appended += round.appended;
        total.lost += round.lost;
        total.misfiled += round.misfiled;
        total.outOfOrder += round.outOfOrder;
        total.elapsedS += round.elapsedS;
    }
    const auto messages = static_cast<long>(w.messages().size());

    PrintHeader();
    PrintValue("soak: read-meter transactions", static_cast<double>(total.readings), "");
    PrintValue("soak: rounds (Open … Close)", static_cast<double>(options.rounds), "");
    PrintValue("soak: wait scale", options.scale, "×", 4);
    PrintValue("soak: replies sent by the meter", static_cast<double>(total.replies), "");
    PrintValue("soak: readings appended", static_cast<double>(total.appended), "");
    PrintValue("soak: readings lost", static_cast<double>(total.lost), "");
    PrintValue("soak: readings in the wrong list, or doubled", static_cast<double>(total.misfiled),
               "");
    PrintValue("soak: readings out of order", static_cast<double>(total.outOfOrder), "");
    PrintValue("soak: message boxes shown", static_cast<double>(messages), "");
    PrintValue("soak: time per transaction",
               total.elapsedS * 1e3 / static_cast<double>(total.readings), "ms", 3);
    PrintValue("resident memory before", MiB(before.residentKiB), "MiB", 1);
    PrintValue("heap in use before", KiB(before.inUse), "KiB", 1);
    for (std::size_t i = 0; i < rounds.size(); ++i) {
        const Round& round = rounds[i];
        const std::string after = "after round " + std::to_string(i + 1) + " (" +
                                  std::to_string(round.readings) + " readings)";
        const std::string closed = "after round " + std::to_string(i + 1) + "'s Close";
        PrintValue("resident memory " + after, MiB(round.full.residentKiB), "MiB", 1);
        PrintValue("heap in use " + after, KiB(round.full.inUse), "KiB", 1);
        PrintValue("resident memory " + closed, MiB(round.closed.residentKiB), "MiB", 1);
        PrintValue("heap in use " + closed, KiB(round.closed.inUse), "KiB", 1);
    }
    const Round& first = rounds.front();
    PrintValue("heap held per reading",
               static_cast<double>(first.full.inUse - before.inUse) / first.readings, "B");
    // The lists keep their capacity after Close, and the first reopening of the port fills
    // some caches once; a leak shows as growth from one emptied state to the next after that.
    if (rounds.size() > 2) {
        PrintValue("heap growth, round 2's Close to last Close",
                   KiB(rounds.back().closed.inUse - rounds[1].closed.inUse), "KiB", 1);
    }
    if (rounds.size() > 1) {
        PrintValue("heap growth, round 1's Close to last Close",
                   KiB(rounds.back().closed.inUse - first.closed.inUse), "KiB", 1);
    }

    const bool sound = total.appended == total.readings && total.replies == total.readings &&
                       total.lost == 0 && total.misfiled == 0 && total.outOfOrder == 0 &&
                       messages == 0;
    if (!sound) {
        std::fputs(
            "bench_soak: readings were lost, repeated or misfiled, or a message box came up\n",
            stderr);
        return 1;
    }
    return 0;
}
