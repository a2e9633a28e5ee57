#include "resource.h"
#include "templates.h"

#include <array>

namespace {

constexpr std::array kDanDataControls{
    ControlTemplate{IDC_LIST_DATA, ControlKind::ListView, "", 0, 0, 479, 244},
};

constexpr std::array kEnergyDataControls{
    ControlTemplate{IDC_LIST_DATA, ControlKind::ListView, "", 0, 0, 495, 229},
};

} // namespace

const DialogTemplate kDanDataTemplate{IDD_DAN_DATA, "电表数据", 479, 244, "MS Shell Dlg", 8, kDanDataControls};

const DialogTemplate kEnergyDataTemplate{IDD_ENERGY_DATA, "电表数据", 495, 230, "MS Shell Dlg", 8,
                                         kEnergyDataControls};
