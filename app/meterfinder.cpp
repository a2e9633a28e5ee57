#include "meterfinder.h"

#include "framelog.h"
#include "lineport.h"
#include "portlink.h"
#include "session.h"

#include <QEventLoop>
#include <QStringList>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// How long a meter may take to start its reply, on top of the request's and the reply's time
// on the line.
constexpr unsigned kScanTurnaroundMs = 100;

} // namespace

QString DescribeSettings(const std::vector<LineSetting>& settings)
{
    QStringList texts;
    for (const LineSetting& setting : settings) {
        texts << QString::fromStdString(DescribeSetting(setting));
    }
    return texts.join(QStringLiteral(", "));
}

FindOutcome FindMeterWithProgress(QWidget* parent, const QString& portName, const std::string& device,
                                  MeterType firstType, FrameLog& log, QPointer<QProgressDialog>& progressSlot)
{
    QProgressDialog progress(QStringLiteral("%1 (%2)").arg(portName, QString::fromStdString(device)),
                             QStringLiteral("Cancel"), 0, static_cast<int>(ScanOrder().size()), parent);
    progress.setWindowTitle(QStringLiteral("查找电表"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    progressSlot = &progress;
    std::atomic<bool> cancelled{false};
    QObject::connect(&progress, &QProgressDialog::canceled, &progress, [&cancelled] { cancelled = true; });

    // The search runs beside the event loop, so that the window shows each setting as it is
    // tried and Cancel answers at once.
    FindOutcome outcome;
    QEventLoop loop;
    std::thread search([&] {
        const std::unique_ptr<LinePort> line = MakeLinePort(device);
        LinePort& port = *line;
        if (!port.open(device, SerialSettings{})) {
            outcome.openError = port.lastError();
        } else if (!port.setsLineSettings()) {
            outcome.gatewayKeepsSettings = true;
        } else {
            std::vector<std::uint8_t> lastRequest;
            Session session;
            session.timing = Timing::WireSpeed;
            session.link = LinkOver(port);
            session.tap = [&log, &lastRequest](FrameDirection direction, std::span<const std::uint8_t> bytes) {
                log.append(MakeLoggedFrame(direction, bytes, {}, lastRequest));
            };
            ScanHooks hooks;
            hooks.applySetting = [&port](const LineSetting& setting) { return PutLineAt(port, setting); };
            hooks.trying = [&](const LineSetting& setting) {
                outcome.tried.push_back(setting);
                const QString label =
                    QStringLiteral("%1: %2").arg(portName, QString::fromStdString(DescribeSetting(setting)));
                const int step = static_cast<int>(outcome.tried.size()) - 1;
                QMetaObject::invokeMethod(
                    &progress,
                    [&progress, label, step] {
                        progress.setLabelText(label);
                        progress.setValue(step);
                    },
                    Qt::QueuedConnection);
            };
            hooks.cancelled = [&cancelled] { return cancelled.load(); };
            outcome.answers = ScanLineSettings(session, hooks, firstType, kScanTurnaroundMs, false);
        }
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    search.join();
    progressSlot = nullptr;
    outcome.cancelled = cancelled;
    return outcome;
}
