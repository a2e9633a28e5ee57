#pragma once

#include "colorref.h"

#include <QBrush>
#include <QLabel>

#include <optional>

// A label that paints its own background and text colours instead of the dialog's. Every
// label of the main window is one, black on the window's light blue.
class CColorStatic : public QLabel
{
    Q_OBJECT

public:
    explicit CColorStatic(QWidget* parent = nullptr);
    explicit CColorStatic(const QString& text, QWidget* parent = nullptr);
    ~CColorStatic() override;

    // Replaces the background brush (the old one is released first) and repaints.
    void SetBackColor(COLORREF color);
    // Changes the text colour and repaints; the background brush is left alone.
    void SetTextColor(COLORREF color);

    COLORREF BackColor() const { return m_crBack; }
    COLORREF TextColor() const { return m_crText; }
    const QBrush& BackBrush() const { return *m_brBack; }

    // Background brushes of all colour labels alive right now, and the most that were ever
    // alive at once since the last reset: a label holds exactly one at any moment.
    static int LiveBrushCount();
    static int PeakBrushCount();
    static void ResetPeakBrushCount();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void CreateBackBrush();
    void ReleaseBackBrush();
    void ApplyTextColor();

    std::optional<QBrush> m_brBack;
    COLORREF m_crBack = kWindowBlue;
    COLORREF m_crText = RGB(0, 0, 0);
};
