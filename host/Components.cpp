#include "Components.h"

#include "HostGuard.h"
#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QCalendarWidget>
#include <QEvent>
#include <QHBoxLayout>
#include <QLocale>
#include <QMouseEvent>
#include <QStyle>

namespace {

void runHook(const std::function<void()>& hook) {
    if (hook)
        HostGuard::run(hook);
}

const QLocale& brLocale() {
    static const QLocale l(QLocale::Portuguese, QLocale::Brazil);
    return l;
}

} // namespace

// ---- TMaskEdit ----

TMaskEdit::TMaskEdit(QWidget* parent) : QLineEdit(parent) {
    guardedConnect(this, &QLineEdit::textChanged, this, [this](const QString&) {
        if (OnChange)
            OnChange();
    });
}

void TMaskEdit::SetEditMask(const QString& hostMask) {
    m_mask = TEditMask(hostMask);
    setInputMask(m_mask.QtInputMask());
}

QString TMaskEdit::Text() const {
    return m_mask.IsEmpty() ? text() : m_mask.StoredText(displayText());
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

void TMaskEdit::mousePressEvent(QMouseEvent* e) {
    QLineEdit::mousePressEvent(e);
    // A click lands wherever it was aimed; in an empty box the positions before the cursor
    // would stay blank and the last digits typed would fall off the end.
    if (!m_mask.IsEmpty() && m_mask.TypedText(displayText()).isEmpty())
        setCursorPosition(m_mask.FirstPlaceholder());
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
    m_edit->setInputMask(TEditMask(DateMask()).QtInputMask());
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
