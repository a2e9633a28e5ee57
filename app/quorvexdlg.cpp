#include "quorvexdlg.h"

#include "aboutdlg.h"
#include "bcd.h"
#include "colorref.h"
#include "colorstatic.h"
#include "comports.h"
#include "crc.h"
#include "frame.h"
#include "hextext.h"
#include "meterdata.h"
#include "mybutton.h"
#include "port.h"
#include "resource.h"
#include "sinks.h"
#include "templates.h"
#include "xpgroupbox.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <array>

namespace {

// Line settings of every opening: eight data bits, one stop bit, 4 KiB driver queues and a
// one-second write limit; only the baud rate and the parity come from the window.
constexpr std::uint8_t kDataBits = 8;
constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint32_t kQueueSize = 4096;
constexpr std::uint32_t kWriteTimeoutMs = 1000;

// Reads go to the address every meter answers, whatever its own.
constexpr std::uint8_t kAnyMeter = 0;
constexpr int kHighestAddress = 254;

constexpr unsigned kReadMeterWaitMs = 2500;
constexpr unsigned kSinglePhasePauseMs = 200;
constexpr unsigned kThreePhasePauseMs = 300;

// Byte counts of the two read-meter replies, accepted whatever type is selected.
constexpr std::uint8_t kSinglePhaseByteCount = 2 * kSinglePhaseRegisters; // 0x3A
constexpr std::uint8_t kThreePhaseByteCount = 2 * kThreePhaseRegisters;   // 0x5C

const QStringList kBaudTexts{"1200", "2400", "4800", "9600"};
const QStringList kParityTexts{"None check", "Odd check", "Even check"};

QStringList Numbers(std::initializer_list<int> values)
{
    QStringList texts;
    for (int value : values) {
        texts << QString::number(value);
    }
    return texts;
}

QStringList CtRatios()
{
    QStringList texts = Numbers({1, 2, 5, 8, 10, 12, 15, 16, 20, 24});
    for (int ratio = 30; ratio <= 190; ratio += 10) {
        texts << QString::number(ratio);
    }
    return texts;
}

// The entries of the ten lists, in the order they are filled.
struct ListEntries
{
    int id;
    QStringList entries;
};

const std::array<ListEntries, 10>& DropDownLists()
{
    static const std::array<ListEntries, 10> lists{{
        {IDC_COMBO_COM, {}},
        {IDC_COMBO_BAUD, kBaudTexts},
        {IDC_COMBO_PARITY, kParityTexts},
        {IDC_COMBO_METER_BAUD, kBaudTexts},
        {IDC_COMBO_METER_TYPE, {"Single phase meter", "Three phase meter"}},
        {IDC_COMBO_DECIMAL, Numbers({1, 2})},
        {IDC_COMBO_DISPLAY_TIME, Numbers({1, 2, 3, 4, 5})},
        {IDC_COMBO_SCREEN, Numbers({3, 6, 7, 8, 9, 10, 11, 12, 13, 14})},
        {IDC_COMBO_CT_RATIO, CtRatios()},
        {IDC_COMBO_METER_PARITY, kParityTexts},
    }};
    return lists;
}

constexpr int kComPortCount = 10;

// Button colours: teal for the port, blue for reads and views; the setting buttons keep the
// button's own yellow, so that a command that changes a meter stands out.
struct ButtonColours
{
    COLORREF pressed;
    COLORREF normal;
};
constexpr ButtonColours kPortColours{RGB(34, 134, 159), RGB(27, 106, 126)};
constexpr ButtonColours kReadColours{RGB(0, 153, 227), RGB(0, 128, 192)};

struct ButtonRow
{
    int id;
    const ButtonColours* colours; // null: the button's defaults
};

constexpr std::array<ButtonRow, 29> kButtons{{
    {IDC_BTN_OPEN, &kPortColours},
    {IDC_BTN_CLOSE, &kPortColours},
    {IDC_BTN_READ_ADDRESS, &kReadColours},
    {IDC_BTN_SET_ADDRESS, nullptr},
    {IDC_BTN_SET_SCREEN, nullptr},
    {IDC_BTN_SET_DISPLAY_TIME, nullptr},
    {IDC_BTN_SET_BAUD, nullptr},
    {IDC_BTN_READ_BAUD, &kReadColours},
    {IDC_BTN_SET_SN, nullptr},
    {IDC_BTN_READ_SN, &kReadColours},
    {IDC_BTN_READ_METER, &kReadColours},
    {IDC_BTN_VIEW_TP, &kReadColours},
    {IDC_BTN_CLEAR_RECV, &kReadColours},
    {IDC_BTN_CLEAR_SEND, &kReadColours},
    {IDC_BTN_SET_DECIMAL, nullptr},
    {IDC_BTN_DELETE_TP, &kReadColours},
    {IDC_BTN_READ_SCREEN, &kReadColours},
    {IDC_BTN_READ_DECIMAL, &kReadColours},
    {IDC_BTN_READ_DISPLAY_TIME, &kReadColours},
    {IDC_BTN_DELETE_SP, &kReadColours},
    {IDC_BTN_VIEW_SP, &kReadColours},
    {IDC_BTN_SET_PASSWORD, nullptr},
    {IDC_BTN_SHOW_PASSWORD, &kReadColours},
    {IDC_BTN_READ_PASSWORD, &kReadColours},
    {IDC_BTN_READ_CT, &kReadColours},
    {IDC_BTN_SET_CT, nullptr},
    {IDC_BTN_SET_PARITY, nullptr},
    {IDC_BTN_READ_PARITY, &kReadColours},
    {IDC_BTN_CLEAR_ZERO, &kReadColours},
}};

constexpr std::array kGroupBoxes{IDC_GROUP_SET,   IDC_GROUP_SERIAL,       IDC_GROUP_THREE_PHASE,
                                 IDC_GROUP_READ,  IDC_GROUP_SINGLE_PHASE, IDC_GROUP_PASSWORD};

// Value edits blanked by the two delete buttons, in their order.
constexpr std::array kThreePhaseValueEdits{
    IDC_EDIT_TP_ACTIVE_KWH,   IDC_EDIT_TP_REACTIVE_KWH, IDC_EDIT_TP_VOLTAGE_L1,   IDC_EDIT_TP_VOLTAGE_L2,
    IDC_EDIT_TP_VOLTAGE_L3,   IDC_EDIT_TP_CURRENT_L1,   IDC_EDIT_TP_CURRENT_L2,   IDC_EDIT_TP_CURRENT_L3,
    IDC_EDIT_TP_POSITIVE_KWH, IDC_EDIT_TP_REVERSE_KWH,  IDC_EDIT_TP_REACTIVE,     IDC_EDIT_TP_REACTIVE_L1,
    IDC_EDIT_TP_REACTIVE_L2,  IDC_EDIT_TP_REACTIVE_L3,  IDC_EDIT_TP_ACTIVE,       IDC_EDIT_TP_ACTIVE_L1,
    IDC_EDIT_TP_ACTIVE_L2,    IDC_EDIT_TP_ACTIVE_L3,    IDC_EDIT_TP_PF,           IDC_EDIT_TP_PF_L1,
    IDC_EDIT_TP_PF_L2,        IDC_EDIT_TP_PF_L3,        IDC_EDIT_TP_FREQUENCY,
};
constexpr std::array kSinglePhaseValueEdits{
    IDC_EDIT_SP_ACTIVE_KWH, IDC_EDIT_SP_VOLTAGE_L1, IDC_EDIT_SP_CURRENT_L1, IDC_EDIT_SP_CONSTANT,
    IDC_EDIT_SP_TARIFF,     IDC_EDIT_SP_FREQUENCY,  IDC_EDIT_SP_PF,         IDC_EDIT_SP_ACTIVE_POWER,
};

// Where each three-phase value goes: its edit and its field, in reply order.
struct ThreePhaseTarget
{
    int edit;
    QString CCEnergy::*field;
};
constexpr std::array<ThreePhaseTarget, TpValueCount> kThreePhaseTargets{{
    {IDC_EDIT_TP_ACTIVE_KWH, &CCEnergy::m_strActiveKWh},
    {IDC_EDIT_TP_POSITIVE_KWH, &CCEnergy::m_strPositiveKWh},
    {IDC_EDIT_TP_REVERSE_KWH, &CCEnergy::m_strReverseKWh},
    {IDC_EDIT_TP_REACTIVE_KWH, &CCEnergy::m_strReactiveKWh},
    {IDC_EDIT_TP_VOLTAGE_L1, &CCEnergy::m_strVoltageL1},
    {IDC_EDIT_TP_VOLTAGE_L2, &CCEnergy::m_strVoltageL2},
    {IDC_EDIT_TP_VOLTAGE_L3, &CCEnergy::m_strVoltageL3},
    {IDC_EDIT_TP_CURRENT_L1, &CCEnergy::m_strCurrentL1},
    {IDC_EDIT_TP_CURRENT_L2, &CCEnergy::m_strCurrentL2},
    {IDC_EDIT_TP_CURRENT_L3, &CCEnergy::m_strCurrentL3},
    {IDC_EDIT_TP_ACTIVE_L1, &CCEnergy::m_strActivePowerL1},
    {IDC_EDIT_TP_ACTIVE_L2, &CCEnergy::m_strActivePowerL2},
    {IDC_EDIT_TP_ACTIVE_L3, &CCEnergy::m_strActivePowerL3},
    {IDC_EDIT_TP_REACTIVE_L1, &CCEnergy::m_strReactivePowerL1},
    {IDC_EDIT_TP_REACTIVE_L2, &CCEnergy::m_strReactivePowerL2},
    {IDC_EDIT_TP_REACTIVE_L3, &CCEnergy::m_strReactivePowerL3},
    {IDC_EDIT_TP_PF_L1, &CCEnergy::m_strPowerFactorL1},
    {IDC_EDIT_TP_PF_L2, &CCEnergy::m_strPowerFactorL2},
    {IDC_EDIT_TP_PF_L3, &CCEnergy::m_strPowerFactorL3},
    {IDC_EDIT_TP_ACTIVE, &CCEnergy::m_strActivePower},
    {IDC_EDIT_TP_REACTIVE, &CCEnergy::m_strReactivePower},
    {IDC_EDIT_TP_PF, &CCEnergy::m_strPowerFactor},
    {IDC_EDIT_TP_FREQUENCY, &CCEnergy::m_strFrequency},
}};

// Acceptance tests of the replies. Every one of them wants the read function back and the
// length its byte count gives: a meter without the register answers "illegal data address",
// 00 84 02 <CRC>, whose exception code sits where a one-register reply has its byte count of
// 2, and its CRC bytes would be taken for the value.
bool ByteCountIs(const RecvBuffer& reply, std::uint8_t count) { return reply[2] == count; }

bool FunctionIsRead(const RecvBuffer& reply, std::size_t count)
{
    // Exactly as long as its byte count says: bytes after the CRC are not part of the reply,
    // and zeros there would even keep the CRC matching while shifting "the byte before it".
    return reply[1] == 0x04 && count == 5u + reply[2] && ReplyCrcMatches(reply.data(), count);
}

bool AddressReplyOk(const RecvBuffer& reply, std::size_t count)
{
    // Either meter type's byte count, whichever type is selected.
    return (ByteCountIs(reply, 12) || ByteCountIs(reply, 2)) && FunctionIsRead(reply, count);
}

bool OneRegisterReplyOk(const RecvBuffer& reply, std::size_t count)
{
    return ByteCountIs(reply, 2) && FunctionIsRead(reply, count);
}

// The first register of a read reply.
int FirstRegister(const RecvBuffer& reply) { return reply[3] * 256 + reply[4]; }

// The byte just before the CRC: the low byte of the last register. A reply too short to
// have one reads as 0, as the zero-filled buffer would give.
std::uint8_t ByteBeforeCrc(const RecvBuffer& reply, std::size_t count, std::size_t back = 1)
{
    return count >= 2 + back ? reply[count - 2 - back] : 0;
}

QString FromStd(const std::string& text) { return QString::fromStdString(text); }

} // namespace

