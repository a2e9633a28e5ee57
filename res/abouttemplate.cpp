#include "resource.h"
#include "templates.h"

#include <QGuiApplication>
#include <QIcon>

#include <array>

namespace {

constexpr std::array kAboutControls{
    ControlTemplate{IDC_ABOUT_ICON, ControlKind::Icon, "", 14, 14, 21, 20},
    ControlTemplate{IDC_ABOUT_VERSION, ControlKind::Static, "Quorvex，1.0.0.1 版", 42, 14, 114, 8},
    ControlTemplate{IDC_ABOUT_COPYRIGHT, ControlKind::Static, "版权所有 (C) 2026 Quorvex", 42, 26, 114, 8},
    ControlTemplate{IDC_ABOUT_OK, ControlKind::PushButton, "确定", 113, 41, 50, 14},
};

} // namespace

const DialogTemplate kAboutDialogTemplate{IDD_ABOUTBOX, "关于 Quorvex", 170, 62, "MS Shell Dlg", 9, kAboutControls};

QString LoadResourceString(int id)
{
    switch (id) {
    case IDS_ABOUTBOX:
        return QStringLiteral("关于 Quorvex(&A)...");
    default:
        return {};
    }
}

QIcon LoadAppIcon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/quorvex-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}
