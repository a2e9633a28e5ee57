// What the tool adds to each meter command: the time from the click to the handler's end,
// at the real waits, against a simulated meter on a pseudo-terminal, divided by the wait the
// command must make. A meter that answers at once leaves only the tool's own work (building
// the frame, the port, the hex text, the controls) on top of the wait. Goal: under 1 %.

#include "benchutil.h"
#include "benchwindow.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultRounds = 5;

// One command: its button, the wait it must make, and what it says when it succeeds (null:
// a read, which says nothing).
struct CommandRow
{
    const char* name;
    int button;
    unsigned waitMs;
    const char* success;
};

// The window's own command table, as the operator sees it: every setting, the clear, every
// property read and read meter. Three-phase, so that the password and CT commands run.
const std::vector<CommandRow> kCommands{
    {"set baud rate", IDC_BTN_SET_BAUD, 300, "success!"},
    {"set address", IDC_BTN_SET_ADDRESS, 300, "success!"},
    {"set display time", IDC_BTN_SET_DISPLAY_TIME, 300, "success!"},
    {"set screen number", IDC_BTN_SET_SCREEN, 300, "success!"},
    {"set decimal places", IDC_BTN_SET_DECIMAL, 300, "success!"},
    {"set serial number", IDC_BTN_SET_SN, 400, "success!"},
    {"set password", IDC_BTN_SET_PASSWORD, 500, "success!"},
    {"set CT ratio", IDC_BTN_SET_CT, 300, "success!"},
    {"set parity", IDC_BTN_SET_PARITY, 300, "success!"},
    {"clear to zero", IDC_BTN_CLEAR_ZERO, 800, "clear zero success"},
    {"read address", IDC_BTN_READ_ADDRESS, 1200, nullptr},
    {"read serial number", IDC_BTN_READ_SN, 800, nullptr},
    {"read screen number", IDC_BTN_READ_SCREEN, 300, nullptr},
    {"read decimal places", IDC_BTN_READ_DECIMAL, 800, nullptr},
    {"read display time", IDC_BTN_READ_DISPLAY_TIME, 800, nullptr},
    {"read baud rate", IDC_BTN_READ_BAUD, 200, nullptr},
    {"read password (handler; button disabled)", IDC_BTN_READ_PASSWORD, 500, nullptr},
    {"read CT ratio", IDC_BTN_READ_CT, 800, nullptr},
    {"read parity", IDC_BTN_READ_PARITY, 200, nullptr},
    {"read meter", IDC_BTN_READ_METER, 2500, nullptr},
};

// Clicks the button; "Read Password" stays disabled for the window's life, so its handler is
// called as the click would.
void Run(const MeterWindow& w, int button)
{
    if (w.dlg().IsDlgItemEnabled(button)) {
        w.click(button);
        return;
    }
    for (const CQuorvexDlg::CommandBinding& binding : CQuorvexDlg::Commands()) {
        if (binding.id == button) {
            (w.dlg().*binding.handler)();
        }
    }
}

} // namespace

int main(int argc, char* argv[])
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : kDefaultRounds;
    if (rounds < 1) {
        std::fputs("usage: bench_commands [ROUNDS]\n", stderr);
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);
    MeterWindow w(1.0);

    // Inputs that leave the meter as it is: address 1, 9600 baud, no parity.
    w.select(IDC_COMBO_METER_TYPE, kThreePhaseEntry);
    w.setText(IDC_EDIT_ADDRESS, QStringLiteral("1"));
    w.select(IDC_COMBO_METER_BAUD, 3);
    w.select(IDC_COMBO_METER_PARITY, 0);
    w.setText(IDC_EDIT_SN, QStringLiteral("12345678"));
    w.setText(IDC_EDIT_PASSWORD, QStringLiteral("0000"));
    w.click(IDC_BTN_READ_DECIMAL); // read meter wants the decimals known
    if (w.dlg().DecimalMode() == 0) {
        std::fputs("bench_commands: the meter's decimals could not be read\n", stderr);
        return 1;
    }

    std::map<int, std::vector<double>> overheads;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const CommandRow& command : kCommands) {
            w.clearMessages();
            w.setText(IDC_EDIT_SEND, QString());
            w.setText(IDC_EDIT_RECV, QString());
            const std::uint64_t replies = w.meter().repliesSent();
            QElapsedTimer timer;
            timer.start();
            Run(w, command.button);
            const double elapsedMs = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            // Only a command that went through counts: one reply sent, shown, and the
            // operator told of success where the command tells it.
            const bool answered =
                w.meter().repliesSent() == replies + 1 && !w.text(IDC_EDIT_RECV).isEmpty();
            const bool told = command.success
                                  ? w.messages() == QStringList{QString::fromUtf8(command.success)}
                                  : w.messages().isEmpty();
            if (!answered || !told) {
                std::fprintf(stderr,
                             "bench_commands: %s failed: sent \"%s\", %d replies, received \"%s\", "
                             "told \"%s\"\n",
                             command.name, qPrintable(w.text(IDC_EDIT_SEND)),
                             static_cast<int>(w.meter().repliesSent() - replies),
                             qPrintable(w.text(IDC_EDIT_RECV)),
                             qPrintable(w.messages().join(QStringLiteral(", "))));
                ++failures;
                continue;
            }
            overheads[command.button].push_back((elapsedMs / command.waitMs - 1.0) * 100.0);
            QApplication::processEvents();
        }
    }
    if (failures > 0) {
        return 1;
    }

    PrintHeader();
    std::vector<double> all;
    for (const CommandRow& command : kCommands) {
        const std::vector<double>& values = overheads[command.button];
        all.insert(all.end(), values.begin(), values.end());
        PrintRow("overhead: " + std::string(command.name) + ", " + std::to_string(command.waitMs) +
                     " ms",
                 SampleOf(values), "%");
    }
    PrintRow("overhead: all 20 commands", SampleOf(all), "%");
    return 0;
}
