#pragma once

#include "dialogtemplate.h"

#include <QDialog>
#include <QHash>

#include <functional>

class QFont;

// Converts dialog units to pixels for one font, as the Windows dialog manager does: the
// horizontal base unit is the average width of the 52 letters A-Z a-z, the vertical one the
// font's height; x pixels = x * bw / 4 and y pixels = y * bh / 8, rounded to nearest.
class DialogUnits
{
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int baseWidth, int baseHeight) : m_baseWidth(baseWidth), m_baseHeight(baseHeight) {}

    int baseWidth() const { return m_baseWidth; }
    int baseHeight() const { return m_baseHeight; }
    int toPixelsX(int units) const;
    int toPixelsY(int units) const;
    QRect toPixels(int x, int y, int cx, int cy) const;

private:
    int m_baseWidth;
    int m_baseHeight;
};

// MulDiv of the Win32 API: a * b / c rounded half away from zero, with a 64-bit product.
int MulDiv(int a, int b, int c);

// A dialog built from a template. Controls are created by Create() (DoModal() calls it) and
// are then reached by their numeric ids, as command handlers have always reached them.
class CDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CDialog(const DialogTemplate& dialogTemplate, QWidget* parent = nullptr);
    ~CDialog() override;

    // Builds the controls, binds them (DoDataExchange) and runs OnInitDialog. Idempotent.
    bool Create();
    // Create(), then run modally; returns QDialog::Accepted or QDialog::Rejected.
    int DoModal();

    const DialogTemplate& Template() const { return m_template; }
    const DialogUnits& Units() const { return m_units; }

    QWidget* GetDlgItem(int id) const;
    template <class T> T* DlgItem(int id) const { return qobject_cast<T*>(GetDlgItem(id)); }
    const ControlTemplate* ControlTemplateOf(int id) const;

    QString GetDlgItemText(int id) const;
    void SetDlgItemText(int id, const QString& text);
    // Reads the control's text as a decimal integer (see ParseDlgInt); translated is false
    // for text without digits and for a number that does not fit the result type.
    int GetDlgItemInt(int id, bool* translated = nullptr, bool isSigned = true) const;
    void SetDlgItemInt(int id, int value, bool isSigned = true);
    void EnableDlgItem(int id, bool enable);
    bool IsDlgItemEnabled(int id) const;

    // Centres the dialog over another window (its parent when none is given).
    void CenterWindow(QWidget* over = nullptr);

    // The stand-in for the framework's end-of-dialog: OnOK and OnCancel end the modal run.
    virtual void OnOK();
    virtual void OnCancel();

protected:
    // Makes the widget for one row of the template. The default makes plain Qt widgets;
    // a dialog with painted controls of its own returns those instead.
    virtual QWidget* CreateControl(const ControlTemplate& control);
    // Binds members to controls once every control exists.
    virtual void DoDataExchange() {}
    virtual bool OnInitDialog() { return true; }

    // Binds a button's click to a handler, as a message-map entry does.
    void OnCommand(int id, std::function<void()> handler);

    void keyPressEvent(QKeyEvent* event) override;

private:
    void CreateControls();
    void ApplyAccessibility();

    const DialogTemplate& m_template;
    DialogUnits m_units;
    QHash<int, QWidget*> m_controls;
    bool m_created = false;
};

// The font a template names, mapped to this machine: "MS Shell Dlg" becomes the system's
// general sans font at the template's point size.
QFont TemplateFont(const DialogTemplate& dialogTemplate);

// Text read as GetDlgItemInt reads it: blanks around it skipped, a minus sign where signed,
// then decimal digits and nothing else. Any other text reads 0 (NoDigits); a number too
// large for the type reads 0 and says so (Overflow), rather than wrapping round.
struct DlgInt
{
    enum class Status
    {
        Ok,
        NoDigits,
        Overflow,
    };
    int value = 0;
    Status status = Status::NoDigits;
};
DlgInt ParseDlgInt(const QString& text, bool isSigned = true);
