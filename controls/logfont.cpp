#include "logfont.h"

#include <QFontInfo>
#include <QFontMetrics>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// A title taller than any screen is still drawn, but no taller than this: a height read from
// a corrupt record must not make the painter rasterise a glyph the size of a house.
constexpr int kMaxPixelSize = 4096;

int ClampPixelSize(long long pixels)
{
    return static_cast<int>(std::clamp<long long>(pixels, 1, kMaxPixelSize));
}

QFont::StyleHint StyleHintForFamily(std::uint8_t pitchAndFamily)
{
    switch (pitchAndFamily & 0xF0) {
    case 0x10: // roman
        return QFont::Serif;
    case 0x20: // swiss
        return QFont::SansSerif;
    case 0x30: // modern
        return QFont::TypeWriter;
    case 0x40: // script
        return QFont::Cursive;
    case 0x50: // decorative
        return QFont::Decorative;
    default:
        return QFont::AnyStyle;
    }
}

} // namespace

void SetLogFontFaceName(LOGFONT& lf, const QString& faceName)
{
    const QByteArray utf8 = faceName.toUtf8();
    qsizetype length = std::min<qsizetype>(utf8.size(), LF_FACESIZE - 1);
    // Never cut a character in two: step back over continuation bytes to a character start.
    while (length > 0 && length < utf8.size() &&
           (static_cast<unsigned char>(utf8[length]) & 0xC0) == 0x80) {
        --length;
    }
    std::memset(lf.lfFaceName, 0, sizeof(lf.lfFaceName));
    std::memcpy(lf.lfFaceName, utf8.constData(), static_cast<std::size_t>(length));
}

QString LogFontFaceName(const LOGFONT& lf)
{
    const void* end = std::memchr(lf.lfFaceName, 0, sizeof(lf.lfFaceName));
    const qsizetype length = end ? static_cast<const char*>(end) - lf.lfFaceName
                                 : static_cast<qsizetype>(sizeof(lf.lfFaceName));
    return QString::fromUtf8(lf.lfFaceName, length);
}

std::int32_t LogFontHeightForPoints(int points, int dpiY)
{
    // Tenths of a point to pixels, rounded half away from zero; 64-bit so that no point size
    // can overflow on the way.
    const long long tenths = std::llabs(static_cast<long long>(points) * 10);
    const long long pixels = (tenths * std::abs(dpiY) + 360) / 720;
    return static_cast<std::int32_t>(-std::min<long long>(pixels, INT_MAX));
}

LOGFONT LogFontFromQFont(const QFont& font)
{
    LOGFONT lf;
    lf.lfHeight = -QFontInfo(font).pixelSize();
    lf.lfWeight = static_cast<std::int32_t>(font.weight());
    lf.lfItalic = font.italic() ? 1 : 0;
    lf.lfUnderline = font.underline() ? 1 : 0;
    lf.lfStrikeOut = font.strikeOut() ? 1 : 0;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfQuality =
        (font.styleStrategy() & QFont::NoAntialias) ? NONANTIALIASED_QUALITY : DEFAULT_QUALITY;
    lf.lfPitchAndFamily = font.fixedPitch() ? FIXED_PITCH : 0;
    const QString family = font.family().isEmpty() ? QFontInfo(font).family() : font.family();
    SetLogFontFaceName(lf, family);
    return lf;
}

QFont QFontFromLogFont(const LOGFONT& lf)
{
    QFont font;
    const QString face = LogFontFaceName(lf);
    if (!face.isEmpty()) {
        font.setFamily(face);
    }
    font.setStyleHint(StyleHintForFamily(lf.lfPitchAndFamily));
    if ((lf.lfPitchAndFamily & 0x03) == FIXED_PITCH) {
        font.setFixedPitch(true);
    }

    const long long height = lf.lfHeight;
    if (height < 0) {
        font.setPixelSize(ClampPixelSize(-height));
    } else if (height > 0) {
        // A positive height is the whole cell, internal leading included: scale the
        // character height so that ascent plus descent come out at that height.
        const int cell = ClampPixelSize(height);
        font.setPixelSize(cell);
        const int measured = QFontMetrics(font).height();
        if (measured > cell) {
            font.setPixelSize(ClampPixelSize(static_cast<long long>(cell) * cell / measured));
        }
    }

    const int weight = lf.lfWeight == 0 ? FW_NORMAL : std::clamp(lf.lfWeight, 1, 1000);
    font.setWeight(static_cast<QFont::Weight>(weight));
    font.setItalic(lf.lfItalic != 0);
    font.setUnderline(lf.lfUnderline != 0);
    font.setStrikeOut(lf.lfStrikeOut != 0);
    if (lf.lfQuality == NONANTIALIASED_QUALITY) {
        font.setStyleStrategy(QFont::NoAntialias);
    }
    if (lf.lfWidth > 0) {
        // Width is the average character width; Qt stretches in percent of the natural one.
        const int natural = std::max(1, QFontMetrics(font).averageCharWidth());
        const long long stretch = static_cast<long long>(lf.lfWidth) * 100 / natural;
        font.setStretch(static_cast<int>(std::clamp<long long>(stretch, 1, 4000)));
    }
    return font;
}
