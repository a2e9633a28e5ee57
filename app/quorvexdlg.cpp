#include "quorvexdlg.h"

#include "aboutdlg.h"
#include "colorref.h"
#include "colorstatic.h"
#include "commands.h"
#include "comports.h"
#include "framelog.h"
#include "meterdata.h"
#include "mybutton.h"
#include "port.h"
#include "resource.h"
#include "savetostore.h"
#include "meterfinder.h"
#include "sinks.h"
#include "templates.h"
#include "trafficlogdlg.h"
#include "xpgroupbox.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QHelpEvent>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QProgressDialog>
#include <QToolTip>

#include <algorithm>
#include <array>

// Button colours: teal for the port, blue for reads and views; the setting buttons keep the
// button's own yellow, so that a command that changes a meter stands out.
struct ButtonColours
{
    COLORREF pressed;
    COLORREF normal;
};

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

const QStringList kBaudTexts{"1200", "2400", "4800", "9600"};
const QStringList kParityListTexts{"None check", "Odd check", "Even check"};

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
        {IDC_COMBO_PARITY, kParityListTexts},
        {IDC_COMBO_METER_BAUD, kBaudTexts},
        {IDC_COMBO_METER_TYPE, {"Single phase meter", "Three phase meter"}},
        {IDC_COMBO_DECIMAL, Numbers({1, 2})},
        {IDC_COMBO_DISPLAY_TIME, Numbers({1, 2, 3, 4, 5})},
        {IDC_COMBO_SCREEN, Numbers({3, 6, 7, 8, 9, 10, 11, 12, 13, 14})},
        {IDC_COMBO_CT_RATIO, CtRatios()},
        {IDC_COMBO_METER_PARITY, kParityListTexts},
    }};
    return lists;
}

constexpr int kComPortCount = 10;



constexpr ButtonColours kPortColours{RGB(34, 134, 159), RGB(27, 106, 126)};
constexpr ButtonColours kReadColours{RGB(0, 153, 227), RGB(0, 128, 192)};

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

QString FromStd(const std::string& text) { return QString::fromStdString(text); }

// The three-phase-only commands' refusals on a single-phase meter.
const char* SinglePhaseRefusal(Command command)
{
    switch (command) {
    case Command::SetPassword:
        return "single is not password";
    case Command::SetCtRatio:
        return "single is not set ct";
    default:
        return "single is not read";
    }
}

// Where a setting's value comes from.
int SettingInput(MeterProperty property)
{
    switch (property) {
    case MeterProperty::SerialNumber:
        return IDC_EDIT_SN;
    case MeterProperty::Address:
        return IDC_EDIT_ADDRESS;
    case MeterProperty::DisplayTime:
        return IDC_COMBO_DISPLAY_TIME;
    case MeterProperty::ScreenNumber:
        return IDC_COMBO_SCREEN;
    case MeterProperty::DecimalPlaces:
        return IDC_COMBO_DECIMAL;
    case MeterProperty::BaudRate:
        return IDC_COMBO_METER_BAUD;
    case MeterProperty::CtRatio:
        return IDC_COMBO_CT_RATIO;
    case MeterProperty::Password:
        return IDC_EDIT_PASSWORD;
    case MeterProperty::Parity:
        return IDC_COMBO_METER_PARITY;
    }
    return 0;
}

} // namespace

