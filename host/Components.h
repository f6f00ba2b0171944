#pragma once
// Small host components: the masked edit, the date edit and the flat button. Their hooks
// (std::function members) run under the host guard, so an abort or error raised in a hook ends
// that hook only and never reaches Qt's event loop.
#include "core/EditMask.h"
#include "core/HostExport.h"

#include <QDate>
#include <QLineEdit>
#include <QToolButton>
#include <functional>

class QCalendarWidget;

// A line edit with a host edit mask (TEditMask). A click into the box while nothing is typed
// puts the cursor on the first position, so the digits typed next all land.
class FIS_EXPORT TMaskEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TMaskEdit(QWidget* parent = nullptr);

    // Host form: "99;0; " (two digits, literals not kept, blank shown as a space).
    void SetEditMask(const QString& hostMask);
    QString EditMask() const { return m_mask.Text(); }
    // The stored text (TEditMask::StoredText); the plain text without a mask.
    QString Text() const;
    void SetText(const QString& text);
    int MaxLength() const { return maxLength(); }
    void SetMaxLength(int n) { setMaxLength(n); }

    std::function<void()> OnChange;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;

protected:
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;

private:
    TEditMask m_mask;
};

// Date edit: dd/MM/yyyy typed into the host's date mask (DateMask()), a calendar (Portuguese
// weekday and month names) behind the button, the weekday of the date as tool tip, a valid date
// shown in blue.
class FIS_EXPORT TDateEditPlus : public QWidget {
    Q_OBJECT
public:
    explicit TDateEditPlus(QWidget* parent = nullptr);

    // The date typed; an invalid QDate when blank or not a date.
    QDate GetDate() const;
    // An invalid date blanks the edit.
    void SetDate(const QDate& date);
    // Blank passes; a text that is not a date raises EHostError "Não é uma data válida.".
    void CheckValidDate() const;
    QString Text() const;
    void SetText(const QString& text);
    bool IsBlank() const;
    QLineEdit* Edit() const { return m_edit; }
    QToolButton* Button() const { return m_button; }
    QCalendarWidget* Calendar() const { return m_calendar; }

    std::function<void()> OnChange;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;

    static QString WeekdayName(const QDate& date); // "segunda-feira"...

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showCalendar();
    void refreshLook();
    QLineEdit* m_edit;
    QToolButton* m_button;
    QCalendarWidget* m_calendar;
};

// A flat button with caption, hint and OnClick.
class FIS_EXPORT TButtonFlat : public QToolButton {
    Q_OBJECT
public:
    explicit TButtonFlat(QWidget* parent = nullptr);
    TButtonFlat(const QString& caption, const QString& hint, QWidget* parent = nullptr);
    QString Caption() const { return text(); }
    void SetCaption(const QString& caption) { setText(caption); }
    QString Hint() const { return toolTip(); }
    void SetHint(const QString& hint) { setToolTip(hint); }
    bool Enabled() const { return isEnabled(); }
    void SetEnabled(bool on) { setEnabled(on); }
    // Runs OnClick under the guard, as a click does; false when it ended by an abort or error.
    bool Click();

    std::function<void()> OnClick;
};
