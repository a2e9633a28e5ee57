#pragma once

#include "dialog.h"

// The about box: name, version and copyright, one OK button.
class CAboutDlg : public CDialog
{
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent = nullptr);

protected:
    QWidget* CreateControl(const ControlTemplate& control) override;
    bool OnInitDialog() override;
};
