#pragma once

#include "colorref.h"

#include <QPushButton>

// A flat push button: one fill colour by state and the caption centred on it. No border, no
// focus or default mark, no hover look. The main window gives each command button one of its
// colour schemes.
class CMyButton : public QPushButton
{
    Q_OBJECT

public:
    static constexpr COLORREF kDefaultPressed = RGB(227, 227, 0);
    static constexpr COLORREF kDefaultNormal = RGB(200, 200, 0);
    static constexpr COLORREF kDisabledFill = RGB(192, 192, 192);
    static constexpr COLORREF kCaptionColor = RGB(0, 0, 0);
    // The caption is read into a 512-character buffer: longer captions are cut.
    static constexpr int kMaxCaption = 511;

    explicit CMyButton(QWidget* parent = nullptr);
    explicit CMyButton(const QString& text, QWidget* parent = nullptr);

    // Neither setter repaints: the colour shows the next time the button is painted.
    void SetPressedColor(COLORREF color) { m_crPressed = color; }
    void SetNormalColor(COLORREF color) { m_crNormal = color; }

    COLORREF PressedColor() const { return m_crPressed; }
    COLORREF NormalColor() const { return m_crNormal; }
    // The fill for the current state; being pressed wins over being disabled.
    COLORREF FillColor() const;
    // The caption as painted.
    QString DrawnCaption() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    COLORREF m_crPressed = kDefaultPressed;
    COLORREF m_crNormal = kDefaultNormal;
};
