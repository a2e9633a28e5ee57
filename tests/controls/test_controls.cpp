#include "colorstatic.h"
#include "logfont.h"
#include "mybutton.h"
#include "xpgroupbox.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTest>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstring>

namespace {

// Colours none of the controls uses by default, so that every part reads unambiguously.
constexpr COLORREF kParent = RGB(250, 240, 230);
constexpr COLORREF kFrame = RGB(200, 0, 0);
constexpr COLORREF kTitleBack = RGB(0, 0, 200);
constexpr COLORREF kBody = RGB(0, 160, 0);

// Text drawn in the colour beneath it vanishes, up to the rounding of the antialiasing blend.
constexpr int kBlendSlack = 2;

// The window the controls sit on, grabbed as a whole so that what a control leaves unpainted
// shows the parent, as on screen.
class Canvas
{
public:
    Canvas()
    {
        m_window.resize(400, 300);
        QPalette pal = m_window.palette();
        pal.setColor(QPalette::Window, ToQColor(kParent));
        m_window.setPalette(pal);
        m_window.setAutoFillBackground(true);
    }

    QWidget* window() { return &m_window; }

    // The control with a one-pixel margin of its parent: the image's (1, 1) is its (0, 0).
    QImage Grab(const QWidget* control)
    {
        const QRect area = control->geometry().adjusted(-1, -1, 1, 1);
        return m_window.grab(area).toImage().convertToFormat(QImage::Format_RGB32);
    }

private:
    QWidget m_window;
};

COLORREF At(const QImage& image, int x, int y)
{
    return FromQColor(image.pixelColor(x + 1, y + 1));
}

bool Near(COLORREF a, COLORREF b, int slack)
{
    return qAbs(GetRValue(a) - GetRValue(b)) <= slack &&
           qAbs(GetGValue(a) - GetGValue(b)) <= slack && qAbs(GetBValue(a) - GetBValue(b)) <= slack;
}

// Whether every pixel of the control's rectangle has the one colour.
bool Uniform(const QImage& image, const QSize& size, COLORREF colour)
{
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            if (At(image, x, y) != colour) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

// Fills and lines are exact; points inside a title drawn in its fill colour get the slack.
#define COMPARE_PIXEL_NEAR(image, x, y, expected, slack)                                           \
    do {                                                                                           \
        const COLORREF actual_ = At(image, x, y);                                                  \
        if (!Near(actual_, (expected), (slack))) {                                                 \
            QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3, expected %4")                   \
                                 .arg(x)                                                           \
                                 .arg(y)                                                           \
                                 .arg(ToQColor(actual_).name(), ToQColor(expected).name())));      \
        }                                                                                          \
    } while (false)
#define COMPARE_PIXEL(image, x, y, expected) COMPARE_PIXEL_NEAR(image, x, y, expected, 0)
#define COMPARE_TITLE_PIXEL(image, x, y, expected)                                                 \
    COMPARE_PIXEL_NEAR(image, x, y, expected, kBlendSlack)

class TestControls : public QObject
{
    Q_OBJECT

private slots:
    void labelPaintsWholeBackground_data();
    void labelPaintsWholeBackground();
    void labelKeepsOneBrush();
    void buttonFill_data();
    void buttonFill();
    void captionCut_data();
    void captionCut();
    void captionBlackWhateverTheTheme_data();
    void captionBlackWhateverTheTheme();
    void frameStyle_data();
    void frameStyle();
    void windowStyle();
    void faceNameStaysInField_data();
    void faceNameStaysInField();
    void pointSizeKeepsOtherFields_data();
    void pointSizeKeepsOtherFields();
};

void TestControls::labelPaintsWholeBackground_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::newRow("enabled") << true;
    QTest::newRow("disabled") << false;
}

void TestControls::labelPaintsWholeBackground()
{
    QFETCH(bool, enabled);
    Canvas canvas;
    auto* label = new CColorStatic(canvas.window());
    label->setGeometry(20, 20, 60, 24);
    label->setEnabled(enabled);

    const QImage image = canvas.Grab(label);
    QVERIFY(Uniform(image, label->size(), kWindowBlue));
    COMPARE_PIXEL(image, -1, -1, kParent);
    COMPARE_PIXEL(image, 60, 24, kParent);
}

void TestControls::labelKeepsOneBrush()
{
    const int before = CColorStatic::LiveBrushCount();
    {
        Canvas canvas;
        auto* label = new CColorStatic(canvas.window());
        label->setGeometry(10, 10, 40, 20);
        QCOMPARE(CColorStatic::LiveBrushCount(), before + 1);

        // The old brush goes before the new one is made: never two at once.
        CColorStatic::ResetPeakBrushCount();
        label->SetBackColor(RGB(255, 0, 0));
        label->SetBackColor(RGB(0, 255, 0));
        QCOMPARE(CColorStatic::LiveBrushCount(), before + 1);
        QCOMPARE(CColorStatic::PeakBrushCount(), before + 1);
        QVERIFY(Uniform(canvas.Grab(label), label->size(), RGB(0, 255, 0)));

        // The text colour leaves the brush alone.
        label->SetTextColor(RGB(255, 255, 255));
        QCOMPARE(CColorStatic::PeakBrushCount(), before + 1);
        QCOMPARE(label->BackBrush().color(), QColor(0, 255, 0));
    }
    QCOMPARE(CColorStatic::LiveBrushCount(), before);
}

void TestControls::buttonFill_data()
{
    QTest::addColumn<bool>("teal");
    QTest::addColumn<bool>("pressed");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<COLORREF>("expected");

    constexpr COLORREF grey = RGB(192, 192, 192);
    QTest::newRow("default") << false << false << true << RGB(200, 200, 0);
    QTest::newRow("default pressed") << false << true << true << RGB(227, 227, 0);
    QTest::newRow("default disabled") << false << false << false << grey;
    QTest::newRow("default pressed disabled") << false << true << false << RGB(227, 227, 0);
    QTest::newRow("teal") << true << false << true << RGB(27, 106, 126);
    QTest::newRow("teal disabled") << true << false << false << grey;
    QTest::newRow("teal pressed disabled") << true << true << false << RGB(34, 134, 159);
}

void TestControls::buttonFill()
{
    QFETCH(bool, teal);
    QFETCH(bool, pressed);
    QFETCH(bool, enabled);
    QFETCH(COLORREF, expected);

    Canvas canvas;
    auto* button = new CMyButton(QStringLiteral("Open"), canvas.window());
    button->setGeometry(30, 30, 90, 28);
    if (teal) {
        button->SetPressedColor(RGB(34, 134, 159));
        button->SetNormalColor(RGB(27, 106, 126));
    }
    button->setEnabled(enabled);
    button->setDown(pressed);
    button->setDefault(true); // a default button looks like any other

    // The whole outer ring is fill: no border, edge, focus or default mark.
    const QImage image = canvas.Grab(button);
    for (int x = 0; x < 90; ++x) {
        COMPARE_PIXEL(image, x, 0, expected);
        COMPARE_PIXEL(image, x, 27, expected);
    }
    for (int y = 0; y < 28; ++y) {
        COMPARE_PIXEL(image, 0, y, expected);
        COMPARE_PIXEL(image, 89, y, expected);
    }
    COMPARE_PIXEL(image, -1, -1, kParent);
}

void TestControls::captionCut_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("drawn");

    const QString max(511, QLatin1Char('a'));
    const QString clef = QString::fromUtf8("\xF0\x9D\x84\x9E"); // two UTF-16 units
    QTest::newRow("short") << QStringLiteral("读电表") << QStringLiteral("读电表");
    QTest::newRow("511") << max << max;
    QTest::newRow("512") << max + QLatin1Char('b') << max;
    QTest::newRow("2000") << QString(2000, QLatin1Char('x')) << QString(511, QLatin1Char('x'));
    QTest::newRow("pair across the cut") << QString(510, QLatin1Char('a')) + clef + QLatin1Char('z')
                                         << QString(510, QLatin1Char('a'));
    QTest::newRow("pair before the cut") << QString(509, QLatin1Char('a')) + clef + QLatin1Char('z')
                                         << QString(509, QLatin1Char('a')) + clef;
}

void TestControls::captionCut()
{
    QFETCH(QString, caption);
    QFETCH(QString, drawn);
    const CMyButton button(caption);
    QCOMPARE(button.DrawnCaption(), drawn);
    QCOMPARE(button.text(), caption);
}

void TestControls::captionBlackWhateverTheTheme_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("pressed");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<COLORREF>("fill");

    QTest::newRow("light theme") << false << false << true << CMyButton::kDefaultNormal;
    QTest::newRow("dark theme") << true << false << true << CMyButton::kDefaultNormal;
    QTest::newRow("dark theme, pressed") << true << true << true << CMyButton::kDefaultPressed;
    QTest::newRow("dark theme, disabled") << true << false << false << CMyButton::kDisabledFill;
}

// Glyph shapes vary with the fonts installed, so no pixel of the caption is checked by place:
// black text on the fill only ever darkens it, a light caption would lighten some pixel, and
// the darkest pixel is the caption's own colour.
void TestControls::captionBlackWhateverTheTheme()
{
    QFETCH(bool, dark);
    QFETCH(bool, pressed);
    QFETCH(bool, enabled);
    QFETCH(COLORREF, fill);

    const QPalette theme = QGuiApplication::palette();
    if (dark) {
        QPalette palette = theme;
        for (const auto role : {QPalette::ButtonText, QPalette::WindowText, QPalette::Text}) {
            palette.setColor(role, Qt::white);
        }
        palette.setColor(QPalette::Button, QColor(40, 40, 40));
        palette.setColor(QPalette::Window, QColor(30, 30, 30));
        QApplication::setPalette(palette);
    }
    Canvas canvas;
    auto* button = new CMyButton(QStringLiteral("读电表 Read"), canvas.window());
    button->setGeometry(30, 30, 120, 30);
    button->setEnabled(enabled);
    button->setDown(pressed);
    const QImage image = canvas.Grab(button);
    QApplication::setPalette(theme);

    int darkest = 255;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 120; ++x) {
            const COLORREF pixel = At(image, x, y);
            const bool noLighter = GetRValue(pixel) <= GetRValue(fill) + kBlendSlack &&
                                   GetGValue(pixel) <= GetGValue(fill) + kBlendSlack &&
                                   GetBValue(pixel) <= GetBValue(fill) + kBlendSlack;
            QVERIFY2(noLighter, qPrintable(QStringLiteral("(%1, %2) is %3")
                                               .arg(x)
                                               .arg(y)
                                               .arg(ToQColor(pixel).name())));
            darkest = std::min(
                {darkest, std::max({GetRValue(pixel), GetGValue(pixel), GetBValue(pixel)})});
        }
    }
    QVERIFY2(darkest <= 40, qPrintable(QString::number(darkest)));
}