// A setting command: what it writes, where and how it reports.
struct CQuorvexDlg::SettingRow
{
    enum class Input
    {
        ComboNumber, // the text of a list as a number: one register, high byte 0
        BaudRate,    // the text of the baud list, sent as its baud code
        Parity,      // the text of the parity list, sent as its parity code
        NewAddress,  // edit 1008 itself, sent to every meter
        SerialNumber,
        Password,
    };
    enum class Then
    {
        Nothing,
        SelectPortBaud,
        SelectPortParity,
        SetDecimalMode,
    };

    int button;
    MeterProperty property;
    Input input;
    int inputId;
    unsigned waitMs;
    Report shortWrite;
    const char* singlePhaseRefusal; // the property exists on three-phase meters only
    Then then;
};

struct CQuorvexDlg::ReadRow
{
    int button;
    MeterProperty property;
    unsigned waitMs;
    ReplyTest accept;
    Report shortWrite;
    bool checksAddress;
    bool threePhaseOnly;
    void (CQuorvexDlg::*apply)(const RecvBuffer& reply, std::size_t count);
};

namespace {

using Setting = CQuorvexDlg::SettingRow;
using Report = CQuorvexDlg::Report;

using Input = Setting::Input;
using Then = Setting::Then;

// One row per setting button: the register it writes, where its value comes from, its wait,
// how a short write is reported, its refusal on a single-phase meter, and what follows success.
const std::array<Setting, 9> kSettings{{
    {IDC_BTN_SET_BAUD, MeterProperty::BaudRate, Input::BaudRate, IDC_COMBO_METER_BAUD, 300, Report::Debug,
     nullptr, Then::SelectPortBaud},
    {IDC_BTN_SET_ADDRESS, MeterProperty::Address, Input::NewAddress, IDC_EDIT_ADDRESS, 300, Report::MessageBox,
     nullptr, Then::Nothing},
    {IDC_BTN_SET_DISPLAY_TIME, MeterProperty::DisplayTime, Input::ComboNumber, IDC_COMBO_DISPLAY_TIME, 300,
     Report::MessageBox, nullptr, Then::Nothing},
    {IDC_BTN_SET_SCREEN, MeterProperty::ScreenNumber, Input::ComboNumber, IDC_COMBO_SCREEN, 300, Report::Debug,
     nullptr, Then::Nothing},
    {IDC_BTN_SET_DECIMAL, MeterProperty::DecimalPlaces, Input::ComboNumber, IDC_COMBO_DECIMAL, 300,
     Report::MessageBox, nullptr, Then::SetDecimalMode},
    {IDC_BTN_SET_SN, MeterProperty::SerialNumber, Input::SerialNumber, IDC_EDIT_SN, 400, Report::MessageBox,
     nullptr, Then::Nothing},
    {IDC_BTN_SET_PASSWORD, MeterProperty::Password, Input::Password, IDC_EDIT_PASSWORD, 500, Report::Debug,
     "single is not password", Then::Nothing},
    {IDC_BTN_SET_CT, MeterProperty::CtRatio, Input::ComboNumber, IDC_COMBO_CT_RATIO, 300, Report::MessageBox,
     "single is not set ct", Then::Nothing},
    {IDC_BTN_SET_PARITY, MeterProperty::Parity, Input::Parity, IDC_COMBO_METER_PARITY, 300, Report::Debug,
     nullptr, Then::SelectPortParity},
}};

const Setting& SettingRowOf(int button)
{
    const auto* row = std::find_if(kSettings.begin(), kSettings.end(), [button](const Setting& r) { return r.button == button; });
    return row != kSettings.end() ? *row : kSettings.front();
}

} // namespace

