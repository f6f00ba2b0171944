#pragma once
// The host's search button: a click runs OnBeforePesq (which opens the list's query), refuses an
// empty list with EmptyError (MensErro, silent abort afterwards), else shows the modal search
// (HostDialogs().pesquisar(DataSource, Title, false, true)); when a row was chosen (it is then
// the current row of the source) OnAfterPesq runs and the focus goes to the Associate widget.
// A button whose OnClick is set runs that handler instead (it then does all the work itself).
// A click never lets an exception into Qt (HostGuard).
#include "DataSet.h"

#include <QToolButton>
#include <functional>

class FIS_EXPORT TBtnPesquisa : public QToolButton {
    Q_OBJECT
public:
    explicit TBtnPesquisa(QWidget* parent = nullptr);

    QWidget* Associate() const { return m_associate; }
    void setAssociate(QWidget* widget) { m_associate = widget; }
    TDataSource* DataSource() const { return m_source; }
    void setDataSource(TDataSource* source) { m_source = source; }
    const QString& Title() const { return m_title; }
    void setTitle(const QString& title) { m_title = title; }
    const QString& EmptyError() const { return m_emptyError; }
    void setEmptyError(const QString& text) { m_emptyError = text; }

    std::function<void()> OnClick;
    std::function<void()> OnBeforePesq;
    std::function<void()> OnAfterPesq;

    // What a click does; throws (EAbort / EHostError) like any host action.
    // Returns true when a row was chosen.
    bool Pesquisa();

private:
    QWidget* m_associate = nullptr;
    TDataSource* m_source = nullptr;
    QString m_title;
    QString m_emptyError;
};