namespace {

// Title text in the title's own fill colour: the title rectangle reads as one block, whatever
// the glyphs. Returns the painted title's width and height.
QSize SetUpBox(CXPGroupBox* box, const QRect& geometry)
{
    box->setGeometry(geometry);
    box->SetFrameColor(kFrame)
        .SetFillColors(kTitleBack, kBody)
        .SetTitleTextColor(kTitleBack)
        .SetTitlePointSize(12);
    const QFontMetrics metrics(box->TitleQFont(), box);
    const QString painted = QLatin1Char(' ') + box->title() + QLatin1Char(' ');
    return {metrics.horizontalAdvance(painted), metrics.height()};
}

} // namespace

void TestControls::frameStyle_data()
{
    QTest::addColumn<int>("align");
    QTest::addColumn<int>("expectedAlign");

    QTest::newRow("left") << 0 << 0;
    QTest::newRow("centre") << 1 << 1;
    QTest::newRow("right") << 2 << 2;
    QTest::newRow("3 is left") << 3 << 0;
    QTest::newRow("-1 is left") << -1 << 0;
}

void TestControls::frameStyle()
{
    QFETCH(int, align);
    QFETCH(int, expectedAlign);

    Canvas canvas;
    auto* box = new CXPGroupBox(QStringLiteral("Serial configuration"), canvas.window());
    const QSize title = SetUpBox(box, QRect(10, 10, 360, 90));
    box->SetTitleAlign(align);
    const QImage image = canvas.Grab(box);
    QCOMPARE(box->PaintedTitle(), QStringLiteral(" Serial configuration "));

    const int cx = title.width();
    const int cy = title.height();
    const int line = 1 + cy / 2;
    const int left = expectedAlign == 1   ? 1 + (360 - 2 - cx) / 2
                     : expectedAlign == 2 ? 349 - cx
                                          : 11;
    const int right = left + cx;
    // The title's fill hides the frame line exactly over the title's width and height.
    COMPARE_PIXEL(image, left - 1, line, kFrame);
    COMPARE_TITLE_PIXEL(image, left, line, kTitleBack);
    COMPARE_TITLE_PIXEL(image, right - 1, line, kTitleBack);
    COMPARE_PIXEL(image, right, line, kFrame);
    COMPARE_TITLE_PIXEL(image, left, 1, kTitleBack);
    COMPARE_TITLE_PIXEL(image, left, cy, kTitleBack);
    COMPARE_PIXEL(image, left, cy + 1, kParent);
    COMPARE_PIXEL(image, left - 1, 1, kParent);
    // The frame runs one pixel inside the box; the inside is the parent's.
    COMPARE_PIXEL(image, 1, 60, kFrame);
    COMPARE_PIXEL(image, 358, 60, kFrame);
    COMPARE_PIXEL(image, 180, 88, kFrame);
    COMPARE_PIXEL(image, 0, 60, kParent);
    COMPARE_PIXEL(image, 180, 89, kParent);
    COMPARE_PIXEL(image, 180, 60, kParent);
}

