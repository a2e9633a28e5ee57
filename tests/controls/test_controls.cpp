#include "colorstatic.h"
#include "logfont.h"
#include "mybutton.h"
#include "xpgroupbox.h"

#include <QDir>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>
#include <QTest>

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
    // Set QVX_CONTROLS_SNAPSHOTS to a folder to keep every grab as a PNG.
    QImage Grab(const QWidget* control)
    {
        const QRect area = control->geometry().adjusted(-1, -1, 1, 1);
        QImage image = m_window.grab(area).toImage().convertToFormat(QImage::Format_RGB32);
        const QString dir = qEnvironmentVariable("QVX_CONTROLS_SNAPSHOTS");
        if (!dir.isEmpty()) {
            static int s_sequence = 0;
            QString name = QString::fromLatin1(QTest::currentTestFunction());
            if (const char* tag = QTest::currentDataTag()) {
                name += QLatin1Char('-') + QString::fromLatin1(tag).replace(QLatin1Char(' '), '_');
            }
            image.save(QDir(dir).filePath(QStringLiteral("controls-%1-%2.png")
                                              .arg(++s_sequence, 3, 10, QLatin1Char('0'))
                                              .arg(name)));
        }
        return image;
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

QString Text(COLORREF c)
{
    return QStringLiteral("RGB(%1,%2,%3)").arg(GetRValue(c)).arg(GetGValue(c)).arg(GetBValue(c));
}

// Whether every pixel of the control's rectangle has the one colour.
bool Uniform(const QImage& image, const QSize& size, COLORREF colour, int slack = 0)
{
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            if (!Near(At(image, x, y), colour, slack)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

#define COMPARE_PIXEL_NEAR(image, x, y, expected, slack)                                           \
    do {                                                                                           \
        const COLORREF actual_ = At(image, x, y);                                                  \
        if (!Near(actual_, (expected), (slack))) {                                                 \
            QFAIL(qPrintable(QStringLiteral("pixel (%1, %2) is %3, expected %4")                   \
                                 .arg(x)                                                           \
                                 .arg(y)                                                           \
                                 .arg(Text(actual_), Text(expected))));                            \
        }                                                                                          \
    } while (false)

// Fills and lines are exact; points inside a title drawn in its fill colour get the slack.
#define COMPARE_PIXEL(image, x, y, expected) COMPARE_PIXEL_NEAR(image, x, y, expected, 0)
#define COMPARE_TITLE_PIXEL(image, x, y, expected)                                                 \
    COMPARE_PIXEL_NEAR(image, x, y, expected, kBlendSlack)

class TestControls : public QObject
{
    Q_OBJECT

private slots:
    void labelPaintsWholeBackground_data();
    void labelPaintsWholeBackground();
    void labelTextInItsColour();
    void disabledLabelLooksEnabled();
    void labelKeepsOneBrush();

    void buttonFill_data();
    void buttonFill();
    void disabledCaptionKeepsNormalColour();
    void captionCut_data();
    void captionCut();
    void wideCaptionStaysInside();
    void colourSetterDoesNotRepaint();

    void frameStyleTitle_data();
    void frameStyleTitle();
    void frameStyleOutline();
    void emptyTitles();
    void titleFixedAfterFirstPaint();
    void windowStyle_data();
    void windowStyle();
    void faceNameStaysInField_data();
    void faceNameStaysInField();
    void setTitleFaceNameTruncates();
    void pointSizeKeepsOtherFields_data();
    void pointSizeKeepsOtherFields();
    void titleFontFollowsWidgetUntilSet();
};

// ---------------------------------------------------------------------------------------------
// Colour label

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

void TestControls::labelTextInItsColour()
{
    Canvas canvas;
    auto* label = new CColorStatic(QStringLiteral("COM:"), canvas.window());
    label->setGeometry(20, 20, 80, 30);
    QVERIFY(!Uniform(canvas.Grab(label), label->size(), kWindowBlue));

    // Text in the background colour vanishes whatever the glyphs: it is drawn in the label's
    // text colour and nothing else, also when wrapped and aligned by Qt.
    label->SetTextColor(kWindowBlue);
    QVERIFY(Uniform(canvas.Grab(label), label->size(), kWindowBlue, kBlendSlack));
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignRight | Qt::AlignBottom);
    label->setText(QStringLiteral("Display time(s): wrapped over lines"));
    QVERIFY(Uniform(canvas.Grab(label), label->size(), kWindowBlue, kBlendSlack));
}

void TestControls::disabledLabelLooksEnabled()
{
    Canvas canvas;
    auto* enabled = new CColorStatic(QStringLiteral("Baud rate:"), canvas.window());
    auto* disabled = new CColorStatic(QStringLiteral("Baud rate:"), canvas.window());
    enabled->setGeometry(10, 10, 90, 24);
    disabled->setGeometry(10, 50, 90, 24);
    disabled->setEnabled(false);

    const QImage image = canvas.Grab(enabled);
    QVERIFY(!Uniform(image, enabled->size(), kWindowBlue));
    QCOMPARE(canvas.Grab(disabled), image);
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
        QCOMPARE(label->BackBrush().color(), QColor(0, 255, 0));
        QVERIFY(Uniform(canvas.Grab(label), label->size(), RGB(0, 255, 0)));

        // The text colour leaves the brush alone.
        label->SetTextColor(RGB(255, 255, 255));
        QCOMPARE(CColorStatic::PeakBrushCount(), before + 1);
        QCOMPARE(label->BackBrush().color(), QColor(0, 255, 0));
        QCOMPARE(label->BackColor(), RGB(0, 255, 0));
    }
    QCOMPARE(CColorStatic::LiveBrushCount(), before);
}

// ---------------------------------------------------------------------------------------------
// Flat button

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
    QTest::newRow("teal pressed") << true << true << true << RGB(34, 134, 159);
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
    // A default button looks like any other.
    button->setDefault(true);

    const QImage image = canvas.Grab(button);
    // The whole outer ring is fill: no border, edge, focus or default mark.
    for (int x = 0; x < 90; ++x) {
        COMPARE_PIXEL(image, x, 0, expected);
        COMPARE_PIXEL(image, x, 27, expected);
    }
    for (int y = 0; y < 28; ++y) {
        COMPARE_PIXEL(image, 0, y, expected);
        COMPARE_PIXEL(image, 89, y, expected);
    }
    COMPARE_PIXEL(image, 4, 14, expected);
    COMPARE_PIXEL(image, -1, -1, kParent);
}

