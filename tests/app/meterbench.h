#pragma once

#include "windowfixture.h"

#include "port.h"
#include "simulator.h"

#include <QtGlobal>

// The window on COM1, wired to a simulated meter on a pseudo-terminal, the port open.
// Waits run at a fraction of real time unless a test asks for real time.
struct MeterBench
{
    explicit MeterBench(metersim::MeterKind kind = metersim::MeterKind::Both, double sleepScale = 0.2)
        : meter(Start(kind))
    {
        SetSleepScale(sleepScale);
        window = std::make_unique<WindowFixture>();
        window->click(IDC_BTN_OPEN);
    }
    ~MeterBench()
    {
        window.reset();
        PortClose();
        meter->stop();
        SetSleepScale(1.0);
        qunsetenv("QUORVEX_COM1");
    }
    MeterBench(const MeterBench&) = delete;
    MeterBench& operator=(const MeterBench&) = delete;

    static std::unique_ptr<metersim::MeterSimulator> Start(metersim::MeterKind kind)
    {
        auto meter = metersim::MeterSimulator::OnPseudoTerminal(kind);
        meter->start();
        qputenv("QUORVEX_COM1", QByteArray::fromStdString(meter->devicePath()));
        return meter;
    }

    WindowFixture& w() { return *window; }
    void useThreePhase() { window->select(IDC_COMBO_METER_TYPE, 1); }
    metersim::MeterState state() const { return meter->state(); }
    void misbehave(const metersim::Misbehaviour& how) { meter->setMisbehaviour(how); }

    std::unique_ptr<metersim::MeterSimulator> meter;
    std::unique_ptr<WindowFixture> window;
};
