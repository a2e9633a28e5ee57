#include "colorstatic.h"

#include <QPainter>
#include <QPalette>
#include <QPicture>
#include <QStyle>
#include <QTextDocument>

#include <algorithm>

namespace {

int g_liveBrushes = 0;
int g_peakBrushes = 0;

} // namespace

CColorStatic::CColorStatic(QWidget* parent) : QLabel(parent)
{
    CreateBackBrush();
    ApplyTextColor();
}

CColorStatic::CColorStatic(const QString& text, QWidget* parent) : CColorStatic(parent)
{
    setText(text);
}

CColorStatic::~CColorStatic()
{
    ReleaseBackBrush();
}

int CColorStatic::LiveBrushCount()
{
    return g_liveBrushes;
}

int CColorStatic::PeakBrushCount()
{
    return g_peakBrushes;
}

void CColorStatic::ResetPeakBrushCount()
{
    g_peakBrushes = g_liveBrushes;
}

void CColorStatic::CreateBackBrush()
{
    m_brBack.emplace(ToQColor(m_crBack), Qt::SolidPattern);
    ++g_liveBrushes;
    g_peakBrushes = std::max(g_peakBrushes, g_liveBrushes);
}

void CColorStatic::ReleaseBackBrush()
{
    if (m_brBack) {
        m_brBack.reset();
        --g_liveBrushes;
    }
}

void CColorStatic::ApplyTextColor()
{
    // Rich text and the like are drawn by QLabel from the palette; the same colour in every
    // group keeps a disabled label looking like an enabled one.
    QPalette pal = palette();
    const QColor text = ToQColor(m_crText);
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::WindowText, text);
    }
    setPalette(pal);
}

void CColorStatic::SetBackColor(COLORREF color)
{
    m_crBack = color;
    ReleaseBackBrush();
    CreateBackBrush();
    update();
}

void CColorStatic::SetTextColor(COLORREF color)
{
    m_crText = color;
    ApplyTextColor();
    update();
}

void CColorStatic::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(rect(), *m_brBack);
    drawFrame(&painter);

    const bool richText = textFormat() == Qt::RichText || textFormat() == Qt::MarkdownText ||
                          (textFormat() == Qt::AutoText && Qt::mightBeRichText(text()));
    if (richText || !pixmap().isNull() || movie() || !picture().isNull()) {
        painter.end();
        // QLabel draws its frame again over the same pixels: harmless.
        QLabel::paintEvent(event);
        return;
    }

    // Plain text is drawn here rather than by QLabel, whose style may etch or grey the text of
    // a disabled label: the label looks the same in every state.
    const int align = QStyle::visualAlignment(layoutDirection(), alignment());
    QRect area = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    int inset = indent();
    if (inset < 0 && frameWidth() > 0) {
        inset = fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 - margin();
    }
    if (inset > 0) {
        if (align & Qt::AlignLeft) {
            area.setLeft(area.left() + inset);
        }
        if (align & Qt::AlignRight) {
            area.setRight(area.right() - inset);
        }
        if (align & Qt::AlignTop) {
            area.setTop(area.top() + inset);
        }
        if (align & Qt::AlignBottom) {
            area.setBottom(area.bottom() - inset);
        }
    }
    int flags = align;
    if (wordWrap()) {
        flags |= Qt::TextWordWrap;
    }
    if (buddy()) {
        flags |= Qt::TextShowMnemonic;
    }
    painter.setPen(ToQColor(m_crText));
    painter.drawText(area, flags, text());
}