const std::vector<CQuorvexDlg::CommandBinding>& CQuorvexDlg::Commands()
{
    static const std::vector<CommandBinding> commands{
        {IDC_BTN_OPEN, &CQuorvexDlg::OnOpenPort},
        {IDC_BTN_CLOSE, &CQuorvexDlg::OnClosePort},
        {IDC_BTN_SET_BAUD, &CQuorvexDlg::OnSetBaudRate},
        {IDC_BTN_SET_ADDRESS, &CQuorvexDlg::OnSetAddress},
        {IDC_BTN_READ_ADDRESS, &CQuorvexDlg::OnReadAddress},
        {IDC_BTN_CLEAR_SEND, &CQuorvexDlg::OnClearSend},
        {IDC_BTN_READ_METER, &CQuorvexDlg::OnReadMeter},
        {IDC_BTN_CLEAR_RECV, &CQuorvexDlg::OnClearRecv},
        {IDC_BTN_VIEW_TP, &CQuorvexDlg::OnViewEnergyData},
        {IDC_BTN_READ_SN, &CQuorvexDlg::OnReadSerialNumber},
        {IDC_BTN_DELETE_TP, &CQuorvexDlg::OnDeleteEnergyData},
        {IDC_BTN_SET_DISPLAY_TIME, &CQuorvexDlg::OnSetDisplayTime},
        {IDC_BTN_SET_SCREEN, &CQuorvexDlg::OnSetScreenNumber},
        {IDC_BTN_SET_DECIMAL, &CQuorvexDlg::OnSetDecimal},
        {IDC_BTN_SET_SN, &CQuorvexDlg::OnSetSerialNumber},
        {IDC_BTN_READ_SCREEN, &CQuorvexDlg::OnReadScreenNumber},
        {IDC_BTN_READ_DECIMAL, &CQuorvexDlg::OnReadDecimal},
        {IDC_BTN_READ_DISPLAY_TIME, &CQuorvexDlg::OnReadDisplayTime},
        {IDC_BTN_READ_BAUD, &CQuorvexDlg::OnReadBaudRate},
        {IDC_BTN_VIEW_SP, &CQuorvexDlg::OnViewDanData},
        {IDC_BTN_DELETE_SP, &CQuorvexDlg::OnDeleteDanData},
        {IDC_BTN_SHOW_PASSWORD, &CQuorvexDlg::OnShowPassword},
        {IDC_BTN_SET_PASSWORD, &CQuorvexDlg::OnSetPassword},
        {IDC_BTN_READ_PASSWORD, &CQuorvexDlg::OnReadPassword},
        {IDC_BTN_SET_CT, &CQuorvexDlg::OnSetCtRatio},
        {IDC_BTN_READ_CT, &CQuorvexDlg::OnReadCtRatio},
        {IDC_BTN_SET_PARITY, &CQuorvexDlg::OnSetParity},
        {IDC_BTN_READ_PARITY, &CQuorvexDlg::OnReadParity},
        {IDC_BTN_CLEAR_ZERO, &CQuorvexDlg::OnClearZero},
    };
    return commands;
}

