#include "aboutdlg.h"

#include "resource.h"
#include "templates.h"

#include <QLabel>

CAboutDlg::CAboutDlg(QWidget* parent) : CDialog(kAboutDialogTemplate, parent)
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
}

QWidget* CAboutDlg::CreateControl(const ControlTemplate& control)
{
    if (control.kind == ControlKind::Icon) {
        // The application's own icon stands where the template names an icon of its own.
        auto* icon = new QLabel;
        icon->setPixmap(LoadAppIcon().pixmap(32, 32));
        return icon;
    }
    return CDialog::CreateControl(control);
}

bool CAboutDlg::OnInitDialog()
{
    OnCommand(IDC_ABOUT_OK, [this] { OnOK(); });
    return true;
}
