#pragma once

#include "quorvexdlg.h"
#include "resource.h"
#include "sinks.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QStringList>

#include <memory>

// The real main window, built and initialised, with message boxes and debug lines recorded
// instead of shown.
struct WindowFixture
{
    WindowFixture()
    {
        SetMessageSink([this](const QString& text) { messages << text; });
        SetDebugSink([this](const QString& text) { debugLines << text; });
        dlg = std::make_unique<CQuorvexDlg>();
        dlg->Create();
    }
    ~WindowFixture()
    {
        dlg.reset();
        SetMessageSink({});
        SetDebugSink({});
    }
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    void click(int id) const { dlg->DlgItem<QAbstractButton>(id)->click(); }
    QString text(int id) const { return dlg->GetDlgItemText(id); }
    void setText(int id, const QString& value) const { dlg->SetDlgItemText(id, value); }
    QComboBox* combo(int id) const { return dlg->DlgItem<QComboBox>(id); }
    void select(int comboId, int index) const { combo(comboId)->setCurrentIndex(index); }

    std::unique_ptr<CQuorvexDlg> dlg;
    QStringList messages;
    QStringList debugLines;
};