void TestControls::windowStyle()
{
    Canvas canvas;
    auto* box = new CXPGroupBox(QStringLiteral("Ab"), canvas.window());
    const int cy = SetUpBox(box, QRect(20, 20, 240, 120)).height();
    box->SetBoxStyle(CXPGroupBox::WindowStyle);
    const QImage image = canvas.Grab(box);
    const int bodyTop = 1 + cy + 4;

    // A band cy + 4 high, then the body, each in its fill.
    COMPARE_PIXEL(image, 229, 2, kTitleBack);
    COMPARE_PIXEL(image, 229, bodyTop - 1, kTitleBack);
    COMPARE_PIXEL(image, 120, bodyTop, kFrame);
    COMPARE_PIXEL(image, 120, bodyTop + 1, kBody);
    COMPARE_PIXEL(image, 2, 117, kBody);
    // Outline one pixel inside the box; upper corners rounded, lower corners square.
    COMPARE_PIXEL(image, 120, 1, kFrame);
    COMPARE_PIXEL(image, 120, 0, kParent);
    COMPARE_PIXEL(image, 1, 80, kFrame);
    COMPARE_PIXEL(image, 238, 80, kFrame);
    COMPARE_PIXEL(image, 120, 118, kFrame);
    COMPARE_PIXEL(image, 1, 1, kParent);
    COMPARE_PIXEL(image, 238, 1, kParent);
    COMPARE_PIXEL(image, 1, 118, kFrame);
    COMPARE_PIXEL(image, 238, 118, kFrame);
}

