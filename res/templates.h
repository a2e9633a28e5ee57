#pragma once

#include "dialogtemplate.h"

#include <QIcon>
#include <QString>

// The dialog templates of the tool, as data.
extern const DialogTemplate kMainDialogTemplate;   // IDD_QUORVEX_DIALOG, the main window
extern const DialogTemplate kAboutDialogTemplate;  // IDD_ABOUTBOX
extern const DialogTemplate kEnergyDataTemplate;   // IDD_ENERGY_DATA, three-phase readings
extern const DialogTemplate kDanDataTemplate;      // IDD_DAN_DATA, single-phase readings

// The string table; an id it does not hold gives an empty string.
QString LoadResourceString(int id);

// The application icon (icon group IDR_MAINFRAME).
QIcon LoadAppIcon();