// Every button: its handler, in the window's binding order, and its colours.
const std::vector<CQuorvexDlg::CommandBinding>& CQuorvexDlg::Commands()
{
    static const std::vector<CommandBinding> commands{
        {IDC_BTN_OPEN, &CQuorvexDlg::OnOpenPort, &kPortColours},
        {IDC_BTN_CLOSE, &CQuorvexDlg::OnClosePort, &kPortColours},
        {IDC_BTN_SET_BAUD, &CQuorvexDlg::OnSetBaudRate, nullptr},
        {IDC_BTN_SET_ADDRESS, &CQuorvexDlg::OnSetAddress, nullptr},
        {IDC_BTN_READ_ADDRESS, &CQuorvexDlg::OnReadAddress, &kReadColours},
        {IDC_BTN_CLEAR_SEND, &CQuorvexDlg::OnClearSend, &kReadColours},
        {IDC_BTN_READ_METER, &CQuorvexDlg::OnReadMeter, &kReadColours},
        {IDC_BTN_CLEAR_RECV, &CQuorvexDlg::OnClearRecv, &kReadColours},
        {IDC_BTN_VIEW_TP, &CQuorvexDlg::OnViewEnergyData, &kReadColours},
        {IDC_BTN_READ_SN, &CQuorvexDlg::OnReadSerialNumber, &kReadColours},
        {IDC_BTN_DELETE_TP, &CQuorvexDlg::OnDeleteEnergyData, &kReadColours},
        {IDC_BTN_SET_DISPLAY_TIME, &CQuorvexDlg::OnSetDisplayTime, nullptr},
        {IDC_BTN_SET_SCREEN, &CQuorvexDlg::OnSetScreenNumber, nullptr},
        {IDC_BTN_SET_DECIMAL, &CQuorvexDlg::OnSetDecimal, nullptr},
        {IDC_BTN_SET_SN, &CQuorvexDlg::OnSetSerialNumber, nullptr},
        {IDC_BTN_READ_SCREEN, &CQuorvexDlg::OnReadScreenNumber, &kReadColours},
        {IDC_BTN_READ_DECIMAL, &CQuorvexDlg::OnReadDecimal, &kReadColours},
        {IDC_BTN_READ_DISPLAY_TIME, &CQuorvexDlg::OnReadDisplayTime, &kReadColours},
        {IDC_BTN_READ_BAUD, &CQuorvexDlg::OnReadBaudRate, &kReadColours},
        {IDC_BTN_VIEW_SP, &CQuorvexDlg::OnViewDanData, &kReadColours},
        {IDC_BTN_DELETE_SP, &CQuorvexDlg::OnDeleteDanData, &kReadColours},
        {IDC_BTN_SHOW_PASSWORD, &CQuorvexDlg::OnShowPassword, &kReadColours},
        {IDC_BTN_SET_PASSWORD, &CQuorvexDlg::OnSetPassword, nullptr},
        {IDC_BTN_READ_PASSWORD, &CQuorvexDlg::OnReadPassword, &kReadColours},
        {IDC_BTN_SET_CT, &CQuorvexDlg::OnSetCtRatio, nullptr},
        {IDC_BTN_READ_CT, &CQuorvexDlg::OnReadCtRatio, &kReadColours},
        {IDC_BTN_SET_PARITY, &CQuorvexDlg::OnSetParity, nullptr},
        {IDC_BTN_READ_PARITY, &CQuorvexDlg::OnReadParity, &kReadColours},
        {IDC_BTN_CLEAR_ZERO, &CQuorvexDlg::OnClearZero, &kReadColours},
    };
    return commands;
}

CQuorvexDlg::CQuorvexDlg(QWidget* parent)
    : CDialog(kMainDialogTemplate, parent), m_hIcon(LoadAppIcon()), m_pRecvBuf(std::make_unique<RecvBuffer>()),
      m_pTrafficLog(std::make_unique<FrameLog>())
{
    m_pRecvBuf->fill(0);
    // A fixed-size window with a minimise box and no maximise box.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
}