void TestControls::faceNameStaysInField_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");

    const QString thirtyOne(31, QLatin1Char('f'));
    QTest::newRow("short") << QStringLiteral("DejaVu Sans") << QStringLiteral("DejaVu Sans");
    QTest::newRow("31") << thirtyOne << thirtyOne;
    QTest::newRow("32") << thirtyOne + QLatin1Char('g') << thirtyOne;
    QTest::newRow("100") << QString(100, QLatin1Char('x')) << QString(31, QLatin1Char('x'));
    // Three bytes a character: ten fit in 30 bytes, the eleventh would be split.
    QTest::newRow("chinese") << QString(20, QChar(0x5B8B)) << QString(10, QChar(0x5B8B));
}

void TestControls::faceNameStaysInField()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);

    struct Guarded
    {
        LOGFONT lf;
        std::array<unsigned char, 32> guard;
    } record{};
    record.lf.lfPitchAndFamily = 0x22;
    std::memset(record.lf.lfFaceName, 'Z', sizeof(record.lf.lfFaceName));
    record.guard.fill(0xA5);

    SetLogFontFaceName(record.lf, name);
    QCOMPARE(LogFontFaceName(record.lf), stored);
    QCOMPARE(record.lf.lfFaceName[LF_FACESIZE - 1], '\0');
    QCOMPARE(record.lf.lfPitchAndFamily, std::uint8_t{0x22});
    for (unsigned char byte : record.guard) {
        QCOMPARE(byte, static_cast<unsigned char>(0xA5));
    }

    // The group box stores its title face the same way and keeps the other fields.
    CXPGroupBox box(QStringLiteral("Data"));
    LOGFONT before = box.TitleFont();
    box.SetTitleFaceName(name, GB2312_CHARSET);
    QCOMPARE(LogFontFaceName(box.TitleFont()), stored);
    before.lfCharSet = GB2312_CHARSET;
    std::memcpy(before.lfFaceName, box.TitleFont().lfFaceName, LF_FACESIZE);
    QCOMPARE(std::memcmp(&before, &box.TitleFont(), sizeof(LOGFONT)), 0);
}

