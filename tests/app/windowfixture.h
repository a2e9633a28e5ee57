#pragma once

#include "quorvexdlg.h"
#include "resource.h"
#include "sinks.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QByteArray>
#include <QStringList>

#include <cstdint>
#include <functional>
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

    // Clicks a button as the operator would.
    void click(int id) const
    {
        if (beforeCommand) {
            beforeCommand();
        }
        dlg->DlgItem<QAbstractButton>(id)->click();
    }
    // Runs a button's command even where the window never enables the button (read password).
    void press(int id) const
    {
        if (id != IDC_BTN_READ_PASSWORD) {
            click(id);
            return;
        }
        if (beforeCommand) {
            beforeCommand();
        }
        dlg->OnReadPassword();
    }
    QString text(int id) const { return dlg->GetDlgItemText(id); }
    void setText(int id, const QString& value) const { dlg->SetDlgItemText(id, value); }
    QComboBox* combo(int id) const { return dlg->DlgItem<QComboBox>(id); }
    void select(int comboId, int index) const { combo(comboId)->setCurrentIndex(index); }

    std::unique_ptr<CQuorvexDlg> dlg;
    QStringList messages;
    QStringList debugLines;
    // Told before every command, so that a clock of the meter's knows a request follows.
    std::function<void()> beforeCommand;
};
