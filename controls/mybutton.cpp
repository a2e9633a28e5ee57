#include "mybutton.h"

#include <QPainter>

CMyButton::CMyButton(QWidget* parent) : QPushButton(parent)
{
    // The fill covers every pixel: nothing underneath needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CMyButton::CMyButton(const QString& text, QWidget* parent) : CMyButton(parent)
{
    setText(text);
}

COLORREF CMyButton::FillColor() const
{
    if (isDown()) {
        return m_crPressed;
    }
    if (!isEnabled()) {
        return kDisabledFill;
    }
    return m_crNormal;
}

QString CMyButton::DrawnCaption() const
{
    const QString caption = text();
    if (caption.size() <= kMaxCaption) {
        return caption;
    }
    // Cut between characters, never between the two halves of a surrogate pair.
    qsizetype length = kMaxCaption;
    if (caption.at(length - 1).isHighSurrogate()) {
        --length;
    }
    return caption.left(length);
}

void CMyButton::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.fillRect(rect(), ToQColor(FillColor()));
    // The caption is black in every state and under every desktop theme: the fills are light
    // and fixed, so a theme's text colour (light on a dark theme) would vanish into them. One
    // line, clipped by the button's own edges.
    painter.setPen(ToQColor(kCaptionColor));
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic,
                     DrawnCaption());
}
