#pragma once

#include "colorref.h"
#include "logfont.h"

#include <QFont>
#include <QGroupBox>
#include <QString>

#include <cstdint>

// A group box that paints itself completely, in one of two looks:
// - frame style: a rounded frame whose top line runs through the middle of the title, the
//   title on a fill of its own that hides the line behind it, the inside left to the parent;
// - window style: a rounded box with a filled title band above a filled body, the lower
//   corners square.
// The title is taken from the box's own title text at the first paint, padded with a space
// on each side; after that only SetTitle changes it. The title font is kept as a LOGFONT
// record, edited field by field by the setters. Until a setter touches it, it follows the
// widget's own font (the font the dialog gives the box).
// Every setter repaints and returns the box, so calls can be chained.
class CXPGroupBox : public QGroupBox
{
    Q_OBJECT

public:
    enum BoxStyle : int
    {
        FrameStyle = 0, // any other value is window style
        WindowStyle = 1,
    };
    enum TitleAlign : int
    {
        AlignLeft = 0,
        AlignCenter = 1,
        AlignRight = 2,
    };

    explicit CXPGroupBox(QWidget* parent = nullptr);
    explicit CXPGroupBox(const QString& title, QWidget* parent = nullptr);
    ~CXPGroupBox() override;

    CXPGroupBox& SetFrameColor(COLORREF color);
    CXPGroupBox& SetTitleTextColor(COLORREF color);
    CXPGroupBox& SetFillColors(COLORREF titleColor, COLORREF bodyColor);
    CXPGroupBox& SetFillColor(COLORREF color);
    CXPGroupBox& SetBoxStyle(int style);
    // Sets the painted title to the text with one space added on each side.
    CXPGroupBox& SetTitle(const QString& title);
    CXPGroupBox& SetTitleBold(bool bold);
    // A face name longer than the record's field is cut to fit (see SetLogFontFaceName).
    CXPGroupBox& SetTitleFaceName(const QString& faceName, std::uint8_t charSet = DEFAULT_CHARSET);
    CXPGroupBox& SetTitleUnderline(bool underline);
    CXPGroupBox& SetTitleItalic(bool italic);
    // Changes only the height and width of the title font; weight, slant, underline,
    // character set and face stay.
    CXPGroupBox& SetTitlePointSize(int points);
    CXPGroupBox& SetTitleFont(LOGFONT lf);
    // 0 left, 1 centre, 2 right; anything else is taken as left.
    CXPGroupBox& SetTitleAlign(int align);

    const QString& PaintedTitle() const { return m_strTitle; }
    COLORREF FrameColor() const { return m_crFrame; }
    COLORREF TitleTextColor() const { return m_crTitleText; }
    COLORREF TitleBackColor() const { return m_crTitleBack; }
    COLORREF BodyBackColor() const { return m_crBodyBack; }
    int BoxStyleValue() const { return m_nBoxStyle; }
    int TitleAlignValue() const { return m_nTitleAlign; }
    const LOGFONT& TitleFont() const { return m_lfTitle; }
    const QFont& TitleQFont() const { return m_fontTitle; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void TitleFontChanged();
    void RebuildFont();
    void Refresh();

    QString m_strTitle;
    COLORREF m_crFrame;
    COLORREF m_crTitleBack;
    COLORREF m_crBodyBack;
    COLORREF m_crTitleText;
    int m_nBoxStyle = FrameStyle;
    int m_nTitleAlign = AlignLeft;
    LOGFONT m_lfTitle;
    QFont m_fontTitle;
    bool m_bTitleFontSet = false;
};
