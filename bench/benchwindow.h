#pragma once

#include "port.h"
#include "quorvexdlg.h"
#include "resource.h"
#include "simulator.h"
#include "sinks.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

// The real main window on COM1, COM1 being a simulated meter (both types) on a
// pseudo-terminal, the port open. Message boxes are counted and kept instead of shown; debug
// lines are counted and dropped, as a benchmark must not measure a terminal's speed.
class MeterWindow
{
public:
    explicit MeterWindow(double sleepScale)
    {
        std::string error;
        m_meter = metersim::MeterSimulator::OnPseudoTerminal(metersim::MeterKind::Both, &error);
        if (!m_meter) {
            std::fprintf(stderr, "no simulated meter: %s\n", error.c_str());
            std::exit(1);
        }
        m_meter->start();
        qputenv("QUORVEX_COM1", QByteArray::fromStdString(m_meter->devicePath()));
        SetMessageSink([this](const QString& text) { m_messages << text; });
        SetDebugSink([this](const QString&) { ++m_debugLines; });
        SetSleepScale(sleepScale);
        // The port's set-up lines would mix with the figures on standard output.
        PortSetDiagnosticStream(stderr);
        m_dlg = std::make_unique<CQuorvexDlg>();
        m_dlg->Create();
        m_dlg->show();
        QApplication::processEvents();
        click(IDC_BTN_OPEN);
        if (!m_dlg->PortOpenFlag()) {
            std::fprintf(stderr, "the port to the simulated meter did not open\n");
            std::exit(1);
        }
    }
    ~MeterWindow()
    {
        m_dlg.reset();
        PortClose();
        m_meter->stop();
        SetSleepScale(1.0);
        SetMessageSink({});
        SetDebugSink({});
        PortSetDiagnosticStream(nullptr);
        qunsetenv("QUORVEX_COM1");
    }
    MeterWindow(const MeterWindow&) = delete;
    MeterWindow& operator=(const MeterWindow&) = delete;

    CQuorvexDlg& dlg() const { return *m_dlg; }
    metersim::MeterSimulator& meter() const { return *m_meter; }
    const QStringList& messages() const { return m_messages; }
    void clearMessages() { m_messages.clear(); }
    long debugLines() const { return m_debugLines; }

    void click(int id) const { m_dlg->DlgItem<QAbstractButton>(id)->click(); }
    QString text(int id) const { return m_dlg->GetDlgItemText(id); }
    void setText(int id, const QString& value) const { m_dlg->SetDlgItemText(id, value); }
    void select(int comboId, int index) const
    {
        m_dlg->DlgItem<QComboBox>(comboId)->setCurrentIndex(index);
    }

private:
    std::unique_ptr<metersim::MeterSimulator> m_meter;
    std::unique_ptr<CQuorvexDlg> m_dlg;
    QStringList m_messages;
    long m_debugLines = 0;
};

// Entries of the type list.
inline constexpr int kSinglePhaseEntry = 0;
inline constexpr int kThreePhaseEntry = 1;
