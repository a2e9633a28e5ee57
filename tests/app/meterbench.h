#pragma once

#include "meterclock.h"
#include "windowfixture.h"

#include "port.h"
#include "simulator.h"

#include <QtGlobal>

#include <memory>

// The window on COM1, wired to a simulated meter on a pseudo-terminal, the port open.
struct MeterBench
{
    explicit MeterBench(metersim::MeterKind kind = metersim::MeterKind::Both,
                        Waits waits = Waits::OnTheMeter)
        : meter(metersim::MeterSimulator::OnPseudoTerminal(kind))
    {
        if (waits == Waits::OnTheMeter) {
            clock = std::make_unique<meterclock::SimulatedWaits>(*meter);
        }
        meter->start();
        qputenv("QUORVEX_COM1", QByteArray::fromStdString(meter->devicePath()));
        SetSleepScale(1.0);
        window = std::make_unique<WindowFixture>();
        if (clock) {
            window->beforeCommand = [this] { clock->commandStarts(); };
        }
        window->click(IDC_BTN_OPEN);
    }
    ~MeterBench()
    {
        window.reset();
        PortClose();
        // Stopped before the clock goes: the meter's traffic log calls into it.
        meter->stop();
        clock.reset();
        qunsetenv("QUORVEX_COM1");
    }
    MeterBench(const MeterBench&) = delete;
    MeterBench& operator=(const MeterBench&) = delete;

    WindowFixture& w() { return *window; }
    void useThreePhase() { window->select(IDC_COMBO_METER_TYPE, 1); }
    metersim::MeterState state() const { return meter->state(); }
    void misbehave(const metersim::Misbehaviour& how) { meter->setMisbehaviour(how); }

    std::unique_ptr<metersim::MeterSimulator> meter;
    std::unique_ptr<meterclock::SimulatedWaits> clock; // null with real waits
    std::unique_ptr<WindowFixture> window;
};
