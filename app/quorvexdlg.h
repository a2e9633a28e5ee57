#pragma once

#include "datalistdialogs.h"
#include "dialog.h"
#include "exchange.h"
#include "meterdata.h"
#include "records.h"
#include "registermap.h"
#include "trafficlogdlg.h"

#include <QPointer>
#include <QProgressDialog>

#include <atomic>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

class CColorStatic;
class CMyButton;
class CXPGroupBox;

class FrameLog;
struct ButtonColours;
struct CommandFault;
struct PropertyReading;
struct ScanAnswer;
struct Session;
enum class Command;
enum class FrameDirection;

// The tool's one window: the port, the meter commands, the values of the last reading.
// Every button is a handler that runs to its end, waits for the meter included, before the
// next click is handled.
class CQuorvexDlg : public CDialog
{
    Q_OBJECT

public:
    explicit CQuorvexDlg(QWidget* parent = nullptr);
    ~CQuorvexDlg() override;

    // Port control and traffic areas.
    void OnOpenPort();
    void OnClosePort();
    bool CheckPortOpen();
    void OnClearSend();
    void OnClearRecv();
    void OnClose();

    // Setting commands.
    void OnSetBaudRate();
    void OnSetAddress();
    void OnSetDisplayTime();
    void OnSetScreenNumber();
    void OnSetDecimal();
    void OnSetSerialNumber();
    void OnSetPassword();
    void OnSetCtRatio();
    void OnSetParity();
    void OnClearZero();

    // Property reads.
    void OnReadAddress();
    void OnReadSerialNumber();
    void OnReadScreenNumber();
    void OnReadDecimal();
    void OnReadDisplayTime();
    void OnReadBaudRate();
    void OnReadPassword();
    void OnReadCtRatio();
    void OnReadParity();
    void OnShowPassword();

    // Read meter and the readings.
    void OnReadMeter();
    void OnViewDanData();
    void OnViewEnergyData();
    void OnDeleteDanData();
    void OnDeleteEnergyData();

    // The about entry of the window menu (command 0x0010).
    void OnSysCommand(int commandId);

    // The traffic log window: every frame since the window opened.
    void OnTrafficLog();
    // Finds the meter on the selected COM port whose line settings are unknown, and sets the
    // window to them.
    void OnFindMeter();
    // The readings of both lists into a store the technician picks.
    void OnSaveToStore();

    // What the window holds, for those who look in from outside (tests, benchmarks).
    int DecimalMode() const { return m_nDecimalMode; }
    bool PortOpenFlag() const { return m_bPortOpen != 0; }
    int RecvCount() const { return m_nRecvCount; }
    const RecvBuffer* RecvBuf() const { return m_pRecvBuf.get(); }
    const CDanData& CurDanData() const { return m_curDanData; }
    const CCEnergy& CurEnergy() const { return m_curEnergy; }
    const CDanDataList& DanDataList() const { return m_danDataList; }
    const CCEnergyList& EnergyList() const { return m_energyList; }
    CDlgDanData* DlgDanData() const { return m_pDlgDanData; }
    CDlgEnergyData* DlgEnergyData() const { return m_pDlgEnergyData; }
    FrameLog& TrafficLog() const { return *m_pTrafficLog; }
    CDlgTrafficLog* DlgTrafficLog() const { return m_pDlgTrafficLog; }
    // The progress dialog of a find while it runs (null otherwise), and what the last find
    // tried and found, for those who look in from outside.
    QProgressDialog* FindProgress() const { return m_pFindProgress; }
    const QStringList& FindTried() const { return m_findTried; }

    // Every button of the window with the handler it runs, in the window's binding order.
    struct CommandBinding
    {
        int id;
        void (CQuorvexDlg::*handler)();
        const ButtonColours* colours; // null: the button's own yellow
    };
    static const std::vector<CommandBinding>& Commands();

protected:
    QWidget* CreateControl(const ControlTemplate& control) override;
    void DoDataExchange() override;
    bool OnInitDialog() override;
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    Session WindowSession();
    void ReportFault(Command command, const CommandFault& fault);
    void RunSetting(Command command);
    void RunRead(Command command);
    void ApplyReading(const PropertyReading& reading, MeterType type);
    void ApplyFoundMeter(const ScanAnswer& found);
    void ApplySinglePhase(const SinglePhaseValues& values);
    void ApplyThreePhase(const std::array<std::string, TpValueCount>& texts);
    std::optional<std::uint8_t> ReadAddressField(int lowest);
    MeterType SelectedMeterType() const;
    bool SelectEntryWithText(int comboId, const QString& text);
    // 1 or 2 selects that entry of the decimal list and becomes the decimal mode; any other
    // value leaves the mode unknown.
    void SetDecimalModeFromRegister(int value);
    // The field of the current record of the selected meter type, if a type is selected.
    void AssignToSelectedRecord(QString CDanData::*danField, QString CCEnergy::*energyField,
                                const QString& text);

    QIcon m_hIcon;
    std::unique_ptr<RecvBuffer> m_pRecvBuf;
    int m_nRecvCount = 0;
    int m_bPortOpen = 0;
    CCEnergy m_curEnergy;
    CCEnergyList m_energyList;
    CDanData m_curDanData;
    CDanDataList m_danDataList;
    QPointer<CDlgEnergyData> m_pDlgEnergyData;
    QPointer<CDlgDanData> m_pDlgDanData;
    int m_nDecimalMode = 0;
    std::unique_ptr<FrameLog> m_pTrafficLog;
    std::vector<std::uint8_t> m_lastRequest; // what a reply in the log answers
    QPointer<CDlgTrafficLog> m_pDlgTrafficLog;
    QPointer<QProgressDialog> m_pFindProgress;
    QStringList m_findTried;
};
