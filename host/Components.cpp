#include "Components.h"

#include "HostGuard.h"
#include "core/HostExceptions.h"

#include <QCalendarWidget>
#include <QEvent>
#include <QHBoxLayout>
#include <QLocale>
#include <QStyle>

namespace {

// Host placeholder -> Qt mask character.
QChar qtPlaceholder(QChar c) {
    switch (c.unicode()) {
    case '0':
        return QLatin1Char('9');
    case '9':
        return QLatin1Char('0');
    case 'L':
        return QLatin1Char('A');
    case 'l':
        return QLatin1Char('a');
    case 'A':
        return QLatin1Char('N');
    case 'a':
        return QLatin1Char('n');
    case 'C':
        return QLatin1Char('X');
    case 'c':
        return QLatin1Char('x');
    case '#':
        return QLatin1Char('#');
    default:
        return QChar();
    }
}

const QString kQtSpecial = QStringLiteral("AaNnXx9D0d#HhBb><!\\{}[];");

QChar blankOf(const QString& qtMask) {
    const QString b = qtMask.section(QLatin1Char(';'), 1);
    return b.isEmpty() ? QLatin1Char(' ') : b.at(0);
}

void runHook(const std::function<void()>& hook) {
    if (hook)
        HostGuard::run(hook);
}

const QLocale& brLocale() {
    static const QLocale l(QLocale::Portuguese, QLocale::Brazil);
    return l;
}

} // namespace

QString QtInputMask(const QString& hostMask) {
    const QStringList parts = hostMask.split(QLatin1Char(';'));
    const QString pattern = parts.value(0);
    if (pattern.isEmpty())
        return QString();
    QChar blank = QLatin1Char('_');
    if (parts.size() > 2 && !parts[2].isEmpty())
        blank = parts[2].at(0);
    QString out;
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        if (c == QLatin1Char('\\') && i + 1 < pattern.size()) {
            out += QLatin1Char('\\');
            out += pattern.at(++i);
            continue;
        }
        if (c == QLatin1Char('<') && i + 1 < pattern.size() &&
            pattern.at(i + 1) == QLatin1Char('>')) {
            out += QLatin1Char('!');
            ++i;
            continue;
        }
        if (c == QLatin1Char('>') || c == QLatin1Char('<')) {
            out += c;
            continue;
        }
        if (c == QLatin1Char('!')) // host: trim leading blanks; Qt has no such switch
            continue;
        const QChar q = qtPlaceholder(c);
        if (!q.isNull()) {
            out += q;
            continue;
        }
        if (kQtSpecial.contains(c))
            out += QLatin1Char('\\');
        out += c;
    }
    return out + QLatin1Char(';') + blank;
}

// ---- TMaskEdit ----

TMaskEdit::TMaskEdit(QWidget* parent) : QLineEdit(parent) {
    guardedConnect(this, &QLineEdit::textChanged, this, [this](const QString&) {
        if (OnChange)
            OnChange();
    });
}

void TMaskEdit::SetEditMask(const QString& hostMask) {
    m_hostMask = hostMask;
    const QStringList parts = hostMask.split(QLatin1Char(';'));
    m_saveLiterals = parts.size() > 1 && parts[1] == QLatin1String("1");
    setInputMask(QtInputMask(hostMask));
}

QString TMaskEdit::Text() const {
    if (m_hostMask.isEmpty())
        return text();
    const QChar blank = blankOf(inputMask());
    if (m_saveLiterals) { // the whole edit text, a blank read as a space
        QString shown = displayText();
        shown.replace(blank, QLatin1Char(' '));
        return shown;
    }
    // Keep only the characters typed into placeholders.
    const QString display = displayText();
    const QString qtMask = inputMask().section(QLatin1Char(';'), 0, 0);
    QString out;
    int pos = 0;
    for (int i = 0; i < qtMask.size() && pos < display.size(); ++i) {
        QChar m = qtMask.at(i);
        if (m == QLatin1Char('>') || m == QLatin1Char('<') || m == QLatin1Char('!'))
            continue;
        if (m == QLatin1Char('\\')) { // escaped literal
            ++i;
            ++pos;
            continue;
        }
        if (QStringLiteral("AaNnXx9D0d#HhBb").contains(m)) {
            const QChar c = display.at(pos);
            if (c != blank)
                out += c;
        }
        ++pos;
    }
    return out;
}