CQuorvexDlg::CQuorvexDlg(QWidget* parent)
    : CDialog(kMainDialogTemplate, parent), m_hIcon(LoadAppIcon()), m_pRecvBuf(std::make_unique<RecvBuffer>())
{
    m_pRecvBuf->fill(0);
    // A fixed-size window with a minimise box and no maximise box.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
}

// The port and the buffer belong to the close handling; the members go with the window.
CQuorvexDlg::~CQuorvexDlg() = default;

QWidget* CQuorvexDlg::CreateControl(const ControlTemplate& control)
{
    const QString caption = QString::fromUtf8(control.caption);
    switch (control.kind) {
    case ControlKind::Static: {
        auto* label = new CColorStatic;
        label->setText(caption);
        return label;
    }
    case ControlKind::PushButton: {
        auto* button = new CMyButton;
        button->setText(caption);
        return button;
    }
    case ControlKind::GroupBox: {
        auto* box = new CXPGroupBox;
        box->setTitle(caption);
        return box;
    }
    default:
        return CDialog::CreateControl(control);
    }
}

void CQuorvexDlg::DoDataExchange()
{
    // Commands read and write the controls directly; binding is by id, so nothing is
    // exchanged here beyond wiring the buttons to their handlers.
    for (const CommandBinding& command : Commands()) {
        OnCommand(command.id, [this, handler = command.handler] { (this->*handler)(); });
    }
}

bool CQuorvexDlg::OnInitDialog()
{
    setWindowIcon(m_hIcon);

    for (const ButtonRow& row : kButtons) {
        if (auto* button = DlgItem<CMyButton>(row.id); button && row.colours) {
            button->SetPressedColor(row.colours->pressed);
            button->SetNormalColor(row.colours->normal);
        }
    }
    for (int id : kGroupBoxes) {
        if (auto* box = DlgItem<CXPGroupBox>(id)) {
            box->SetFillColors(kWindowBlue, kWindowBlue).SetTitlePointSize(12);
        }
    }

    for (const ListEntries& list : DropDownLists()) {
        auto* combo = DlgItem<QComboBox>(list.id);
        if (list.id == IDC_COMBO_COM) {
            for (int port = 1; port <= kComPortCount; ++port) {
                combo->insertItem(port - 1, QStringLiteral("COM%1").arg(port));
            }
        } else {
            for (int i = 0; i < list.entries.size(); ++i) {
                combo->insertItem(i, list.entries.at(i));
            }
        }
        combo->setCurrentIndex(0);
    }
    // Where each COM number leads is worked out when the operator hovers over the list, so
    // that an adapter plugged in after start-up shows up.
    DlgItem<QComboBox>(IDC_COMBO_COM)->installEventFilter(this);

    m_pDlgEnergyData = new CDlgEnergyData(this);
    m_pDlgEnergyData->Create();
    m_pDlgEnergyData->hide();
    m_pDlgDanData = new CDlgDanData(this);
    m_pDlgDanData->Create();
    m_pDlgDanData->hide();
    return true;
}

bool CQuorvexDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ToolTip && watched == GetDlgItem(IDC_COMBO_COM)) {
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::showText(help->globalPos(), FromStd(DescribeComPorts(1, kComPortCount)), GetDlgItem(IDC_COMBO_COM));
        return true;
    }
    return CDialog::eventFilter(watched, event);
}

void CQuorvexDlg::paintEvent(QPaintEvent* event)
{
    // A top-to-bottom gradient between two equal colours: one light blue, kept as a
    // gradient so that a second colour is a one-line change.
    QPainter painter(this);
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, ToQColor(kWindowBlue));
    gradient.setColorAt(1, ToQColor(kWindowBlue));
    painter.fillRect(rect(), gradient);
    CDialog::paintEvent(event);
}

void CQuorvexDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // The window menu: the about entry comes last, after a separator.
    QMenu menu(this);
    menu.addAction(QStringLiteral("最小化(&N)"), this, &QWidget::showMinimized);
    menu.addAction(QStringLiteral("关闭(&C)"), this, &QWidget::close);
    const QString about = LoadResourceString(IDS_ABOUTBOX);
    if (!about.isEmpty()) {
        menu.addSeparator();
        menu.addAction(about, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    }
    menu.exec(event->globalPos());
}

