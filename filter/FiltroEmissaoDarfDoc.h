#pragma once
// The filter dialog "Filtro Emissão de Darf por Documento" (unit Cli_Fis98101): which notes of
// the main screen's company the worksheet loads. One instance per run of the module, created on
// first use by CriaFiltroEmissaoDarfDoc, afterwards hidden and shown again; a top-level modal
// window with no parent, destroyed when the module stops.
//
// Files by concern: Controls.cpp (controls, layout, defaults, keys, cancelling), Lookups.cpp
// (queries, search buttons, field checks, registration rules), PickLists.cpp (series and
// operation-type lists), Confirmation.cpp (the confirmation that loads the notes).
//
// Cancelling (Esc, "Cancelar", closing the window) puts back the values of the last
// confirmation, so that the hidden dialog always holds the filter the worksheet was loaded with
// and a refresh sends exactly that.
#include "host/BaseForms.h"

#include <QString>
#include <functional>
#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QStackedWidget;
class TADOIBQuery;
class TBtnPesquisa;
class TClientDataSet;
class TDataSource;
class TDateEditPlus;
class TFocusGroup;
class TMaskEdit;

class FIS_EXPORT TfrmFiltroEmissaodarfDoc : public TfrmFiltroPadrao {
    Q_OBJECT
public:
    explicit TfrmFiltroEmissaodarfDoc(QWidget* parent = nullptr);
    ~TfrmFiltroEmissaodarfDoc() override;

    // ---- life and keys (Controls.cpp) ----
    void FormCreate() override;
    void FormActivate();
    // Enter (key code 13, either key) confirms; other keys are left alone.
    void FormKeyDown(int key);
    // Cancelling: the last confirmed values come back, then the dialog hides.
    void reject() override;

    // ---- fields ----
    QLabel* lblImposto = nullptr;
    TMaskEdit* medCdImposto = nullptr;
    TBtnPesquisa* btpImposto = nullptr;
    QLineEdit* edtNmImposto = nullptr;
    QLabel* lblInscEsta = nullptr;
    TMaskEdit* medInscEsta = nullptr;
    TBtnPesquisa* btpPesqInscEsta = nullptr;
    QLabel* lblInscMuni = nullptr;
    TMaskEdit* medInscMuni = nullptr;
    TBtnPesquisa* btpPesqInscMuni = nullptr;
    QComboBox* cbbEntrSaid = nullptr;
    QGroupBox* grbCnpj = nullptr; // "Destinatário/Emitente"
    QComboBox* cbbCnpj = nullptr;
    QStackedWidget* nbkCliente = nullptr; // one page per item of cbbCnpj
    TMaskEdit* medCliente = nullptr;
    TBtnPesquisa* btpCliente = nullptr;
    QLineEdit* edtNmCliente = nullptr;
    TMaskEdit* medFornecedor = nullptr;
    TBtnPesquisa* btpFornecedor = nullptr;
    QLineEdit* edtNmFornecedor = nullptr;
    TMaskEdit* medTodos = nullptr;
    TBtnPesquisa* BtnPesquisa1 = nullptr;
    QLineEdit* edtTodos = nullptr;
    TDateEditPlus* depEmiIni = nullptr;
    TDateEditPlus* depEmiFim = nullptr;
    TDateEditPlus* depEntIni = nullptr;
    TDateEditPlus* depEntFim = nullptr;
    QRadioButton* rdgTodosSerie = nullptr;
    QRadioButton* rdgListaSerie = nullptr;
    TBtnPesquisa* btpPesqSerie = nullptr;
    QRadioButton* rdgTodosTipoOperac = nullptr;
    QRadioButton* rdgListaTipoOperac = nullptr;
    TBtnPesquisa* btpTipoOperac = nullptr;

    // ---- lookups (Lookups.cpp) ----
    TADOIBQuery* qryImposto = nullptr;
    TDataSource* dtsImposto = nullptr;
    TADOIBQuery* qryVdImposto = nullptr;
    TDataSource* dtsVdImposto = nullptr;
    TADOIBQuery* qryInscEsta = nullptr;
    TDataSource* dstInscEsta = nullptr;
    TADOIBQuery* qryInscMuni = nullptr;
    TDataSource* dtsInscMuni = nullptr;
    TADOIBQuery* qryCliente = nullptr;
    TDataSource* dtsCliente = nullptr;
    TADOIBQuery* qryFornecedor = nullptr;
    TDataSource* dtsFornecedor = nullptr;

    void medCdImpostoChange();
    void medCdImpostoExit();
    void medInscEstaExit();
    void medInscMuniExit();
    void cbbEntrSaidChange();
    void cbbCnpjChange();
    void depEmiIniExit();
    void depEmiFimExit();
    void depEntIniExit();
    void depEntFimExit();
    void btpImpostoBeforePesq();
    void btpImpostoAfterPesq();
    void btpPesqInscEstaBeforePesq();
    void btpPesqInscEstaAfterPesq();
    void btpPesqInscMuniBeforePesq();
    void btpPesqInscMuniAfterPesq();
    void btpClienteBeforePesq();
    void btpClienteAfterPesq();
    void btpFornecedorBeforePesq();
    void btpFornecedorAfterPesq();

    // The tax check; obrigatorio: an empty tax is refused. Applies the registration rules anew.
    void Vd_Imposto(bool obrigatorio);
    void Vd_InscEsta();
    void Vd_InscMuni();
    void Vd_DataEmissao();
    void Vd_DataEntrada();
    // The customer and supplier registrations, looked up when the clerk leaves the field.
    void Vd_Cliente();
    void Vd_Fornecedor();
    // Which registration fields can be used and which must be filled, from the tax's
    // collecting authority, the entry/exit choice and the series mode.
    void RegrasInscricao(const QString& orgao);

    // Required: the info background; optional: the window colour.
    bool Obrigatorio(const TMaskEdit* field) const;
    void SetObrigatorio(TMaskEdit* field, bool required);

    // ---- pick lists (PickLists.cpp) ----
    TClientDataSet* cdsSerie = nullptr;
    TDataSource* dtsSerie = nullptr;
    TClientDataSet* cdsTipoOper = nullptr;
    TDataSource* dtsTipoOper = nullptr;
    void rdgTodosTipoOperacClick();
    void rdgListaTipoOperacClick();
    void btpTipoOperacClick();
    void rdgTodosSerieClick();
    void rdgListaSerieClick();
    void btpPesqSerieClick();

    // ---- confirmation (Confirmation.cpp) ----
    void sbtConfirmaClick(QObject* Sender) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    struct TSnapshot;
    // The values a cancel puts back: taken at creation and at each confirmation.
    void TakeSnapshot();
    void RestoreSnapshot();
    void CreateControls();
    void CreateLookups();
    void CreatePickLists();
    // Runs a handler unless the values are being put back.
    template <typename Fn> auto handler(Fn fn) {
        return [this, fn] {
            if (!m_restoring)
                fn();
        };
    }
    // The focus helper that runs onExit when the clerk leaves w for another field.
    TFocusGroup* watchExit(QWidget* w, std::function<void()> onExit);
    void enableInscricao(QLabel* label, TMaskEdit* field, TBtnPesquisa* button, bool on);

    std::unique_ptr<TSnapshot> m_snapshot;
    bool m_restoring = false;
};
