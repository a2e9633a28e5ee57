#include "resource.h"
#include "templates.h"

#include <array>

// The main window, laid out in dialog units. Each label comes right before the control it
// names, so that the label's caption becomes that control's accessible name and the tab order
// runs along the rows.

namespace {

constexpr ControlKind kStatic = ControlKind::Static;
constexpr ControlKind kEdit = ControlKind::Edit;
constexpr ControlKind kButton = ControlKind::PushButton;
constexpr ControlKind kGroup = ControlKind::GroupBox;
constexpr ControlKind kCombo = ControlKind::ComboBox;

using namespace ControlFlag;

// Rows of the two property columns and of the value grids.
constexpr int kSetRow[] = {61, 79, 97, 115};
constexpr int kSingleRow[] = {170, 189, 208};
constexpr int kThreeRow[] = {268, 285, 302, 319, 336, 353, 370, 387};

constexpr std::array kMainControls{
    // Serial configuration
    ControlTemplate{IDC_GROUP_SERIAL, kGroup, "Serial configuration", 4, 3, 515, 40},
    ControlTemplate{1080, kStatic, "COM:", 10, 21, 20, 10},
    ControlTemplate{IDC_COMBO_COM, kCombo, "", 31, 19, 52, 14},
    ControlTemplate{1081, kStatic, "Baud rate:", 91, 21, 38, 10},
    ControlTemplate{IDC_COMBO_BAUD, kCombo, "", 130, 19, 46, 14},
    ControlTemplate{1082, kStatic, "Parity check:", 184, 21, 48, 10},
    ControlTemplate{IDC_COMBO_PARITY, kCombo, "", 233, 19, 58, 14},
    ControlTemplate{1161, kStatic, "Type:", 299, 21, 21, 10},
    ControlTemplate{IDC_COMBO_METER_TYPE, kCombo, "", 321, 19, 88, 14},
    ControlTemplate{IDC_BTN_OPEN, kButton, "Open", 417, 18, 46, 16},
    ControlTemplate{IDC_BTN_CLOSE, kButton, "Close", 467, 18, 46, 16},

    // Set the property of the electric meter: left column, then right column
    ControlTemplate{IDC_GROUP_SET, kGroup, "Set the property of the electric meter", 4, 47, 304, 89},
    ControlTemplate{1091, kStatic, "Baud rate:", 8, kSetRow[0] + 2, 43, 10},
    ControlTemplate{IDC_COMBO_METER_BAUD, kCombo, "", 51, kSetRow[0], 53, 14},
    ControlTemplate{IDC_BTN_SET_BAUD, kButton, "设置波特率", 105, kSetRow[0], 43, 15},
    ControlTemplate{1098, kStatic, "Parity check:", 8, kSetRow[1] + 2, 43, 10},
    ControlTemplate{IDC_COMBO_METER_PARITY, kCombo, "", 51, kSetRow[1], 53, 14},
    ControlTemplate{IDC_BTN_SET_PARITY, kButton, "设置奇偶校验", 105, kSetRow[1], 43, 15},
    ControlTemplate{1095, kStatic, "Decimal:", 8, kSetRow[2] + 2, 43, 10},
    ControlTemplate{IDC_COMBO_DECIMAL, kCombo, "", 51, kSetRow[2], 53, 14},
    ControlTemplate{IDC_BTN_SET_DECIMAL, kButton, "设置小数位数", 105, kSetRow[2], 43, 15},
    ControlTemplate{1180, kStatic, "CT Ratio：", 8, kSetRow[3] + 2, 43, 10},
    ControlTemplate{IDC_COMBO_CT_RATIO, kCombo, "", 51, kSetRow[3], 53, 14},
    ControlTemplate{IDC_BTN_SET_CT, kButton, "设置变比", 105, kSetRow[3], 43, 15},
    ControlTemplate{1089, kStatic, "Address:", 152, kSetRow[0] + 2, 54, 10},
    ControlTemplate{IDC_EDIT_ADDRESS, kEdit, "", 207, kSetRow[0], 49, 14},
    ControlTemplate{IDC_BTN_SET_ADDRESS, kButton, "设置地址", 258, kSetRow[0], 46, 15},
    ControlTemplate{1092, kStatic, "SN:", 152, kSetRow[1] + 2, 54, 10},
    ControlTemplate{IDC_EDIT_SN, kEdit, "", 207, kSetRow[1], 49, 14},
    ControlTemplate{IDC_BTN_SET_SN, kButton, "设置序列号", 258, kSetRow[1], 46, 15},
    ControlTemplate{1094, kStatic, "Display time(s):", 152, kSetRow[2] + 2, 54, 10},
    ControlTemplate{IDC_COMBO_DISPLAY_TIME, kCombo, "", 207, kSetRow[2], 49, 14},
    ControlTemplate{IDC_BTN_SET_DISPLAY_TIME, kButton, "设置显示时间", 258, kSetRow[2], 46, 15},
    ControlTemplate{1093, kStatic, "Screen number:", 152, kSetRow[3] + 2, 54, 10},
    ControlTemplate{IDC_COMBO_SCREEN, kCombo, "", 207, kSetRow[3], 49, 14},
    ControlTemplate{IDC_BTN_SET_SCREEN, kButton, "设置屏数", 258, kSetRow[3], 46, 15},

    // Read the property of the electric meter
    ControlTemplate{IDC_GROUP_READ, kGroup, "Read the property of the electric meter", 321, 47, 199, 87},
    ControlTemplate{IDC_BTN_CLEAR_ZERO, kButton, "清零", 456, 57, 58, 15},
    ControlTemplate{IDC_BTN_READ_ADDRESS, kButton, "读地址", 328, 76, 58, 15},
    ControlTemplate{IDC_BTN_READ_SCREEN, kButton, "读屏数", 392, 76, 58, 15},
    ControlTemplate{IDC_BTN_READ_METER, kButton, "读电表", 456, 76, 58, 15},
    ControlTemplate{IDC_BTN_READ_SN, kButton, "读序列号", 328, 95, 58, 15},
    ControlTemplate{IDC_BTN_READ_DECIMAL, kButton, "读小数位数", 392, 95, 58, 15},
    ControlTemplate{IDC_BTN_READ_CT, kButton, "读变比", 456, 95, 58, 15},
    ControlTemplate{IDC_BTN_READ_BAUD, kButton, "读波特率", 328, 114, 58, 15},
    ControlTemplate{IDC_BTN_READ_DISPLAY_TIME, kButton, "读显示时间", 392, 114, 58, 15},
    ControlTemplate{IDC_BTN_READ_PARITY, kButton, "读奇偶校验", 456, 114, 58, 15},

    // Password
    ControlTemplate{IDC_GROUP_PASSWORD, kGroup, "Password", 528, 9, 143, 53},
    ControlTemplate{1165, kStatic, "Password:", 533, 24, 36, 10},
    ControlTemplate{IDC_EDIT_PASSWORD, kEdit, "", 570, 22, 54, 14, Password},
    ControlTemplate{IDC_BTN_SHOW_PASSWORD, kButton, "显示", 628, 22, 38, 15},
    ControlTemplate{IDC_BTN_SET_PASSWORD, kButton, "设置密码", 533, 41, 60, 15},
    ControlTemplate{IDC_BTN_READ_PASSWORD, kButton, "Read Password", 598, 41, 68, 15, Disabled},

    // Traffic areas
    ControlTemplate{1123, kStatic, "Send data area", 530, 75, 70, 10},
    ControlTemplate{IDC_BTN_CLEAR_SEND, kButton, "清空发送区", 606, 72, 66, 14},
    ControlTemplate{IDC_EDIT_SEND, kEdit, "", 529, 89, 144, 136, MultiLine | ReadOnly | HScroll},
    ControlTemplate{1124, kStatic, "Recv data area", 530, 236, 70, 10},
    ControlTemplate{IDC_BTN_CLEAR_RECV, kButton, "清空接收区", 605, 233, 66, 14},
    ControlTemplate{IDC_EDIT_RECV, kEdit, "", 530, 250, 143, 156, MultiLine | ReadOnly | WantReturn | Wrap},

    // Single phase data
    ControlTemplate{IDC_GROUP_SINGLE_PHASE, kGroup, "Single phase data", 3, 139, 516, 93},
    ControlTemplate{IDC_BTN_VIEW_SP, kButton, "查看数据", 395, 150, 56, 15},
    ControlTemplate{IDC_BTN_DELETE_SP, kButton, "删除数据", 456, 150, 56, 15},
    ControlTemplate{1125, kStatic, "Current Active kWh：", 10, kSingleRow[0] + 2, 76, 10},
    ControlTemplate{IDC_EDIT_SP_ACTIVE_KWH, kEdit, "", 88, kSingleRow[0], 56, 14},
    ControlTemplate{1157, kStatic, "kw/h", 147, kSingleRow[0] + 2, 22, 10},
    ControlTemplate{1170, kStatic, "L1 Current:", 176, kSingleRow[0] + 2, 56, 10},
    ControlTemplate{IDC_EDIT_SP_CURRENT_L1, kEdit, "", 234, kSingleRow[0], 56, 14},
    ControlTemplate{1171, kStatic, "A", 293, kSingleRow[0] + 2, 16, 10},
    ControlTemplate{1129, kStatic, "Constant:", 330, kSingleRow[0] + 2, 56, 10},
    ControlTemplate{IDC_EDIT_SP_CONSTANT, kEdit, "", 388, kSingleRow[0], 56, 14},
    ControlTemplate{1128, kStatic, "L1 Voltage:", 10, kSingleRow[1] + 2, 76, 10},
    ControlTemplate{IDC_EDIT_SP_VOLTAGE_L1, kEdit, "", 88, kSingleRow[1], 56, 14},
    ControlTemplate{1160, kStatic, "V", 147, kSingleRow[1] + 2, 22, 10},
    ControlTemplate{1166, kStatic, "Active power:", 176, kSingleRow[1] + 2, 56, 10},
    ControlTemplate{IDC_EDIT_SP_ACTIVE_POWER, kEdit, "", 234, kSingleRow[1], 56, 14},
    ControlTemplate{1174, kStatic, "W", 293, kSingleRow[1] + 2, 16, 10},
    ControlTemplate{1150, kStatic, "Tariff number:", 330, kSingleRow[1] + 2, 56, 10},
    ControlTemplate{IDC_EDIT_SP_TARIFF, kEdit, "", 388, kSingleRow[1], 56, 14},
    ControlTemplate{1156, kStatic, "Total PowerFactor:", 10, kSingleRow[2] + 2, 76, 10},
    ControlTemplate{IDC_EDIT_SP_PF, kEdit, "", 88, kSingleRow[2], 56, 14},
    ControlTemplate{1155, kStatic, "Frequency:", 176, kSingleRow[2] + 2, 56, 10},
    ControlTemplate{IDC_EDIT_SP_FREQUENCY, kEdit, "", 234, kSingleRow[2], 56, 14},
    ControlTemplate{1172, kStatic, "Hz", 293, kSingleRow[2] + 2, 16, 10},

    // Values no meter of today fills in: kept, hidden, so that a reading still lands in them.
    ControlTemplate{1126, kStatic, "有功费率1电量：", 330, kSingleRow[2] + 2, 56, 10, Hidden},
    ControlTemplate{IDC_EDIT_SP_POSITIVE_KWH, kEdit, "", 388, kSingleRow[2], 56, 14, Hidden},
    ControlTemplate{1158, kStatic, "kw/h", 447, kSingleRow[2] + 2, 22, 10, Hidden},
    ControlTemplate{1127, kStatic, "有功费率2电量：", 330, kSingleRow[2] + 2, 56, 10, Hidden},
    ControlTemplate{IDC_EDIT_SP_REVERSE_KWH, kEdit, "", 388, kSingleRow[2], 56, 14, Hidden},
    ControlTemplate{1173, kStatic, "kw/h", 447, kSingleRow[2] + 2, 22, 10, Hidden},
    ControlTemplate{1167, kStatic, "无功功率:", 330, kSingleRow[2] + 2, 56, 10, Hidden},
    ControlTemplate{IDC_EDIT_SP_REACTIVE_POWER, kEdit, "", 388, kSingleRow[2], 56, 14, Hidden},
    ControlTemplate{1175, kStatic, "W", 447, kSingleRow[2] + 2, 22, 10, Hidden},
    ControlTemplate{IDC_EDIT_UNUSED, kEdit, "", 388, kSingleRow[2], 56, 14, Hidden},
    ControlTemplate{1164, kStatic, "Var", 447, kSingleRow[2] + 2, 22, 10, Hidden},

    // Three phase data, row by row across the three columns
    ControlTemplate{IDC_GROUP_THREE_PHASE, kGroup, "Three phase data", 4, 239, 515, 169},
    ControlTemplate{IDC_BTN_VIEW_TP, kButton, "查看数据", 395, 249, 56, 15},
    ControlTemplate{IDC_BTN_DELETE_TP, kButton, "删除数据", 456, 249, 56, 15},
    ControlTemplate{1100, kStatic, "Current Active kWh:", 10, kThreeRow[0] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_ACTIVE_KWH, kEdit, "", 90, kThreeRow[0], 52, 14},
    ControlTemplate{1130, kStatic, "kw/h", 145, kThreeRow[0] + 2, 24, 10},
    ControlTemplate{1108, kStatic, "Current positive kWh:", 172, kThreeRow[0] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_POSITIVE_KWH, kEdit, "", 252, kThreeRow[0], 52, 14},
    ControlTemplate{1132, kStatic, "kw/h", 307, kThreeRow[0] + 2, 20, 10},

    ControlTemplate{1101, kStatic, "Current Reactive kWh:", 10, kThreeRow[1] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_REACTIVE_KWH, kEdit, "", 90, kThreeRow[1], 52, 14},
    ControlTemplate{1131, kStatic, "kvar/h", 145, kThreeRow[1] + 2, 24, 10},
    ControlTemplate{1109, kStatic, "Current reverse kWh:", 172, kThreeRow[1] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_REVERSE_KWH, kEdit, "", 252, kThreeRow[1], 52, 14},
    ControlTemplate{1133, kStatic, "kw/h", 307, kThreeRow[1] + 2, 20, 10},
    ControlTemplate{1111, kStatic, "L1 ReactivePower:", 332, kThreeRow[1] + 2, 72, 10},
    ControlTemplate{IDC_EDIT_TP_REACTIVE_L1, kEdit, "", 406, kThreeRow[1], 52, 14},
    ControlTemplate{1141, kStatic, "Var", 461, kThreeRow[1] + 2, 20, 10},

    ControlTemplate{1102, kStatic, "L1 Voltage:", 10, kThreeRow[2] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_VOLTAGE_L1, kEdit, "", 90, kThreeRow[2], 52, 14},
    ControlTemplate{1134, kStatic, "V", 145, kThreeRow[2] + 2, 24, 10},
    ControlTemplate{1119, kStatic, "Frequency:", 172, kThreeRow[2] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_FREQUENCY, kEdit, "", 252, kThreeRow[2], 52, 14},
    ControlTemplate{1148, kStatic, "Hz", 307, kThreeRow[2] + 2, 20, 10},
    ControlTemplate{1112, kStatic, "L2 ReactivePower:", 332, kThreeRow[2] + 2, 72, 10},
    ControlTemplate{IDC_EDIT_TP_REACTIVE_L2, kEdit, "", 406, kThreeRow[2], 52, 14},
    ControlTemplate{1142, kStatic, "Var", 461, kThreeRow[2] + 2, 20, 10},

    ControlTemplate{1103, kStatic, "L2 Voltage:", 10, kThreeRow[3] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_VOLTAGE_L2, kEdit, "", 90, kThreeRow[3], 52, 14},
    ControlTemplate{1135, kStatic, "V", 145, kThreeRow[3] + 2, 24, 10},
    ControlTemplate{1114, kStatic, "Total ActivePower:", 172, kThreeRow[3] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_ACTIVE, kEdit, "", 252, kThreeRow[3], 52, 14},
    ControlTemplate{1144, kStatic, "W", 307, kThreeRow[3] + 2, 20, 10},
    ControlTemplate{1113, kStatic, "L3 ReactivePower:", 332, kThreeRow[3] + 2, 72, 10},
    ControlTemplate{IDC_EDIT_TP_REACTIVE_L3, kEdit, "", 406, kThreeRow[3], 52, 14},
    ControlTemplate{1143, kStatic, "Var", 461, kThreeRow[3] + 2, 20, 10},

    ControlTemplate{1104, kStatic, "L3 Voltage:", 10, kThreeRow[4] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_VOLTAGE_L3, kEdit, "", 90, kThreeRow[4], 52, 14},
    ControlTemplate{1136, kStatic, "V", 145, kThreeRow[4] + 2, 24, 10},
    ControlTemplate{1115, kStatic, "L1 ActivePower:", 172, kThreeRow[4] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_ACTIVE_L1, kEdit, "", 252, kThreeRow[4], 52, 14},
    ControlTemplate{1145, kStatic, "W", 307, kThreeRow[4] + 2, 20, 10},
    ControlTemplate{1118, kStatic, "Total PowerFactor:", 332, kThreeRow[4] + 2, 72, 10},
    ControlTemplate{IDC_EDIT_TP_PF, kEdit, "", 406, kThreeRow[4], 52, 14},

    ControlTemplate{1105, kStatic, "L1 Current:", 10, kThreeRow[5] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_CURRENT_L1, kEdit, "", 90, kThreeRow[5], 52, 14},
    ControlTemplate{1137, kStatic, "A", 145, kThreeRow[5] + 2, 24, 10},
    ControlTemplate{1116, kStatic, "L2 ActivePower:", 172, kThreeRow[5] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_ACTIVE_L2, kEdit, "", 252, kThreeRow[5], 52, 14},
    ControlTemplate{1146, kStatic, "W", 307, kThreeRow[5] + 2, 20, 10},
    ControlTemplate{1120, kStatic, "L1 PowerFactor:", 332, kThreeRow[5] + 2, 72, 10},
    ControlTemplate{IDC_EDIT_TP_PF_L1, kEdit, "", 406, kThreeRow[5], 52, 14},

    ControlTemplate{1106, kStatic, "L2 Current:", 10, kThreeRow[6] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_CURRENT_L2, kEdit, "", 90, kThreeRow[6], 52, 14},
    ControlTemplate{1138, kStatic, "A", 145, kThreeRow[6] + 2, 24, 10},
    ControlTemplate{1117, kStatic, "L3 ActivePower:", 172, kThreeRow[6] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_ACTIVE_L3, kEdit, "", 252, kThreeRow[6], 52, 14},
    ControlTemplate{1147, kStatic, "W", 307, kThreeRow[6] + 2, 20, 10},
    ControlTemplate{1121, kStatic, "L2 PowerFactor:", 332, kThreeRow[6] + 2, 72, 10},
    ControlTemplate{IDC_EDIT_TP_PF_L2, kEdit, "", 406, kThreeRow[6], 52, 14},

    ControlTemplate{1107, kStatic, "L3 Current:", 10, kThreeRow[7] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_CURRENT_L3, kEdit, "", 90, kThreeRow[7], 52, 14},
    ControlTemplate{1139, kStatic, "A", 145, kThreeRow[7] + 2, 24, 10},
    ControlTemplate{1110, kStatic, "Total ReactivePower:", 172, kThreeRow[7] + 2, 78, 10},
    ControlTemplate{IDC_EDIT_TP_REACTIVE, kEdit, "", 252, kThreeRow[7], 52, 14},
    ControlTemplate{1140, kStatic, "Var", 307, kThreeRow[7] + 2, 20, 10},
    ControlTemplate{1122, kStatic, "L3 PowerFactor:", 332, kThreeRow[7] + 2, 72, 10},
    ControlTemplate{IDC_EDIT_TP_PF_L3, kEdit, "", 406, kThreeRow[7], 52, 14},
};

} // namespace

const DialogTemplate kMainDialogTemplate{IDD_QUORVEX_DIALOG, "Quorvex", 684, 417, "MS Shell Dlg", 9, kMainControls};
