#include "quorvex.h"

#include "quorvexdlg.h"
#include "templates.h"

#include <QApplication>

bool CQuorvexApp::InitInstance()
{
    QApplication::setWindowIcon(LoadAppIcon());
    CQuorvexDlg dlg;
    dlg.DoModal();
    return false;
}

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvex"));
    QApplication::setApplicationVersion(QStringLiteral(QUORVEX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quorvex"));
    CQuorvexApp theApp;
    theApp.InitInstance();
    return 0;
}
