#pragma once

#include <QFont>
#include <QString>

#include <cstdint>

// A font described the way the group box keeps its title font: a fixed-size record that can
// be copied, compared and edited field by field, and turned into a QFont only when painting.
// Heights follow the Windows convention: negative = character height in pixels, positive =
// cell height in pixels, 0 = default size. The face name is UTF-8, at most 31 bytes and
// always terminated.
inline constexpr int LF_FACESIZE = 32;

struct LOGFONT
{
    std::int32_t lfHeight = 0;
    std::int32_t lfWidth = 0;
    std::int32_t lfEscapement = 0;
    std::int32_t lfOrientation = 0;
    std::int32_t lfWeight = 0;
    std::uint8_t lfItalic = 0;
    std::uint8_t lfUnderline = 0;
    std::uint8_t lfStrikeOut = 0;
    std::uint8_t lfCharSet = 0;
    std::uint8_t lfOutPrecision = 0;
    std::uint8_t lfClipPrecision = 0;
    std::uint8_t lfQuality = 0;
    std::uint8_t lfPitchAndFamily = 0;
    char lfFaceName[LF_FACESIZE] = {};
};
static_assert(sizeof(LOGFONT) == 60, "the font record keeps its 60-byte layout");

inline constexpr std::int32_t FW_NORMAL = 400;
inline constexpr std::int32_t FW_BOLD = 700;
inline constexpr std::uint8_t DEFAULT_CHARSET = 1;
inline constexpr std::uint8_t GB2312_CHARSET = 134;
inline constexpr std::uint8_t DEFAULT_QUALITY = 0;
inline constexpr std::uint8_t NONANTIALIASED_QUALITY = 3;
inline constexpr std::uint8_t FIXED_PITCH = 1;

// Stores a face name in the record's 32-byte field: cut to the longest whole-character UTF-8
// prefix of at most 31 bytes, the rest of the field zeroed. Nothing outside the field is
// written, whatever the length of the name.
void SetLogFontFaceName(LOGFONT& lf, const QString& faceName);

// The face name of the record, read up to its terminator and never past the field.
QString LogFontFaceName(const LOGFONT& lf);

// The height field for a font of the given point size on a device of dpiY dots per inch,
// rounded as the screen device rounds it (always a character height, hence negative).
std::int32_t LogFontHeightForPoints(int points, int dpiY);

// The record that describes a font as a widget uses it.
LOGFONT LogFontFromQFont(const QFont& font);

// The font to paint with. Escapement, orientation, character set and the precisions have
// no counterpart here: Qt picks glyphs per script by itself.
QFont QFontFromLogFont(const LOGFONT& lf);
