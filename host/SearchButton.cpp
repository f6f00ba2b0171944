#include "SearchButton.h"

#include "HostDialogs.h"
#include "HostGuard.h"
#include "Messages.h"

TBtnPesquisa::TBtnPesquisa(QWidget* parent) : QToolButton(parent) {
    setText(QStringLiteral("..."));
    setToolTip(QStringLiteral("Pesquisar"));
    setFocusPolicy(Qt::TabFocus);
    guardedConnect(this, &QToolButton::clicked, this, [this](bool) {
        if (OnClick)
            OnClick();
        else
            Pesquisa();
    });
}

bool TBtnPesquisa::Pesquisa() {
    if (OnBeforePesq)
        OnBeforePesq();
    TDataSet* ds = m_source ? m_source->DataSet() : nullptr;
    if (!ds || !ds->Active() || ds->IsEmpty()) {
        MensErro(m_emptyError.isEmpty() ? QStringLiteral("Não há registros.") : m_emptyError, true);
        return false;
    }
    if (!HostDialogs().pesquisar(m_source, m_title, false, true))
        return false;
    if (OnAfterPesq)
        OnAfterPesq();
    if (m_associate && m_associate->isEnabled() && m_associate->isVisible())
        m_associate->setFocus(Qt::OtherFocusReason);
    return true;
}