void TestControls::disabledCaptionKeepsNormalColour()
{
    Canvas canvas;
    auto* button = new CMyButton(QStringLiteral("Read Password"), canvas.window());
    button->setGeometry(10, 10, 120, 28);
    button->setEnabled(false);

    // With the normal text colour equal to the disabled fill the caption vanishes; the
    // disabled text colour, red here, would show.
    QPalette pal = button->palette();
    pal.setColor(QPalette::Active, QPalette::ButtonText, ToQColor(CMyButton::kDisabledFill));
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, Qt::red);
    button->setPalette(pal);
    QVERIFY(Uniform(canvas.Grab(button), button->size(), CMyButton::kDisabledFill, kBlendSlack));

    pal.setColor(QPalette::Active, QPalette::ButtonText, Qt::black);
    button->setPalette(pal);
    QVERIFY(!Uniform(canvas.Grab(button), button->size(), CMyButton::kDisabledFill));
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

void TestControls::wideCaptionStaysInside()
{
    Canvas canvas;
    auto* button = new CMyButton(QStringLiteral("设置奇偶校验 a caption far wider than its button"),
                                 canvas.window());
    button->setGeometry(40, 40, 60, 40);

    const QImage image = canvas.Grab(button);
    QVERIFY(!Uniform(image, button->size(), CMyButton::kDefaultNormal));
    // Nothing spills onto the parent, and the caption stays on one line: the top and bottom
    // rows, more than half a line from the centre, are plain fill.
    for (int y = -1; y <= 40; ++y) {
        COMPARE_PIXEL(image, -1, y, kParent);
        COMPARE_PIXEL(image, 60, y, kParent);
    }
    for (int x = 0; x < 60; ++x) {
        COMPARE_PIXEL(image, x, 0, CMyButton::kDefaultNormal);
        COMPARE_PIXEL(image, x, 39, CMyButton::kDefaultNormal);
    }
}

namespace {

class PaintCounter : public QObject
{
public:
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        count += event->type() == QEvent::Paint ? 1 : 0;
        return QObject::eventFilter(watched, event);
    }
};

} // namespace

