#include "xpgroupbox.h"

#include <QEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QScreen>

#include <cmath>

namespace {

// Corner ellipses of the rounded frame are 10 x 10 pixels.
constexpr qreal kCornerRadius = 5.0;
// Frame style: the title starts this far in from the end of the frame line.
constexpr int kFrameTitleInset = 10;
// Window style: the band is the title's height plus this, the title inset by half of it.
constexpr int kBandExtra = 4;
constexpr int kBandTitleInset = 2;

// A rectangle held by its four edges, right and bottom exclusive, so that the arithmetic of
// the layout reads as edges rather than as sizes.
struct Edges
{
    int left;
    int top;
    int right;
    int bottom;

    int width() const { return right - left; }
    // The pixels the rectangle covers when filled.
    QRect area() const { return QRect(left, top, right - left, bottom - top); }
    // The rectangle whose one-pixel outline runs along the outermost covered pixels: an
    // aliased stroke covers its width plus one.
    QRectF outline() const { return QRectF(left, top, right - left - 1, bottom - top - 1); }
};

// Sets the title's left and right edges within the box: centred, or inset from the side it
// is aligned to.
void PlaceTitle(Edges& title, const Edges& box, int width, int inset, int align)
{
    switch (align) {
    case CXPGroupBox::AlignCenter:
        title.left = box.left + (box.width() - width) / 2;
        break;
    case CXPGroupBox::AlignRight:
        title.left = box.right - inset - width;
        break;
    default:
        title.left = box.left + inset;
        break;
    }
    title.right = title.left + width;
}

int ScreenDpiY()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        return static_cast<int>(std::lround(screen->logicalDotsPerInchY()));
    }
    return 96;
}

} // namespace

CXPGroupBox::CXPGroupBox(QWidget* parent) : QGroupBox(parent)
{
    // The system colours, read once: a later change of theme keeps the colours set here.
    const QPalette system = QGuiApplication::palette();
    m_crFrame = FromQColor(system.color(QPalette::Active, QPalette::Dark));
    m_crTitleBack = FromQColor(system.color(QPalette::Active, QPalette::Button));
    m_crBodyBack = m_crTitleBack;
    m_crTitleText = FromQColor(system.color(QPalette::Active, QPalette::WindowText));
    m_lfTitle = LogFontFromQFont(font());
    RebuildFont();
}

CXPGroupBox::CXPGroupBox(const QString& title, QWidget* parent) : CXPGroupBox(parent)
{
    setTitle(title);
}

CXPGroupBox::~CXPGroupBox() = default;

CXPGroupBox& CXPGroupBox::SetFrameColor(COLORREF color)
{
    m_crFrame = color;
    Refresh();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitleTextColor(COLORREF color)
{
    m_crTitleText = color;
    Refresh();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetFillColors(COLORREF titleColor, COLORREF bodyColor)
{
    m_crTitleBack = titleColor;
    m_crBodyBack = bodyColor;
    Refresh();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetFillColor(COLORREF color)
{
    return SetFillColors(color, color);
}

CXPGroupBox& CXPGroupBox::SetBoxStyle(int style)
{
    m_nBoxStyle = style;
    Refresh();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitle(const QString& title)
{
    m_strTitle = QLatin1Char(' ') + title + QLatin1Char(' ');
    Refresh();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitleBold(bool bold)
{
    m_lfTitle.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    TitleFontChanged();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitleFaceName(const QString& faceName, std::uint8_t charSet)
{
    m_lfTitle.lfCharSet = charSet;
    SetLogFontFaceName(m_lfTitle, faceName);
    TitleFontChanged();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitleUnderline(bool underline)
{
    m_lfTitle.lfUnderline = underline ? 1 : 0;
    TitleFontChanged();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitleItalic(bool italic)
{
    m_lfTitle.lfItalic = italic ? 1 : 0;
    TitleFontChanged();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitlePointSize(int points)
{
    // A point size on the screen is a character height; the width is left to the face.
    m_lfTitle.lfHeight = LogFontHeightForPoints(points, ScreenDpiY());
    m_lfTitle.lfWidth = 0;
    TitleFontChanged();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitleFont(LOGFONT lf)
{
    m_lfTitle = lf;
    TitleFontChanged();
    return *this;
}

CXPGroupBox& CXPGroupBox::SetTitleAlign(int align)
{
    m_nTitleAlign = (align == AlignCenter || align == AlignRight) ? align : AlignLeft;
    Refresh();
    return *this;
}

void CXPGroupBox::TitleFontChanged()
{
    m_bTitleFontSet = true;
    RebuildFont();
    Refresh();
}

void CXPGroupBox::RebuildFont()
{
    m_fontTitle = QFontFromLogFont(m_lfTitle);
}

void CXPGroupBox::Refresh()
{
    // The inside of a frame-style box is the parent's: Qt repaints the parent beneath a
    // widget that is not opaque, so updating the box brings both up to date.
    update();
}

void CXPGroupBox::changeEvent(QEvent* event)
{
    // The box is usually made before it joins its dialog and takes on the dialog's font;
    // the title follows that font until a setter takes charge of it.
    if (event->type() == QEvent::FontChange && !m_bTitleFontSet) {
        m_lfTitle = LogFontFromQFont(font());
        RebuildFont();
    }
    QGroupBox::changeEvent(event);
}

void CXPGroupBox::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    const Edges r{1, 1, width() - 1, height() - 1};
    painter.setFont(m_fontTitle);

    // The box's title text becomes the painted title at the first paint, padded once.
    if (m_strTitle.isEmpty()) {
        const QString text = title();
        if (!text.isEmpty()) {
            m_strTitle = QLatin1Char(' ') + text + QLatin1Char(' ');
        }
    }

    int cx = 0;
    int cy = 0;
    if (!m_strTitle.isEmpty()) {
        const QFontMetrics metrics(m_fontTitle, this);
        cx = metrics.horizontalAdvance(m_strTitle);
        cy = metrics.height();
    }

    Edges t{};
    if (m_nBoxStyle == FrameStyle) {
        t.top = r.top;
        t.bottom = r.top + cy;
        PlaceTitle(t, r, cx, kFrameTitleInset, m_nTitleAlign);
        const Edges frame{r.left, r.top + cy / 2, r.right, r.bottom};
        painter.setPen(QPen(ToQColor(m_crFrame), 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(frame.outline(), kCornerRadius, kCornerRadius);
        // The title's own fill hides the frame line behind it, and the title is drawn only
        // inside its rectangle.
        painter.setClipRect(t.area());
        painter.fillRect(t.area(), ToQColor(m_crTitleBack));
    } else {
        const Edges band{r.left, r.top, r.right, r.top + cy + kBandExtra};
        painter.setPen(QPen(ToQColor(m_crFrame), 1));
        painter.setBrush(ToQColor(m_crTitleBack));
        painter.drawRoundedRect(r.outline(), kCornerRadius, kCornerRadius);
        // The body drawn over the lower part squares off the lower corners.
        const Edges body{r.left, r.top + cy + kBandExtra, r.right, r.bottom};
        painter.setBrush(ToQColor(m_crBodyBack));
        painter.drawRect(body.outline());
        t.top = band.top + kBandTitleInset;
        t.bottom = t.top + cy;
        PlaceTitle(t, band, cx, kBandTitleInset, m_nTitleAlign);
    }

    painter.setPen(ToQColor(m_crTitleText));
    painter.setBrush(Qt::NoBrush);
    painter.drawText(t.area(),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip |
                         Qt::TextShowMnemonic,
                     m_strTitle);
}
