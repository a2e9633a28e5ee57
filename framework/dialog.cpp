#include "dialog.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableView>

#include <climits>
#include <cstdlib>

int MulDiv(int a, int b, int c)
{
    if (c == 0) {
        return -1;
    }
    const long long product = static_cast<long long>(a) * b;
    const long long half = std::llabs(static_cast<long long>(c)) / 2;
    const bool negative = (product < 0) != (c < 0);
    const long long magnitude = (std::llabs(product) + half) / std::llabs(static_cast<long long>(c));
    return static_cast<int>(negative ? -magnitude : magnitude);
}

DialogUnits::DialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    const int letters =
        metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseWidth = (letters / 26 + 1) / 2;
    m_baseHeight = metrics.height();
}

int DialogUnits::toPixelsX(int units) const { return MulDiv(units, m_baseWidth, 4); }

int DialogUnits::toPixelsY(int units) const { return MulDiv(units, m_baseHeight, 8); }

QRect DialogUnits::toPixels(int x, int y, int cx, int cy) const
{
    // Windows maps the two corners, not the origin and the size.
    const int left = toPixelsX(x);
    const int top = toPixelsY(y);
    return QRect(left, top, toPixelsX(x + cx) - left, toPixelsY(y + cy) - top);
}

QFont TemplateFont(const DialogTemplate& dialogTemplate)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (qstrcmp(dialogTemplate.fontFace, "MS Shell Dlg") == 0) {
        // The dialog font of a Chinese desktop: one face for both scripts, as narrow as the
        // layouts were drawn for. The system font stays the fallback where none is installed.
        font.setFamilies({QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei"), font.family()});
    } else {
        font.setFamily(QString::fromUtf8(dialogTemplate.fontFace));
    }
    font.setPointSize(dialogTemplate.pointSize);
    return font;
}

DlgInt ParseDlgInt(const QString& text, bool isSigned)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace()) {
        ++i;
    }
    bool negative = false;
    if (isSigned && i < text.size() && text.at(i) == QLatin1Char('-')) {
        negative = true;
        ++i;
    }
    const long long limit = isSigned ? (negative ? -static_cast<long long>(INT_MIN) : INT_MAX)
                                     : static_cast<long long>(UINT_MAX);
    long long value = 0;
    bool digits = false;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            break;
        }
        digits = true;
        value = value * 10 + (c.unicode() - '0');
        if (value > limit) {
            return {0, DlgInt::Status::Overflow};
        }
    }
    while (i < text.size() && text.at(i).isSpace()) {
        ++i;
    }
    // "12abc" or "1e3" is not a number: reading the leading digits would send a request to
    // a meter the operator never named.
    if (!digits || i < text.size()) {
        return {0, DlgInt::Status::NoDigits};
    }
    const long long signedValue = negative ? -value : value;
    return {static_cast<int>(static_cast<unsigned>(signedValue)), DlgInt::Status::Ok};
}

CDialog::CDialog(const DialogTemplate& dialogTemplate, QWidget* parent)
    : QDialog(parent), m_template(dialogTemplate), m_units(TemplateFont(dialogTemplate))
{
    setWindowTitle(QString::fromUtf8(m_template.title));
    setFont(TemplateFont(m_template));
}

CDialog::~CDialog() = default;

bool CDialog::Create()
{
    if (m_created) {
        return true;
    }
    m_created = true;
    CreateControls();
    DoDataExchange();
    ApplyAccessibility();
    return OnInitDialog();
}

int CDialog::DoModal()
{
    Create();
    return exec();
}

void CDialog::CreateControls()
{
    setFixedSize(m_units.toPixelsX(m_template.cx), m_units.toPixelsY(m_template.cy));
    for (const ControlTemplate& control : m_template.controls) {
        QWidget* widget = CreateControl(control);
        widget->setParent(this);
        widget->setGeometry(m_units.toPixels(control.x, control.y, control.cx, control.cy));
        widget->setObjectName(QStringLiteral("IDC_%1").arg(control.id));
        widget->setProperty("controlId", control.id);
        widget->setEnabled(!(control.flags & ControlFlag::Disabled));
        widget->setVisible(!(control.flags & ControlFlag::Hidden));
        if (auto* button = qobject_cast<QPushButton*>(widget)) {
            // No button is a default button: what Enter does is decided in keyPressEvent alone.
            button->setAutoDefault(false);
        }
        m_controls.insert(control.id, widget);
    }
    // Group boxes are drawn first so that the controls inside them stay on top.
    for (const ControlTemplate& control : m_template.controls) {
        if (control.kind == ControlKind::GroupBox) {
            m_controls.value(control.id)->lower();
        }
    }
}