void TestControls::colourSetterDoesNotRepaint()
{
    Canvas canvas;
    auto* button = new CMyButton(QStringLiteral("设置地址"), canvas.window());
    button->setGeometry(10, 10, 90, 28);
    canvas.window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(canvas.window()));

    PaintCounter counter;
    button->installEventFilter(&counter);
    button->SetNormalColor(RGB(0, 128, 192));
    button->SetPressedColor(RGB(0, 153, 227));
    QTest::qWait(50);
    QCOMPARE(counter.count, 0);

    // Pressing repaints, and the new colours show.
    button->setDown(true);
    QTRY_VERIFY(counter.count > 0);
    COMPARE_PIXEL(canvas.Grab(button), 0, 0, RGB(0, 153, 227));
    button->setDown(false);
    COMPARE_PIXEL(canvas.Grab(button), 0, 0, RGB(0, 128, 192));
}

// ---------------------------------------------------------------------------------------------
// Group box

namespace {

// Title text in the title's own fill colour: the title rectangle reads as one block, whatever
// the glyphs.
CXPGroupBox* MakeBox(Canvas& canvas, const QString& caption, const QRect& geometry)
{
    auto* box = new CXPGroupBox(caption, canvas.window());
    box->setGeometry(geometry);
    box->SetFrameColor(kFrame)
        .SetFillColors(kTitleBack, kBody)
        .SetTitleTextColor(kTitleBack)
        .SetTitlePointSize(12);
    return box;
}

// Width and height of the painted title.
QSize Extent(const CXPGroupBox* box)
{
    if (box->PaintedTitle().isEmpty()) {
        return {0, 0};
    }
    const QFontMetrics metrics(box->TitleQFont(), box);
    return {metrics.horizontalAdvance(box->PaintedTitle()), metrics.height()};
}

} // namespace

void TestControls::frameStyleTitle_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("align");
    QTest::addColumn<int>("expectedAlign");

    const QString serial = QStringLiteral("Serial configuration");
    QTest::newRow("left") << serial << 360 << 0 << 0;
    QTest::newRow("centre") << serial << 360 << 1 << 1;
    QTest::newRow("right") << serial << 360 << 2 << 2;
    QTest::newRow("3 is left") << serial << 360 << 3 << 0;
    QTest::newRow("-1 is left") << serial << 360 << -1 << 0;
    QTest::newRow("centre, wider than the box") << serial << 60 << 1 << 1;
    QTest::newRow("chinese") << QStringLiteral("单相表数据") << 300 << 0 << 0;
}

void TestControls::frameStyleTitle()
{
    QFETCH(QString, caption);
    QFETCH(int, width);
    QFETCH(int, align);
    QFETCH(int, expectedAlign);

    Canvas canvas;
    CXPGroupBox* box = MakeBox(canvas, caption, QRect(10, 10, width, 90));
    box->SetTitleAlign(align);
    QCOMPARE(box->TitleAlignValue(), expectedAlign);

    const QImage image = canvas.Grab(box);
    QCOMPARE(box->PaintedTitle(), QLatin1Char(' ') + caption + QLatin1Char(' '));
    const int cx = Extent(box).width();
    const int cy = Extent(box).height();
    const int line = 1 + cy / 2;
    const int left = expectedAlign == 1   ? 1 + (width - 2 - cx) / 2
                     : expectedAlign == 2 ? width - 11 - cx
                                          : 11;
    const int right = left + cx;

    if (right < width) {
        // The title's fill hides the frame line exactly over the title's width and height.
        COMPARE_PIXEL(image, left - 1, line, kFrame);
        COMPARE_TITLE_PIXEL(image, left, line, kTitleBack);
        COMPARE_TITLE_PIXEL(image, left + cx / 2, line, kTitleBack);
        COMPARE_TITLE_PIXEL(image, right - 1, line, kTitleBack);
        COMPARE_PIXEL(image, right, line, kFrame);
        COMPARE_TITLE_PIXEL(image, left, 1, kTitleBack);
        COMPARE_TITLE_PIXEL(image, left, cy, kTitleBack);
        COMPARE_PIXEL(image, left, cy + 1, kParent);
        COMPARE_PIXEL(image, left - 1, 1, kParent);
    } else {
        // Its middle at the middle of the box, cut off by the box's edges on both sides.
        QVERIFY(left < 0);
        QVERIFY(qAbs(left + right - width) <= 1);
        for (int x = 0; x < width; ++x) {
            COMPARE_TITLE_PIXEL(image, x, line, kTitleBack);
        }
        COMPARE_PIXEL(image, -1, line, kParent);
        COMPARE_PIXEL(image, width, line, kParent);
    }
}