// The port and the buffer belong to the close handling; the members go with the window. The
// log window reads the log until it goes, so it goes first.
CQuorvexDlg::~CQuorvexDlg() { delete m_pDlgTrafficLog; }

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

    for (const CommandBinding& row : Commands()) {
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
    menu.addSeparator();
    menu.addAction(QStringLiteral("通信记录(&L)..."), this, &CQuorvexDlg::OnTrafficLog);
    menu.addAction(QStringLiteral("查找电表(&F)..."), this, &CQuorvexDlg::OnFindMeter);
    menu.addAction(QStringLiteral("保存到数据库(&D)..."), this, &CQuorvexDlg::OnSaveToStore);
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

void CQuorvexDlg::OnTrafficLog()
{
    if (!m_pDlgTrafficLog) {
        m_pDlgTrafficLog = new CDlgTrafficLog(*m_pTrafficLog, this);
    }
    m_pDlgTrafficLog->show();
}

void CQuorvexDlg::OnSaveToStore()
{
    const QString url = AskStoreUrl(this, QString::fromStdString(Store::DefaultPath()));
    if (!url.isEmpty()) {
        AfxMessageBox(SaveReadings(url, m_danDataList, m_energyList));
    }
}

void CQuorvexDlg::OnFindMeter()
{
    const int comNumber = GetDlgItemText(IDC_COMBO_COM).mid(3).toInt();
    const std::string device = ResolveComDevice(comNumber);
    if (device.empty()) {
        AfxMessageBox(QStringLiteral("COM%1 leads to no device: there is no meter to find.").arg(comNumber));
        return;
    }
    // The search needs the line to itself; the port comes back afterwards as it was, at the
    // settings found. Readings and the decimal mode stay: the meter is the same.
    const bool wasOpen = m_bPortOpen != 0;
    if (wasOpen) {
        PortClose();
        m_bPortOpen = 0;
    }
    const MeterType firstType =
        SelectedMeterType() == MeterType::ThreePhase ? MeterType::ThreePhase : MeterType::SinglePhase;
    const FindOutcome outcome = FindMeterWithProgress(this, QStringLiteral("COM%1").arg(comNumber), device,
                                                      firstType, *m_pTrafficLog, m_pFindProgress);
    m_findTried = DescribeSettings(outcome.tried).split(QStringLiteral(", "), Qt::SkipEmptyParts);

    const auto found = std::find_if(outcome.answers.begin(), outcome.answers.end(),
                                    [](const ScanAnswer& a) { return a.found(); });
    if (!outcome.openError.empty()) {
        AfxMessageBox(QStringLiteral("Serial port is occupied！\n") + FromStd(outcome.openError));
    } else if (outcome.gatewayKeepsSettings) {
        AfxMessageBox(QStringLiteral("COM%1 leads to a gateway (%2): the line settings belong to the gateway, "
                                     "there are none to find. Set the baud rate and parity the gateway uses.")
                          .arg(comNumber)
                          .arg(FromStd(device)));
    } else if (found != outcome.answers.end() && !outcome.cancelled) {
        ApplyFoundMeter(*found);
    } else if (!outcome.cancelled) {
        std::vector<LineSetting> noisy;
        QStringList refused;
        for (const ScanAnswer& answer : outcome.answers) {
            if (answer.refused.empty()) {
                noisy.push_back(answer.setting);
            } else {
                refused << FromStd(DescribeSetting(answer.setting) + " (" + answer.refused + ")");
            }
        }
        QString text = QStringLiteral("No meter answered on COM%1 (%2).\nTried: %3.")
                           .arg(comNumber)
                           .arg(FromStd(device), DescribeSettings(outcome.tried));
        if (!noisy.empty()) {
            text += QStringLiteral("\nNoise at: %1.").arg(DescribeSettings(noisy));
        }
        if (!refused.empty()) {
            text += QStringLiteral("\nRefused by the port: %1.").arg(refused.join(QStringLiteral(", ")));
        }
        AfxMessageBox(text);
    }
    if (wasOpen) {
        OnOpenPort();
    }
}

void CQuorvexDlg::ApplyFoundMeter(const ScanAnswer& found)
{
    const int baudIndex = static_cast<int>(std::find(kBaudRates.begin(), kBaudRates.end(), found.setting.baud) -
                                           kBaudRates.begin());
    for (int id : {IDC_COMBO_BAUD, IDC_COMBO_METER_BAUD}) {
        DlgItem<QComboBox>(id)->setCurrentIndex(baudIndex);
    }
    for (int id : {IDC_COMBO_PARITY, IDC_COMBO_METER_PARITY}) {
        DlgItem<QComboBox>(id)->setCurrentIndex(found.setting.parity);
    }
    DlgItem<QComboBox>(IDC_COMBO_METER_TYPE)->setCurrentIndex(found.type == MeterType::ThreePhase ? 1 : 0);
    SetDlgItemInt(IDC_EDIT_ADDRESS, found.address);
    // The decimal mode as a read of the address sets it.
    if (found.type == MeterType::SinglePhase) {
        m_nDecimalMode = 1;
    } else if (found.decimalsRegister) {
        SetDecimalModeFromRegister(*found.decimalsRegister);
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
        // The reason goes below the fixed text: started from the desktop menu, the window is
        // all the technician sees.
        const QString reason = FromStd(PortLastError());
        const QString occupied = QStringLiteral("Serial port is occupied！");
        AfxMessageBox(reason.isEmpty() ? occupied : occupied + QLatin1Char('\n') + reason);
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
    delete m_pDlgTrafficLog;
    delete m_pDlgEnergyData;
    delete m_pDlgDanData;
    if (m_bPortOpen) {
        PortClose();
        m_bPortOpen = 0;
    }
}

// What the window's controls say

MeterType CQuorvexDlg::SelectedMeterType() const
{
    return MeterTypeFromIndex(DlgItem<QComboBox>(IDC_COMBO_METER_TYPE)->currentIndex());
}

std::optional<std::uint8_t> CQuorvexDlg::ReadAddressField(int lowest)
{
    // An empty field means 0, the address every meter answers. Anything else must be a whole
    // number in range: "1e3", "12abc" or full-width digits would otherwise read as 0, and a
    // setting meant for one meter would change every meter on the line.
    const QString text = GetDlgItemText(IDC_EDIT_ADDRESS);
    const DlgInt address = ParseDlgInt(text);
    const bool empty = text.trimmed().isEmpty();
    if ((address.status != DlgInt::Status::Ok && !empty) || address.value < lowest ||
        address.value > kHighestAddress) {
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

// The commands, run by the meter library on the window's port in the window's timing

Session CQuorvexDlg::WindowSession()
{
    Session session;
    session.link = Link{
        [] { return PortIsOpen(); },
        [](std::uint32_t count, const std::uint8_t* bytes) { return PortWrite(count, bytes); },
        [](std::uint32_t capacity, std::uint8_t* buffer, std::uint32_t waitMs) {
            return PortRead(capacity, buffer, waitMs);
        },
        [](unsigned milliseconds) { Sleep(milliseconds); },
        {},
    };
    session.timing = Timing::Window;
    session.traffic = Traffic{
        [this](const std::string& hex) { SetDlgItemText(IDC_EDIT_SEND, FromStd(hex)); },
        [this](const std::string& hex) { SetDlgItemText(IDC_EDIT_RECV, FromStd(hex)); },
    };
    session.debug = [](const std::string& line) { DebugOutput(FromStd(line)); };
    session.buffer = m_pRecvBuf.get();
    session.tap = [this](FrameDirection direction, std::span<const std::uint8_t> bytes) {
        m_pTrafficLog->append(MakeLoggedFrame(direction, bytes, {}, m_lastRequest));
    };
    return session;
}

// What the operator learns of a failed command: only that the request did not go out whole,
// reported as the command's row says; a reply that failed its check stays in the receive area.
void CQuorvexDlg::ReportFault(Command command, const CommandFault& fault)
{
    if (fault.fault != Fault::ShortWrite) {
        return;
    }
    switch (CommandRowOf(command).shortWrite) {
    case ShortWriteReport::MessageBox:
        AfxMessageBox(QStringLiteral("write data error"));
        break;
    case ShortWriteReport::Debug:
        DebugOutput(QStringLiteral("write data error"));
        break;
    case ShortWriteReport::Silent:
        break;
    }
}

// Setting commands

void CQuorvexDlg::RunSetting(Command command)
{
    if (!m_pRecvBuf || !CheckPortOpen()) {
        return;
    }
    const CommandRow& row = CommandRowOf(command);
    const MeterProperty property = row.property;
    const bool newAddress = property == MeterProperty::Address;
    const std::optional<std::uint8_t> address = ReadAddressField(newAddress ? 1 : 0);
    if (!address) {
        return;
    }

    const MeterType type = SelectedMeterType();
    const QString text = GetDlgItemText(SettingInput(property));
    SettingValue value;
    switch (property) {
    case MeterProperty::BaudRate:
    case MeterProperty::DisplayTime:
    case MeterProperty::ScreenNumber:
    case MeterProperty::DecimalPlaces:
    case MeterProperty::CtRatio:
        value.number = text.toInt();
        break;
    case MeterProperty::Parity:
        value.number = ParityCodeFromText(text.toStdString()).value_or(0);
        break;
    case MeterProperty::Address:
        value.number = *address;
        break;
    case MeterProperty::SerialNumber:
        value.text = text.toStdU32String();
        break;
    case MeterProperty::Password:
        value.text = text.toStdU32String();
        if (value.text.size() != 4) {
            AfxMessageBox(QStringLiteral("length is 4"));
            return;
        }
        break;
    }
    if (row.threePhaseOnly && type == MeterType::SinglePhase) {
        AfxMessageBox(QString::fromUtf8(SinglePhaseRefusal(command)));
        return;
    }

    Session session = WindowSession();
    // The window renames whichever meter is on its line: its present address is unknown.
    const std::uint8_t to = property == MeterProperty::Address ? 0 : *address;
    const Result<Done> result = SetProperty(session, type, to, property, value);
    if (!result) {
        ReportFault(command, result.fault());
        return;
    }
    AfxMessageBox(QStringLiteral("success!"));

    switch (property) {
    case MeterProperty::BaudRate:
        SelectEntryWithText(IDC_COMBO_BAUD, text);
        break;
    case MeterProperty::Parity:
        SelectEntryWithText(IDC_COMBO_PARITY, text);
        break;
    case MeterProperty::DecimalPlaces:
        if (value.number == 1 || value.number == 2) {
            m_nDecimalMode = value.number;
        }
        break;
    default:
        break;
    }
}

void CQuorvexDlg::OnSetBaudRate() { RunSetting(Command::SetBaudRate); }
void CQuorvexDlg::OnSetAddress() { RunSetting(Command::SetAddress); }
void CQuorvexDlg::OnSetDisplayTime() { RunSetting(Command::SetDisplayTime); }
void CQuorvexDlg::OnSetScreenNumber() { RunSetting(Command::SetScreenNumber); }
void CQuorvexDlg::OnSetDecimal() { RunSetting(Command::SetDecimal); }
void CQuorvexDlg::OnSetSerialNumber() { RunSetting(Command::SetSerialNumber); }
void CQuorvexDlg::OnSetPassword() { RunSetting(Command::SetPassword); }
void CQuorvexDlg::OnSetCtRatio() { RunSetting(Command::SetCtRatio); }
void CQuorvexDlg::OnSetParity() { RunSetting(Command::SetParity); }

void CQuorvexDlg::OnClearZero()
{
    if (!m_pRecvBuf || !CheckPortOpen()) {
        return;
    }
    // The frame carries no Modbus address, but a field that makes no sense still stops it.
    if (!ReadAddressField(0)) {
        return;
    }
    Session session = WindowSession();
    const Result<Done> result = ClearZero(session);
    if (!result) {
        ReportFault(Command::ClearZero, result.fault());
        return;
    }
    AfxMessageBox(QStringLiteral("clear zero success"));
}

// Property reads

void CQuorvexDlg::RunRead(Command command)
{
    if (!m_pRecvBuf || !CheckPortOpen()) {
        return;
    }
    const CommandRow& row = CommandRowOf(command);
    // The serial number goes to the edit the address edit sits beside: a wrong address there
    // is worth a word before the meter is asked.
    if (command == Command::ReadSerialNumber && !ReadAddressField(0)) {
        return;
    }
    const MeterType type = SelectedMeterType();
    if (row.threePhaseOnly && type == MeterType::SinglePhase) {
        AfxMessageBox(QString::fromUtf8(SinglePhaseRefusal(command)));
        return;
    }
    Session session = WindowSession();
    const Result<PropertyReading> result = ReadProperty(session, type, kAnyMeter, row.property);
    if (!result) {
        ReportFault(command, result.fault());
        return;
    }
    ApplyReading(*result, type);
}

void CQuorvexDlg::ApplyReading(const PropertyReading& reading, MeterType type)
{
    const QString value = FromStd(reading.value);
    switch (reading.property) {
    case MeterProperty::Address:
        if (type == MeterType::SinglePhase) {
            m_nDecimalMode = 1;
            m_curDanData.m_strAddress = value;
            SetDlgItemInt(IDC_EDIT_ADDRESS, reading.number);
        } else if (type == MeterType::ThreePhase) {
            m_curEnergy.m_strAddress = value;
            SetDlgItemInt(IDC_EDIT_ADDRESS, reading.number);
            // A meter that answered the address alone told neither its decimals nor its
            // serial number: what the window holds of them stays.
            if (reading.decimalsRegister) {
                SetDecimalModeFromRegister(*reading.decimalsRegister);
            }
            if (reading.serialNumber) {
                m_curEnergy.m_strSN = FromStd(*reading.serialNumber);
            }
        }
        break;
    case MeterProperty::SerialNumber:
        SetDlgItemText(IDC_EDIT_SN, value);
        AssignToSelectedRecord(&CDanData::m_strSN, &CCEnergy::m_strSN, value);
        break;
    case MeterProperty::ScreenNumber:
        SelectEntryWithText(IDC_COMBO_SCREEN, value);
        break;
    case MeterProperty::DecimalPlaces:
        SetDecimalModeFromRegister(reading.number);
        break;
    case MeterProperty::DisplayTime:
        SelectEntryWithText(IDC_COMBO_DISPLAY_TIME, value);
        break;
    case MeterProperty::CtRatio:
        SelectEntryWithText(IDC_COMBO_CT_RATIO, value);
        break;
    case MeterProperty::BaudRate:
        DlgItem<QComboBox>(IDC_COMBO_BAUD)->setCurrentIndex(reading.number);
        DlgItem<QComboBox>(IDC_COMBO_METER_BAUD)->setCurrentIndex(reading.number);
        break;
    case MeterProperty::Parity:
        DlgItem<QComboBox>(IDC_COMBO_PARITY)->setCurrentIndex(reading.number);
        DlgItem<QComboBox>(IDC_COMBO_METER_PARITY)->setCurrentIndex(reading.number);
        break;
    case MeterProperty::Password:
        SetDlgItemText(IDC_EDIT_PASSWORD, value);
        break;
    }
}

void CQuorvexDlg::OnReadAddress() { RunRead(Command::ReadAddress); }
void CQuorvexDlg::OnReadSerialNumber() { RunRead(Command::ReadSerialNumber); }
void CQuorvexDlg::OnReadScreenNumber() { RunRead(Command::ReadScreenNumber); }
void CQuorvexDlg::OnReadDecimal() { RunRead(Command::ReadDecimal); }
void CQuorvexDlg::OnReadDisplayTime() { RunRead(Command::ReadDisplayTime); }
void CQuorvexDlg::OnReadBaudRate() { RunRead(Command::ReadBaudRate); }
void CQuorvexDlg::OnReadPassword() { RunRead(Command::ReadPassword); }
void CQuorvexDlg::OnReadCtRatio() { RunRead(Command::ReadCtRatio); }
void CQuorvexDlg::OnReadParity() { RunRead(Command::ReadParity); }

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
    Session session = WindowSession();
    ReadMeterOptions options;
    options.address = kAnyMeter;
    options.decimalMode = m_nDecimalMode;
    options.meterType = [this] { return SelectedMeterType(); };
    const Result<MeterReading> result = ReadMeter(session, options);
    m_nRecvCount = static_cast<int>(session.lastReceived);
    if (!result) {
        ReportFault(Command::ReadMeter, result.fault());
        return;
    }
    switch (result->type) {
    case MeterType::SinglePhase:
        ApplySinglePhase(result->single);
        break;
    case MeterType::ThreePhase:
        ApplyThreePhase(result->three);
        break;
    case MeterType::Other:
        break;
    }
}

void CQuorvexDlg::ApplySinglePhase(const SinglePhaseValues& values)
{
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

void CQuorvexDlg::ApplyThreePhase(const std::array<std::string, TpValueCount>& texts)
{
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