void TestControls::pointSizeKeepsOtherFields_data()
{
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("height");

    if (qRound(QGuiApplication::primaryScreen()->logicalDotsPerInchY()) != 96) {
        QSKIP("the heights below are those of a 96 dpi screen");
    }
    QTest::newRow("12") << 12 << -16;
    QTest::newRow("10 rounds up") << 10 << -13;
    QTest::newRow("0") << 0 << 0;
    QTest::newRow("negative") << -12 << -16;
    QTest::newRow("INT_MAX saturates") << INT_MAX << -INT_MAX;
    QTest::newRow("INT_MIN saturates") << INT_MIN << -INT_MAX;
}

void TestControls::pointSizeKeepsOtherFields()
{
    QFETCH(int, points);
    QFETCH(int, height);

    LOGFONT lf;
    lf.lfHeight = -30;
    lf.lfWidth = 11;
    lf.lfWeight = FW_BOLD;
    lf.lfItalic = lf.lfUnderline = lf.lfStrikeOut = 1;
    lf.lfCharSet = GB2312_CHARSET;
    lf.lfQuality = NONANTIALIASED_QUALITY;
    lf.lfPitchAndFamily = 0x12;
    SetLogFontFaceName(lf, QStringLiteral("DejaVu Serif"));
    CXPGroupBox box;
    box.SetTitleFont(lf).SetTitlePointSize(points);

    const LOGFONT& after = box.TitleFont();
    QCOMPARE(after.lfHeight, height);
    QCOMPARE(after.lfWidth, 0);
    // Everything else exactly as it was, and the painted font follows the description.
    QCOMPARE(std::memcmp(&after.lfEscapement, &lf.lfEscapement,
                         sizeof(LOGFONT) - offsetof(LOGFONT, lfEscapement)),
             0);
    const QFont& font = box.TitleQFont();
    QVERIFY(font.bold() && font.italic() && font.underline() && font.strikeOut());
    QCOMPARE(font.family(), QStringLiteral("DejaVu Serif"));
}

QTEST_MAIN(TestControls)
#include "test_controls.moc"