void TestControls::frameStyleOutline()
{
    Canvas canvas;
    CXPGroupBox* box = MakeBox(canvas, QStringLiteral("Meter"), QRect(20, 20, 200, 100));
    const QImage image = canvas.Grab(box);
    const int line = 1 + Extent(box).height() / 2;

    // The frame runs one pixel inside the box, its top line through the title's middle.
    COMPARE_PIXEL(image, 150, line, kFrame);
    COMPARE_PIXEL(image, 150, line - 1, kParent);
    COMPARE_PIXEL(image, 1, 60, kFrame);
    COMPARE_PIXEL(image, 198, 60, kFrame);
    COMPARE_PIXEL(image, 100, 98, kFrame);
    COMPARE_PIXEL(image, 0, 60, kParent);
    COMPARE_PIXEL(image, 100, 99, kParent);
    // Rounded corners leave out the corner pixels.
    COMPARE_PIXEL(image, 198, line, kParent);
    COMPARE_PIXEL(image, 1, 98, kParent);
    COMPARE_PIXEL(image, 198, 98, kParent);
    // The inside is the parent's.
    COMPARE_PIXEL(image, 100, 60, kParent);
}

void TestControls::emptyTitles()
{
    Canvas canvas;
    // Never given a title: the frame's top is the box's top, unbroken.
    CXPGroupBox* untitled = MakeBox(canvas, QString(), QRect(20, 20, 200, 60));
    QImage image = canvas.Grab(untitled);
    QVERIFY(untitled->PaintedTitle().isEmpty());
    for (int x = 6; x < 194; ++x) {
        COMPARE_PIXEL(image, x, 1, kFrame);
    }
    COMPARE_PIXEL(image, 100, 2, kParent);

    // SetTitle with empty text: two spaces, a short gap in the line.
    CXPGroupBox* gap = MakeBox(canvas, QStringLiteral("Parity"), QRect(20, 100, 200, 60));
    gap->SetTitle(QString());
    image = canvas.Grab(gap);
    QCOMPARE(gap->PaintedTitle(), QStringLiteral("  "));
    const QSize extent = Extent(gap);
    const int line = 1 + extent.height() / 2;
    QVERIFY(extent.width() > 0);
    COMPARE_PIXEL(image, 10, line, kFrame);
    COMPARE_TITLE_PIXEL(image, 11, line, kTitleBack);
    COMPARE_TITLE_PIXEL(image, 10 + extent.width(), line, kTitleBack);
    COMPARE_PIXEL(image, 11 + extent.width(), line, kFrame);
}

void TestControls::titleFixedAfterFirstPaint()
{
    Canvas canvas;
    CXPGroupBox* box =
        MakeBox(canvas, QStringLiteral("Serial configuration"), QRect(0, 0, 300, 60));
    QCOMPARE(box->PaintedTitle(), QString());
    canvas.Grab(box);
    canvas.Grab(box);
    QCOMPARE(box->PaintedTitle(), QStringLiteral(" Serial configuration "));

    box->setTitle(QStringLiteral("Changed"));
    canvas.Grab(box);
    QCOMPARE(box->PaintedTitle(), QStringLiteral(" Serial configuration "));
    box->SetTitle(QStringLiteral("Meter setting"));
    QCOMPARE(box->PaintedTitle(), QStringLiteral(" Meter setting "));
}

void TestControls::windowStyle_data()
{
    QTest::addColumn<int>("align");
    QTest::addColumn<bool>("textVisible");
    QTest::newRow("left") << 0 << false;
    QTest::newRow("right") << 2 << false;
    QTest::newRow("centre, white text") << 1 << true;
}

void TestControls::windowStyle()
{
    QFETCH(int, align);
    QFETCH(bool, textVisible);

    Canvas canvas;
    CXPGroupBox* box = MakeBox(canvas, QStringLiteral("Ab"), QRect(20, 20, 240, 120));
    box->SetBoxStyle(CXPGroupBox::WindowStyle).SetTitleAlign(align);
    if (textVisible) {
        box->SetTitleTextColor(RGB(255, 255, 255));
    }
    const QImage image = canvas.Grab(box);
    const int cy = Extent(box).height();
    const int bodyTop = 1 + cy + 4;

    // A band cy + 4 high, then the body, each in its fill.
    const int bandX = align == 2 ? 10 : 229;
    COMPARE_PIXEL(image, bandX, 2, kTitleBack);
    COMPARE_PIXEL(image, bandX, bodyTop - 1, kTitleBack);
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

    // The title is inset 2 from the band's top and ends 2 above the body: the band's first row
    // (between the rounded corners) and the rows below the title are clear of text.
    for (int x = 6; x < 234; ++x) {
        COMPARE_PIXEL(image, x, 2, kTitleBack);
        for (int y = 3 + cy; y < bodyTop; ++y) {
            COMPARE_PIXEL(image, x, y, kTitleBack);
        }
    }
    if (textVisible) {
        QVERIFY(!Uniform(image, box->size(), kTitleBack));
    }
}