void TMaskEdit::SetText(const QString& text) {
    setText(text);
}

void TMaskEdit::focusInEvent(QFocusEvent* e) {
    QLineEdit::focusInEvent(e);
    runHook(OnEnter);
}

void TMaskEdit::focusOutEvent(QFocusEvent* e) {
    QLineEdit::focusOutEvent(e);
    runHook(OnExit);
}

// ---- TDateEditPlus ----

TDateEditPlus::TDateEditPlus(QWidget* parent)
    : QWidget(parent), m_edit(new QLineEdit(this)), m_button(new QToolButton(this)),
      m_calendar(new QCalendarWidget(this)) {
    auto* lay = new QHBoxLayout(this);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->setSpacing(1);
    lay->addWidget(m_edit);
    lay->addWidget(m_button);
    m_edit->setInputMask(QStringLiteral("99/99/9999; "));
    m_edit->installEventFilter(this);
    setFocusProxy(m_edit);
    m_button->setText(QStringLiteral("..."));
    m_button->setFocusPolicy(Qt::NoFocus);
    m_button->setFixedWidth(22);

    m_calendar->setWindowFlags(Qt::Popup);
    m_calendar->setLocale(brLocale());
    m_calendar->setFirstDayOfWeek(Qt::Sunday);
    m_calendar->setGridVisible(true);
    m_calendar->hide();

    guardedConnect(m_button, &QToolButton::clicked, this, [this](bool) { showCalendar(); });
    guardedConnect(m_calendar, &QCalendarWidget::clicked, this, [this](QDate d) {
        m_calendar->hide();
        SetDate(d);
        m_edit->setFocus();
    });
    guardedConnect(m_edit, &QLineEdit::textChanged, this, [this](const QString&) {
        refreshLook();
        if (OnChange)
            OnChange();
    });
    refreshLook();
}

QString TDateEditPlus::WeekdayName(const QDate& date) {
    return date.isValid() ? brLocale().dayName(date.dayOfWeek(), QLocale::LongFormat) : QString();
}

QString TDateEditPlus::Text() const {
    return m_edit->displayText();
}

void TDateEditPlus::SetText(const QString& text) {
    m_edit->setText(text);
}

bool TDateEditPlus::IsBlank() const {
    return m_edit->text().remove(QLatin1Char('/')).trimmed().isEmpty();
}

QDate TDateEditPlus::GetDate() const {
    return QDate::fromString(m_edit->displayText(), QStringLiteral("dd/MM/yyyy"));
}

void TDateEditPlus::SetDate(const QDate& date) {
    m_edit->setText(date.isValid() ? date.toString(QStringLiteral("dd/MM/yyyy")) : QString());
}

void TDateEditPlus::CheckValidDate() const {
    if (!IsBlank() && !GetDate().isValid())
        throw EHostError(QStringLiteral("Não é uma data válida."));
}

void TDateEditPlus::showCalendar() {
    const QDate d = GetDate();
    m_calendar->setSelectedDate(d.isValid() ? d : QDate::currentDate());
    m_calendar->move(mapToGlobal(QPoint(0, height())));
    m_calendar->show();
    m_calendar->setFocus();
}

void TDateEditPlus::refreshLook() {
    const QDate d = GetDate();
    QPalette pal = m_edit->palette();
    pal.setColor(QPalette::Text, d.isValid() ? QColor(Qt::blue) : palette().color(QPalette::Text));
    m_edit->setPalette(pal);
    m_edit->setToolTip(WeekdayName(d));
}

bool TDateEditPlus::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_edit) {
        if (event->type() == QEvent::FocusIn)
            runHook(OnEnter);
        else if (event->type() == QEvent::FocusOut)
            runHook(OnExit);
    }
    return QWidget::eventFilter(watched, event);
}

// ---- TButtonFlat ----

TButtonFlat::TButtonFlat(QWidget* parent) : QToolButton(parent) {
    setAutoRaise(true);
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setFocusPolicy(Qt::NoFocus);
    guardedConnect(this, &QToolButton::clicked, this, [this](bool) {
        if (OnClick)
            OnClick();
    });
}

TButtonFlat::TButtonFlat(const QString& caption, const QString& hint, QWidget* parent)
    : TButtonFlat(parent) {
    setText(caption);
    setToolTip(hint);
}

bool TButtonFlat::Click() {
    if (!isEnabled() || !OnClick)
        return false;
    return HostGuard::run(OnClick);
}