void CQuorvexDlg::OnSysCommand(int commandId)
{
    if ((commandId & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.DoModal();
    }
}

void CQuorvexDlg::closeEvent(QCloseEvent* event)
{
    OnClose();
    CDialog::closeEvent(event);
}

// Port control and traffic areas

void CQuorvexDlg::OnOpenPort()
{
    const int port = GetDlgItemText(IDC_COMBO_COM).mid(3).toInt();
    const int baud = GetDlgItemText(IDC_COMBO_BAUD).toInt();
    const auto parity = static_cast<std::uint8_t>(DlgItem<QComboBox>(IDC_COMBO_PARITY)->currentIndex());
    if (PortOpen(port, static_cast<std::uint32_t>(baud), kDataBits, parity, kOneStopBit, kQueueSize, kQueueSize,
                 kWriteTimeoutMs)) {
        EnableDlgItem(IDC_BTN_OPEN, false);
        EnableDlgItem(IDC_BTN_CLOSE, true);
        m_bPortOpen = 1;
    } else {
        AfxMessageBox(QStringLiteral("Serial port is occupied！"));
        m_bPortOpen = 0;
    }
}

void CQuorvexDlg::OnClosePort()
{
    if (m_bPortOpen) {
        PortClose();
    }
    EnableDlgItem(IDC_BTN_OPEN, true);
    EnableDlgItem(IDC_BTN_CLOSE, false);
    m_bPortOpen = 0;
    // Assigned empty rather than cleared: clear() keeps the capacity, and a day of readings
    // would stay allocated until the window closes.
    m_danDataList = CDanDataList();
    m_energyList = CCEnergyList();
    m_nDecimalMode = 0;
}

bool CQuorvexDlg::CheckPortOpen()
{
    if (m_bPortOpen) {
        return true;
    }
    AfxMessageBox(QStringLiteral("Serial port is unopened"));
    return false;
}

void CQuorvexDlg::OnClearSend() { SetDlgItemText(IDC_EDIT_SEND, QString()); }

void CQuorvexDlg::OnClearRecv() { SetDlgItemText(IDC_EDIT_RECV, QString()); }

void CQuorvexDlg::OnClose()
{
    // The buffer goes first; every command checks for it, so a late click cannot reach it.
    m_pRecvBuf.reset();
    delete m_pDlgEnergyData;
    delete m_pDlgDanData;
    if (m_bPortOpen) {
        PortClose();
        m_bPortOpen = 0;
    }
}

// The exchange, wired to the port and to the two traffic areas

Link CQuorvexDlg::PortLink() const
{
    return Link{
        [] { return PortIsOpen(); },
        [](std::uint32_t count, const std::uint8_t* bytes) { return PortWrite(count, bytes); },
        [](std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) {
            return PortRead(capacity, buffer, waitMs);
        },
        [](unsigned milliseconds) { Sleep(milliseconds); },
    };
}

Traffic CQuorvexDlg::TrafficAreas()
{
    return Traffic{
        [this](const std::string& hex) { SetDlgItemText(IDC_EDIT_SEND, FromStd(hex)); },
        [this](const std::string& hex) { SetDlgItemText(IDC_EDIT_RECV, FromStd(hex)); },
    };
}

ExchangeResult CQuorvexDlg::Exchange(const Frame& request, unsigned waitMs, ReplyTest accept, ReplyShown shown,
                                     Report shortWrite, std::size_t* replyLength)
{
    const ExchangeResult result =
        RunExchange(PortLink(), TrafficAreas(), *m_pRecvBuf, ExchangeSteps{request, waitMs, accept, shown}, replyLength);
    if (result == ExchangeResult::ShortWrite) {
        if (shortWrite == Report::MessageBox) {
            AfxMessageBox(QStringLiteral("write data error"));
        } else if (shortWrite == Report::Debug) {
            DebugOutput(QStringLiteral("write data error"));
        }
    }
    return result;
}

MeterType CQuorvexDlg::SelectedMeterType() const
{
    return MeterTypeFromIndex(DlgItem<QComboBox>(IDC_COMBO_METER_TYPE)->currentIndex());
}

std::optional<std::uint8_t> CQuorvexDlg::ReadAddressField(int lowest)
{
    // Text that is not a number reads as 0. A number too large for an int is refused like
    // any other number out of range, rather than read as 0 and sent to every meter.
    const DlgInt address = ParseDlgInt(GetDlgItemText(IDC_EDIT_ADDRESS));
    if (address.status == DlgInt::Status::Overflow || address.value < lowest || address.value > kHighestAddress) {
        AfxMessageBox(QStringLiteral("address Between 0~255"));
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(address.value);
}

bool CQuorvexDlg::SelectEntryWithText(int comboId, const QString& text)
{
    auto* combo = DlgItem<QComboBox>(comboId);
    const int index = combo->findText(text, Qt::MatchExactly);
    if (index < 0) {
        return false;
    }
    combo->setCurrentIndex(index);
    return true;
}

void CQuorvexDlg::SetDecimalModeFromRegister(int value)
{
    if (value == 1 || value == 2) {
        DlgItem<QComboBox>(IDC_COMBO_DECIMAL)->setCurrentIndex(value - 1);
        m_nDecimalMode = value;
    } else {
        m_nDecimalMode = 0;
    }
}

void CQuorvexDlg::AssignToSelectedRecord(QString CDanData::*danField, QString CCEnergy::*energyField,
                                         const QString& text)
{
    switch (SelectedMeterType()) {
    case MeterType::SinglePhase:
        m_curDanData.*danField = text;
        break;
    case MeterType::ThreePhase:
        m_curEnergy.*energyField = text;
        break;
    case MeterType::Other:
        break;
    }
}

// Setting commands

void CQuorvexDlg::RunSetting(const SettingRow& row)
{
    if (!m_pRecvBuf || !CheckPortOpen()) {
        return;
    }
    const bool newAddress = row.input == SettingRow::Input::NewAddress;
    const std::optional<std::uint8_t> address = ReadAddressField(newAddress ? 1 : 0);
    if (!address) {
        return;
    }

    const MeterType type = SelectedMeterType();
    std::vector<std::uint8_t> data;
    const QString text = GetDlgItemText(row.inputId);
    switch (row.input) {
    case SettingRow::Input::ComboNumber:
        data = {0x00, static_cast<std::uint8_t>(text.toInt())};
        break;
    case SettingRow::Input::BaudRate:
        data = {0x00, BaudCode(text.toInt())};
        break;
    case SettingRow::Input::Parity:
        data = {0x00, ParityCodeFromText(text.toStdString()).value_or(0)};
        break;
    case SettingRow::Input::NewAddress:
        data = {0x00, *address};
        break;
    case SettingRow::Input::SerialNumber: {
        const auto packed = PackSerialNumber(text.toStdU32String());
        data.assign(packed.begin(), packed.end());
        break;
    }
    case SettingRow::Input::Password: {
        const std::u32string characters = text.toStdU32String();
        if (characters.size() != 4) {
            AfxMessageBox(QStringLiteral("length is 4"));
            return;
        }
        const auto packed = PackPassword(characters);
        data.assign(packed.begin(), packed.end());
        break;
    }
    }
    if (row.singlePhaseRefusal && type == MeterType::SinglePhase) {
        AfxMessageBox(QString::fromUtf8(row.singlePhaseRefusal));
        return;
    }

    const Frame request = BuildWriteRequest(newAddress ? kAnyMeter : *address, RegisterOf(row.property, type), data);
    if (Exchange(request, row.waitMs, ReplyIsWriteAck, ReplyShown::AfterTest, row.shortWrite) !=
        ExchangeResult::Accepted) {
        return;
    }
    AfxMessageBox(QStringLiteral("success!"));

    switch (row.then) {
    case SettingRow::Then::Nothing:
        break;
    case SettingRow::Then::SelectPortBaud:
        SelectEntryWithText(IDC_COMBO_BAUD, text);
        break;
    case SettingRow::Then::SelectPortParity:
        SelectEntryWithText(IDC_COMBO_PARITY, text);
        break;
    case SettingRow::Then::SetDecimalMode:
        if (data[1] == 1 || data[1] == 2) {
            m_nDecimalMode = data[1];
        }
        break;
    }
}

void CQuorvexDlg::OnSetBaudRate() { RunSetting(SettingRowOf(IDC_BTN_SET_BAUD)); }
void CQuorvexDlg::OnSetAddress() { RunSetting(SettingRowOf(IDC_BTN_SET_ADDRESS)); }
void CQuorvexDlg::OnSetDisplayTime() { RunSetting(SettingRowOf(IDC_BTN_SET_DISPLAY_TIME)); }
void CQuorvexDlg::OnSetScreenNumber() { RunSetting(SettingRowOf(IDC_BTN_SET_SCREEN)); }
void CQuorvexDlg::OnSetDecimal() { RunSetting(SettingRowOf(IDC_BTN_SET_DECIMAL)); }
void CQuorvexDlg::OnSetSerialNumber() { RunSetting(SettingRowOf(IDC_BTN_SET_SN)); }
void CQuorvexDlg::OnSetPassword() { RunSetting(SettingRowOf(IDC_BTN_SET_PASSWORD)); }
void CQuorvexDlg::OnSetCtRatio() { RunSetting(SettingRowOf(IDC_BTN_SET_CT)); }
void CQuorvexDlg::OnSetParity() { RunSetting(SettingRowOf(IDC_BTN_SET_PARITY)); }

void CQuorvexDlg::OnClearZero()
{
    if (!m_pRecvBuf || !CheckPortOpen()) {
        return;
    }
    // The frame carries no Modbus address, but a field that makes no sense still stops it.
    if (!ReadAddressField(0)) {
        return;
    }
    if (Exchange(BuildClearZeroFrame(), 800, ReplyIsClearZeroAck, ReplyShown::AfterTest, Report::Debug) ==
        ExchangeResult::Accepted) {
        AfxMessageBox(QStringLiteral("clear zero success"));
    }
}

// Property reads

const CQuorvexDlg::ReadRow& CQuorvexDlg::ReadRowOf(int button)
{
    static const std::array<ReadRow, 9> rows{{
        {IDC_BTN_READ_ADDRESS, MeterProperty::Address, 1200, AddressReplyOk, Report::MessageBox, false, false,
         &CQuorvexDlg::ApplyAddress},
        {IDC_BTN_READ_SN, MeterProperty::SerialNumber, 800, FunctionIsRead, Report::MessageBox, true, false,
         &CQuorvexDlg::ApplySerialNumber},
        {IDC_BTN_READ_SCREEN, MeterProperty::ScreenNumber, 300, OneRegisterReplyOk, Report::MessageBox, false,
         false, &CQuorvexDlg::ApplyScreenNumber},
        {IDC_BTN_READ_DECIMAL, MeterProperty::DecimalPlaces, 800, OneRegisterReplyOk, Report::MessageBox, false,
         false, &CQuorvexDlg::ApplyDecimal},
        {IDC_BTN_READ_DISPLAY_TIME, MeterProperty::DisplayTime, 800, OneRegisterReplyOk, Report::MessageBox, false,
         false, &CQuorvexDlg::ApplyDisplayTime},
        {IDC_BTN_READ_BAUD, MeterProperty::BaudRate, 200, OneRegisterReplyOk, Report::Silent, false, false,
         &CQuorvexDlg::ApplyBaudRate},
        {IDC_BTN_READ_PASSWORD, MeterProperty::Password, 500, OneRegisterReplyOk, Report::Silent, false, true,
         &CQuorvexDlg::ApplyPassword},
        {IDC_BTN_READ_CT, MeterProperty::CtRatio, 800, OneRegisterReplyOk, Report::MessageBox, false, true,
         &CQuorvexDlg::ApplyCtRatio},
        {IDC_BTN_READ_PARITY, MeterProperty::Parity, 200, OneRegisterReplyOk, Report::Silent, false, false,
         &CQuorvexDlg::ApplyParity},
    }};
    const auto* row = std::find_if(rows.begin(), rows.end(), [button](const ReadRow& r) { return r.button == button; });
    return row != rows.end() ? *row : rows.front();
}

void CQuorvexDlg::RunRead(const ReadRow& row)
{
    if (!m_pRecvBuf || !CheckPortOpen()) {
        return;
    }
    if (row.checksAddress && !ReadAddressField(0)) {
        return;
    }
    const MeterType type = SelectedMeterType();
    if (row.threePhaseOnly && type == MeterType::SinglePhase) {
        AfxMessageBox(QStringLiteral("single is not read"));
        return;
    }
    const Frame request = BuildReadRequest(kAnyMeter, RegisterOf(row.property, type), ReadCountOf(row.property, type));
    std::size_t count = 0;
    if (Exchange(request, row.waitMs, row.accept, ReplyShown::BeforeTest, row.shortWrite, &count) ==
        ExchangeResult::Accepted) {
        (this->*row.apply)(*m_pRecvBuf, count);
    }
}

void CQuorvexDlg::ApplyAddress(const RecvBuffer& reply, std::size_t)
{
    const int address = FirstRegister(reply);
    const QString text = QString::number(address);
    switch (SelectedMeterType()) {
    case MeterType::SinglePhase:
        m_nDecimalMode = 1;
        m_curDanData.m_strAddress = text;
        SetDlgItemInt(IDC_EDIT_ADDRESS, address);
        break;
    case MeterType::ThreePhase:
        // The six registers: address, screen number, display time, decimals, serial number.
        m_curEnergy.m_strAddress = text;
        SetDlgItemInt(IDC_EDIT_ADDRESS, address);
        SetDecimalModeFromRegister(reply[9] * 256 + reply[10]);
        m_curEnergy.m_strSN = FromStd(FormatLowerHexDigits(reply.data() + 11, 4));
        break;
    case MeterType::Other:
        break;
    }
}

void CQuorvexDlg::ApplySerialNumber(const RecvBuffer& reply, std::size_t)
{
    const QString serial = FromStd(FormatLowerHexDigits(reply.data() + 3, 4));
    SetDlgItemText(IDC_EDIT_SN, serial);
    AssignToSelectedRecord(&CDanData::m_strSN, &CCEnergy::m_strSN, serial);
}

void CQuorvexDlg::ApplyScreenNumber(const RecvBuffer& reply, std::size_t)
{
    SelectEntryWithText(IDC_COMBO_SCREEN, QString::number(FirstRegister(reply)));
}

void CQuorvexDlg::ApplyDecimal(const RecvBuffer& reply, std::size_t)
{
    SetDecimalModeFromRegister(FirstRegister(reply));
}

void CQuorvexDlg::ApplyDisplayTime(const RecvBuffer& reply, std::size_t)
{
    SelectEntryWithText(IDC_COMBO_DISPLAY_TIME, QString::number(FirstRegister(reply)));
}

void CQuorvexDlg::ApplyBaudRate(const RecvBuffer& reply, std::size_t count)
{
    if (const std::optional<int> index = BaudIndexFromCode(ByteBeforeCrc(reply, count))) {
        DlgItem<QComboBox>(IDC_COMBO_BAUD)->setCurrentIndex(*index);
        DlgItem<QComboBox>(IDC_COMBO_METER_BAUD)->setCurrentIndex(*index);
    }
}

void CQuorvexDlg::ApplyPassword(const RecvBuffer& reply, std::size_t count)
{
    const std::uint8_t digits[2] = {ByteBeforeCrc(reply, count, 2), ByteBeforeCrc(reply, count, 1)};
    SetDlgItemText(IDC_EDIT_PASSWORD, FromStd(FormatLowerHexDigits(digits, 2)));
}

void CQuorvexDlg::ApplyCtRatio(const RecvBuffer& reply, std::size_t)
{
    SelectEntryWithText(IDC_COMBO_CT_RATIO, QString::number(FirstRegister(reply)));
}

void CQuorvexDlg::ApplyParity(const RecvBuffer& reply, std::size_t count)
{
    if (const std::optional<int> index = ParityIndexFromCode(ByteBeforeCrc(reply, count))) {
        DlgItem<QComboBox>(IDC_COMBO_PARITY)->setCurrentIndex(*index);
        DlgItem<QComboBox>(IDC_COMBO_METER_PARITY)->setCurrentIndex(*index);
    }
}

void CQuorvexDlg::OnReadAddress() { RunRead(ReadRowOf(IDC_BTN_READ_ADDRESS)); }
void CQuorvexDlg::OnReadSerialNumber() { RunRead(ReadRowOf(IDC_BTN_READ_SN)); }
void CQuorvexDlg::OnReadScreenNumber() { RunRead(ReadRowOf(IDC_BTN_READ_SCREEN)); }
void CQuorvexDlg::OnReadDecimal() { RunRead(ReadRowOf(IDC_BTN_READ_DECIMAL)); }
void CQuorvexDlg::OnReadDisplayTime() { RunRead(ReadRowOf(IDC_BTN_READ_DISPLAY_TIME)); }
void CQuorvexDlg::OnReadBaudRate() { RunRead(ReadRowOf(IDC_BTN_READ_BAUD)); }
void CQuorvexDlg::OnReadPassword() { RunRead(ReadRowOf(IDC_BTN_READ_PASSWORD)); }
void CQuorvexDlg::OnReadCtRatio() { RunRead(ReadRowOf(IDC_BTN_READ_CT)); }
void CQuorvexDlg::OnReadParity() { RunRead(ReadRowOf(IDC_BTN_READ_PARITY)); }

void CQuorvexDlg::OnShowPassword()
{
    AfxMessageBox(QStringLiteral("password is：") + GetDlgItemText(IDC_EDIT_PASSWORD));
}

// Read meter

void CQuorvexDlg::OnReadMeter()
{
    if (m_nDecimalMode == 0) {
        AfxMessageBox(QStringLiteral("first Read address"));
        return;
    }
    if (!m_pRecvBuf || !CheckPortOpen()) {
        return;
    }
    std::uint16_t registers = 0;
    switch (SelectedMeterType()) {
    case MeterType::SinglePhase:
        registers = kSinglePhaseRegisters;
        break;
    case MeterType::ThreePhase:
        registers = kThreePhaseRegisters;
        break;
    case MeterType::Other:
        break;
    }
    const Frame request = BuildReadRequest(kAnyMeter, 0, registers);
    SetDlgItemText(IDC_EDIT_SEND, FromStd(FormatHexBytes(request.data(), request.size())));
    if (!PortIsOpen()) {
        return;
    }
    if (PortWrite(static_cast<std::uint32_t>(request.size()), request.data()) != request.size()) {
        AfxMessageBox(QStringLiteral("write data error"));
        return;
    }

    // The meter type is looked at again at every piece, as the operator may change it while
    // the reply comes in.
    const GatherSteps steps{
        kReadMeterWaitMs,
        [this]() -> std::size_t {
            switch (SelectedMeterType()) {
            case MeterType::SinglePhase:
                return kSinglePhaseReplySize;
            case MeterType::ThreePhase:
                return kThreePhaseReplySize;
            case MeterType::Other:
                break;
            }
            return 0;
        },
        [this] { return SelectedMeterType() == MeterType::ThreePhase ? kThreePhasePauseMs : kSinglePhasePauseMs; },
        [](const std::string& line) { DebugOutput(FromStd(line)); },
    };
    std::size_t gathered = 0;
    const std::optional<std::size_t> count = GatherReply(PortLink(), *m_pRecvBuf, steps, &gathered);
    m_nRecvCount = static_cast<int>(gathered);
    if (!count) {
        return;
    }
    const RecvBuffer& reply = *m_pRecvBuf;
    SetDlgItemText(IDC_EDIT_RECV, FromStd(FormatHexBytes(reply.data(), *count)));
    if (reply[2] != kThreePhaseByteCount && reply[2] != kSinglePhaseByteCount) {
        return;
    }
    if (*count < 2) {
        return;
    }
    const std::uint16_t computed = CalcCrc16(reply.data(), static_cast<std::uint16_t>(*count - 2));
    const int received = reply[*count - 2] * 256 + reply[*count - 1];
    DebugOutput(QStringLiteral("crc:%1").arg(computed));
    DebugOutput(QStringLiteral("crc2:%1").arg(received));
    if (computed != received) {
        return;
    }
    switch (SelectedMeterType()) {
    case MeterType::SinglePhase:
        DecodeSinglePhaseReply();
        break;
    case MeterType::ThreePhase:
        DecodeThreePhaseReply();
        break;
    case MeterType::Other:
        break;
    }
}

void CQuorvexDlg::DecodeSinglePhaseReply()
{
    const SinglePhaseValues values =
        DecodeSinglePhase({m_pRecvBuf->data(), static_cast<std::size_t>(m_nRecvCount)});
    SetDecimalModeFromRegister(values.decimalModeRegister);

    const auto put = [this](int editId, QString CDanData::*field, const std::string& text) {
        const QString value = FromStd(text);
        if (editId != 0) {
            SetDlgItemText(editId, value);
        }
        m_curDanData.*field = value;
    };
    // Without a known decimal mode the energies cannot be read: they keep their last texts.
    if (values.activeKWh) {
        put(IDC_EDIT_SP_ACTIVE_KWH, &CDanData::m_strActiveKWh, *values.activeKWh);
        put(IDC_EDIT_SP_POSITIVE_KWH, &CDanData::m_strPositiveKWh, *values.positiveKWh);
        put(IDC_EDIT_SP_REVERSE_KWH, &CDanData::m_strReverseKWh, *values.reverseKWh);
    }
    put(IDC_EDIT_SP_VOLTAGE_L1, &CDanData::m_strVoltageL1, values.voltageL1);
    put(IDC_EDIT_SP_CURRENT_L1, &CDanData::m_strCurrentL1, values.currentL1);
    put(IDC_EDIT_SP_ACTIVE_POWER, &CDanData::m_strActivePower, values.activePower);
    put(IDC_EDIT_SP_REACTIVE_POWER, &CDanData::m_strReactivePower, values.reactivePower);
    put(0, &CDanData::m_strApparentPower, values.apparentPower);
    put(IDC_EDIT_SP_PF, &CDanData::m_strPowerFactor, values.powerFactor);
    put(IDC_EDIT_SP_FREQUENCY, &CDanData::m_strFrequency, values.frequency);
    put(0, &CDanData::m_strSN, values.serialNumber);
    put(IDC_EDIT_SP_CONSTANT, &CDanData::m_strConstant, values.constant);
    put(IDC_EDIT_SP_TARIFF, &CDanData::m_strTariffNumber, values.tariffNumber);
    m_danDataList.append(m_curDanData);
}

void CQuorvexDlg::DecodeThreePhaseReply()
{
    const auto texts =
        DecodeThreePhase({m_pRecvBuf->data(), static_cast<std::size_t>(m_nRecvCount)}, m_nDecimalMode);
    for (int i = 0; i < TpValueCount; ++i) {
        const QString value = FromStd(texts[i]);
        SetDlgItemText(kThreePhaseTargets[i].edit, value);
        m_curEnergy.*(kThreePhaseTargets[i].field) = value;
    }
    m_energyList.append(m_curEnergy);
}

// The readings

void CQuorvexDlg::OnViewDanData()
{
    if (!m_pDlgDanData) {
        return;
    }
    m_pDlgDanData->FillList(m_danDataList);
    m_pDlgDanData->show();
    m_pDlgDanData->CenterWindow(this);
}

void CQuorvexDlg::OnViewEnergyData()
{
    if (!m_pDlgEnergyData) {
        return;
    }
    m_pDlgEnergyData->FillList(m_energyList);
    m_pDlgEnergyData->CenterWindow(this);
    m_pDlgEnergyData->show();
}

void CQuorvexDlg::OnDeleteDanData()
{
    for (int id : kSinglePhaseValueEdits) {
        SetDlgItemText(id, QString());
    }
}

void CQuorvexDlg::OnDeleteEnergyData()
{
    for (int id : kThreePhaseValueEdits) {
        SetDlgItemText(id, QString());
    }
}