void TestControls::faceNameStaysInField_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored");

    const QString thirtyOne(31, QLatin1Char('f'));
    QTest::newRow("short") << QStringLiteral("DejaVu Sans") << QStringLiteral("DejaVu Sans");
    QTest::newRow("empty") << QString() << QString();
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
}

void TestControls::setTitleFaceNameTruncates()
{
    Canvas canvas;
    auto* box = new CXPGroupBox(QStringLiteral("Data"), canvas.window());
    box->setGeometry(0, 0, 200, 60);
    const LOGFONT before = box->TitleFont();
    box->SetTitleFaceName(QString(100, QLatin1Char('q')), GB2312_CHARSET);

    const LOGFONT& after = box->TitleFont();
    QCOMPARE(LogFontFaceName(after), QString(31, QLatin1Char('q')));
    QCOMPARE(after.lfCharSet, GB2312_CHARSET);
    QCOMPARE(after.lfHeight, before.lfHeight);
    QCOMPARE(after.lfWeight, before.lfWeight);
    QCOMPARE(after.lfItalic, before.lfItalic);
    QCOMPARE(after.lfPitchAndFamily, before.lfPitchAndFamily);
    // A face this machine does not have still paints, in a substitute.
    QVERIFY(!canvas.Grab(box).isNull());
}

void TestControls::pointSizeKeepsOtherFields_data()
{
    QTest::addColumn<int>("points");
    QTest::addColumn<int>("height");

    if (qRound(QGuiApplication::primaryScreen()->logicalDotsPerInchY()) != 96) {
        QSKIP("the heights below are those of a 96 dpi screen");
    }
    QTest::newRow("12") << 12 << -16;
    QTest::newRow("9") << 9 << -12;
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
    lf.lfItalic = 1;
    lf.lfUnderline = 1;
    lf.lfStrikeOut = 1;
    lf.lfCharSet = GB2312_CHARSET;
    lf.lfQuality = NONANTIALIASED_QUALITY;
    lf.lfPitchAndFamily = 0x12;
    SetLogFontFaceName(lf, QStringLiteral("DejaVu Serif"));
    CXPGroupBox box;
    box.SetTitleFont(lf).SetTitlePointSize(points);

    const LOGFONT& after = box.TitleFont();
    QCOMPARE(after.lfHeight, height);
    QCOMPARE(after.lfWidth, 0);
    // Everything else exactly as it was.
    QCOMPARE(std::memcmp(&after.lfEscapement, &lf.lfEscapement,
                         sizeof(LOGFONT) - offsetof(LOGFONT, lfEscapement)),
             0);

    // The painted font follows the description.
    const QFont& font = box.TitleQFont();
    QVERIFY(font.bold() && font.italic() && font.underline() && font.strikeOut());
    QCOMPARE(font.family(), QStringLiteral("DejaVu Serif"));
    if (height == -16) {
        QCOMPARE(font.pixelSize(), 16);
    }
}

void TestControls::titleFontFollowsWidgetUntilSet()
{
    QWidget dialog;
    QFont dialogFont = dialog.font();
    dialogFont.setPixelSize(21);
    dialog.setFont(dialogFont);

    // Made first and placed in its dialog afterwards, as a dialog built from a template does.
    auto* box = new CXPGroupBox;
    box->setParent(&dialog);
    QCOMPARE(box->TitleFont().lfHeight, -21);

    box->SetTitleBold(true);
    dialogFont.setPixelSize(30);
    dialog.setFont(dialogFont);
    QCOMPARE(box->TitleFont().lfHeight, -21);
    QCOMPARE(box->TitleFont().lfWeight, FW_BOLD);
    QCOMPARE(box->TitleQFont().pixelSize(), 21);
}

QTEST_MAIN(TestControls)
#include "test_controls.moc"