QWidget* CDialog::CreateControl(const ControlTemplate& control)
{
    const QString caption = QString::fromUtf8(control.caption);
    switch (control.kind) {
    case ControlKind::Static:
        return new QLabel(caption);
    case ControlKind::PushButton:
        return new QPushButton(caption);
    case ControlKind::GroupBox:
        return new QGroupBox(caption);
    case ControlKind::ComboBox:
        return new QComboBox;
    case ControlKind::ListView: {
        auto* view = new QTableView;
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setShowGrid(true);
        view->verticalHeader()->hide();
        return view;
    }
    case ControlKind::Icon: {
        auto* label = new QLabel;
        label->setPixmap(windowIcon().pixmap(32, 32));
        return label;
    }
    case ControlKind::Edit:
        break;
    }
    if (control.flags & ControlFlag::MultiLine) {
        auto* edit = new QPlainTextEdit;
        edit->setReadOnly(control.flags & ControlFlag::ReadOnly);
        edit->setLineWrapMode((control.flags & ControlFlag::HScroll) ? QPlainTextEdit::NoWrap
                                                                     : QPlainTextEdit::WidgetWidth);
        return edit;
    }
    auto* edit = new QLineEdit;
    edit->setReadOnly(control.flags & ControlFlag::ReadOnly);
    if (control.flags & ControlFlag::Password) {
        edit->setEchoMode(QLineEdit::Password);
    }
    return edit;
}

void CDialog::ApplyAccessibility()
{
    // Assistive technology names a control by its caption; an edit or a list by the caption
    // of the label placed before it. The description carries the control id, as UI
    // automation exposes it on the platform this layout comes from.
    QString lastLabel;
    for (const ControlTemplate& control : m_template.controls) {
        QWidget* widget = m_controls.value(control.id);
        const QString caption = QString::fromUtf8(control.caption);
        switch (control.kind) {
        case ControlKind::Static:
            lastLabel = caption;
            widget->setAccessibleName(caption);
            break;
        case ControlKind::Edit:
        case ControlKind::ComboBox:
        case ControlKind::ListView:
            widget->setAccessibleName(lastLabel);
            break;
        default:
            widget->setAccessibleName(caption);
            break;
        }
        widget->setAccessibleDescription(QString::number(control.id));
    }
}

QWidget* CDialog::GetDlgItem(int id) const { return m_controls.value(id, nullptr); }

const ControlTemplate* CDialog::ControlTemplateOf(int id) const
{
    for (const ControlTemplate& control : m_template.controls) {
        if (control.id == id) {
            return &control;
        }
    }
    return nullptr;
}

QString CDialog::GetDlgItemText(int id) const
{
    QWidget* widget = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        return edit->text();
    }
    if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
        return edit->toPlainText();
    }
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        return combo->currentText();
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return label->text();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        return button->text();
    }
    if (auto* box = qobject_cast<QGroupBox*>(widget)) {
        return box->title();
    }
    return {};
}

void CDialog::SetDlgItemText(int id, const QString& text)
{
    QWidget* widget = GetDlgItem(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(text);
    } else if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
        edit->setPlainText(text);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        button->setText(text);
    } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
        box->setTitle(text);
    }
}

int CDialog::GetDlgItemInt(int id, bool* translated, bool isSigned) const
{
    const DlgInt parsed = ParseDlgInt(GetDlgItemText(id), isSigned);
    if (translated) {
        *translated = parsed.status == DlgInt::Status::Ok;
    }
    return parsed.value;
}

void CDialog::SetDlgItemInt(int id, int value, bool isSigned)
{
    SetDlgItemText(id, isSigned ? QString::number(value) : QString::number(static_cast<unsigned>(value)));
}

void CDialog::EnableDlgItem(int id, bool enable)
{
    if (QWidget* widget = GetDlgItem(id)) {
        widget->setEnabled(enable);
    }
}

bool CDialog::IsDlgItemEnabled(int id) const
{
    QWidget* widget = GetDlgItem(id);
    return widget && widget->isEnabled();
}

void CDialog::OnCommand(int id, std::function<void()> handler)
{
    if (auto* button = DlgItem<QAbstractButton>(id)) {
        connect(button, &QAbstractButton::clicked, this, [handler = std::move(handler)] { handler(); });
    }
}

void CDialog::CenterWindow(QWidget* over)
{
    if (!over) {
        over = parentWidget();
    }
    const QRect target = over ? over->frameGeometry() : screen()->availableGeometry();
    QRect frame = frameGeometry();
    frame.moveCenter(target.center());
    move(frame.topLeft());
}

void CDialog::OnOK() { accept(); }

void CDialog::OnCancel() { reject(); }

void CDialog::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        OnCancel();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A focused button takes Enter as a click; anywhere else Enter does nothing. Enter is
        // pressed out of habit after typing into an edit or picking from a list, and ending
        // the main window there would end the program and every reading taken.
        if (auto* button = qobject_cast<QAbstractButton*>(focusWidget())) {
            button->click();
        }
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}
