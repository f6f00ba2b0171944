#pragma once
// Unit Cli_Fis98100: the main screen "Emissão da Darf por Documento" (FIS98100) and the unit's
// module-level values.
//
// The whole class lives in screen/, its members in files by concern: Cli_Fis98100.cpp
// (construction, layout, lifecycle, server connection), Worksheet.cpp (note dataset and grid),
// Company.cpp, Commands.cpp (buttons, menus, enabled states), Pictures.cpp, Filter.cpp (the
// filter dialog's side of the screen: opening it, refreshing, the loaded selection).
//
// Layout of the client area, top to bottom: panTopo (button bar panBotoes; the screen's buttons
// go before sbtCancel through CreateBarButtons), grbDadosRel (height 76; QHBoxLayout holding
// panReport first, the company widgets after it), Panel1 (fills the rest; QVBoxLayout, the grid
// goes here).
#include "filter/FilterTarget.h"
#include "host/BaseForms.h"

#include <QHash>
#include <QPixmap>
#include <QString>
#include <QVariantList>

class QVBoxLayout;
class TNetConnection;
class TClientDataSet;
class TParam;
class TDataSource;
// worksheet
class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPainter;
class QRect;
class QScrollArea;
class TADOIBQuery;
class TBtnPesquisa;
class TColumn;
class TDataSet;
class TDBGrid;
class TField;
class TFocusGroup;
class TMaskEdit;
struct TDarfBarcode;

class FIS_EXPORT TfrmEmissaoDarfDoc : public TfrmDadosGerRel, public IFilterTarget {
    Q_OBJECT
public:
    explicit TfrmEmissaoDarfDoc(QWidget* parent = nullptr);
    // A destroyed screen empties frmEmissaoDarfDoc and boIdCriado, so the next entry creates a
    // new one.
    ~TfrmEmissaoDarfDoc() override;

    // ---- lifecycle (Cli_Fis98100.cpp) ----
    void FormCreate() override;
    void FormActivate() override;
    void FormClose(TCloseAction& action) override;
    void netEmissaoDarfDocBeforeConnect();

    // ---- server connection (Cli_Fis98100.cpp) ----
    TNetConnection* netEmissaoDarfDoc = nullptr;

    // ---- layout (Cli_Fis98100.cpp) ----
    QWidget* Panel1 = nullptr;           // fills the client area below grbDadosRel
    QVBoxLayout* Panel1Layout = nullptr; // the worksheet's widgets go here

    // ---- worksheet set-up (Worksheet.cpp, Commands.cpp) ----
    // Creates the worksheet's components (company widgets in grbDadosRel, grid in Panel1,
    // datasets, menus); called once at the end of the constructor.
    void CreateWorksheet();
    // Enables buttons and menu items from the note dataset.
    virtual void dtsPadraoStateChange();

    // ---- worksheet (Worksheet.cpp) ----
    TClientDataSet* cdsNotaFiscal = nullptr; // the note dataset; created by CreateWorksheet
    TDataSource* dtsPadrao = nullptr;
    QScrollArea* ScrollBox1 = nullptr; // in Panel1, holds the grid
    TDBGrid* dbgPadrao = nullptr;
    // Cell pictures, olive (128,128,0) background drawn transparent.
    QPixmap imgCheck, imgUncheck;      // 16 x 16 check box, ticked / empty
    QPixmap imgNAprovado, imgAprovado; // 17 x 17 green / red light
    // The picture a tick or status cell shows for value (nullptr: none). empty: no notes.
    const QPixmap* CellPicture(const QString& fieldName, const QString& value, bool empty) const;

    void dbgPadraoCellClick(TColumn* Column);
    void dbgPadraoKeyPress(QChar& Key);
    void dbgPadraoTitleClick(TColumn* Column);
    void dbgPadraoDrawColumnCell(QPainter* Canvas, const QRect& Rect, int DataCol, TColumn* Column,
                                 int State);
    void dbgPadraoColEnter();
    void cdsNotaFiscalDTVENCGUIASetText(TField* Sender, const QString& Text);
    void cdsNotaFiscalEMITENTEGetText(TField* Sender, QString& Text, bool DisplayText);
    void cdsNotaFiscalBeforeInsert(TDataSet* DataSet);

    // company selection
    QWidget* panEmpresa = nullptr; // in grbDadosRel, after the report choice
    QLabel* lblEmpresa = nullptr;
    TMaskEdit* medCdEmpresa = nullptr;
    TBtnPesquisa* btnPesqEmpresa = nullptr;
    QLineEdit* edtNmEmpresa = nullptr;
    TADOIBQuery* qryEmpresa = nullptr;
    TDataSource* dtsEmpresa = nullptr;
    void btnPesqEmpresaBeforePesq();
    void btnPesqEmpresaAfterPesq();
    void medCdEmpresaChange();
    void medCdEmpresaEnter();
    void medCdEmpresaExit();
    // The company check; obrigatorio: an empty code is refused.
    void Vd_Empresa(bool obrigatorio);

    // commands
    TButtonFlat* sbtProcurar = nullptr;
    TButtonFlat* sbtVerificar = nullptr;
    TButtonFlat* sbtFiltro = nullptr;
    QMenu* mnuOperac = nullptr;
    QAction* mnuImprimir = nullptr;
    QAction* mnuVisualizar = nullptr;
    QAction* mnuSalvarComo = nullptr;
    QAction* mnuConfigImpress = nullptr;
    QAction* mnuFechar = nullptr;
    QMenu* mnuManutencao = nullptr;
    QAction* mnuAtualizar = nullptr;
    QAction* mnuProcurar = nullptr;
    QAction* mnuFiltro = nullptr;
    void sbtFiltroClick(QObject* Sender);
    void sbtVerificarClick(QObject* Sender);
    void sbtProcurarClick(QObject* Sender);
    // Menu items: each forwards to its button's handler.
    void mnuImprimirClick(QObject* Sender);
    void mnuVisualizarClick(QObject* Sender);
    void mnuSalvarComoClick(QObject* Sender);
    void mnuConfigImpressClick(QObject* Sender);
    void mnuFecharClick(QObject* Sender);
    void mnuAtualizarClick(QObject* Sender);
    void mnuProcurarClick(QObject* Sender);
    void mnuFiltroClick(QObject* Sender);

    // ---- focus rules (FocusRules.cpp) ----
    void grbDadosRelEnter();
    void cbbReportNamesEnter();
    void dbgPadraoEnter();

    // ---- revenue code (RevenueCode.cpp) ----
    TClientDataSet* cdsVd_CodRece = nullptr; // answer of GetVdCodRece
    TClientDataSet* cdsCodRece = nullptr;    // answer of GetCodRecePad, listed by the search
    TDataSource* dtsCodRece = nullptr;
    // Checks and normalises the revenue code of the note being edited against the loaded tax.
    void Vd_CodRece();
    void dbgPadraoEditButtonClick(QObject* Sender);

    // ---- saving (Saving.cpp) ----
    // The tax the worksheet's notes were loaded for: every revenue-code check and every stored
    // guide uses it, whatever the filter dialog holds now.
    QString LoadedTax() const;
    void cdsNotaFiscalBeforePost(TDataSet* DataSet);
    void cdsNotaFiscalAfterPost(TDataSet* DataSet);
    void cdsNotaFiscalAfterScroll(TDataSet* DataSet);
    // The company text the loaded notes belong to (recorded when they are loaded).
    QString NotesCompany() const { return m_notesCompany; }

    // ---- filter (Filter.cpp) ----
    // The filter as last confirmed in the dialog; its tax goes with every save and issue.
    TRecordFilter RecordFilter;
    // The clerk's focus entering and leaving grbDadosRel (OnEnter, OnExit).
    TFocusGroup* grbDadosRelFocus = nullptr;
    // Leaving the top group: the company check, then the filter dialog (queued by the focus
    // helper, so it never opens inside the focus change).
    void grbDadosRelExit();
    // Links the screen with the filter dialog; called once by CreateWorksheet.
    void CreateFilterLink();
    QString FilterCompanyCode() const override;
    TSocketConnection& FilterConnection() override;
    TClientDataSet& FilterNotes() override;
    TRecordFilter& FilterRecord() override { return RecordFilter; }
    QString FilterLoadingCaption() const override;
    QWidget* FilterBusyParent() override { return this; }
    void FilterLoaded(bool ok) override;

    // ---- issue run and report parameters (IssueRun.cpp) ----
    TClientDataSet* cdsContaPagar = nullptr;  // the one payable of the note being issued
    TClientDataSet* cdsResult = nullptr;      // GeraContaPagar's answer, ordered by idxResultado
    TClientDataSet* cdsParamFiscal = nullptr; // GetParamFiscal's row, replaced at each run
    void sbtPrintClick(QObject* Sender) override;
    void sbtPreviewClick(QObject* Sender) override;
    void rpddPadraoBeforeGetQueryParams(const QList<TParam*>& Params, bool& flag);

protected:
    // The screen's buttons before sbtCancel (Commands.cpp).
    void CreateBarButtons() override;

private:
    // Set-up of the parts above, run by CreateWorksheet.
    void CreateRevenueCode();
    void CreateSaving();
    void CreateFocusRules();
    void CreateIssueRun();
    // Steps of the issue run: the current note's barcode, the checks of every ticked note
    // (raising the first refusal, with the note in remembered), the payable sent and its answer
    // kept in cdsResult, and the refresh that keeps the row.
    TDarfBarcode composeBarra(const QString& registration) const;
    bool checkTickedNotes(const QString& registration, qint64& remembered); // a bookmark
    void appendContaPagar(const TDarfBarcode& barra);
    void issueNote(const TDarfBarcode& barra);
    void refreshKeepingRow();
    // Guide fields of each note as the server last held them for this screen (loaded or stored),
    // by CDFILIAL + NRLANCTONF; the report step stores only notes that differ.
    QHash<QString, QVariantList> m_serverGuide;
    void rememberServerGuide();
    // Whether the pending edit changed a guide field (a tick alone stores nothing).
    bool guideChanged() const;
    // Empties the worksheet when the company box no longer names the notes' company.
    void dropNotesOfAnotherCompany();
    QString m_notesCompany;
    QVariantList m_guideBeforeEdit; // guide fields of the note as its edit began
    bool m_storeGuide = false;      // set by the before-post handler for the after-post one
    bool m_checking = false;        // the before-post checks are running
    bool m_filterQueued = false;
};

namespace Cli_Fis98100 {
// The one main screen; empty until the first entry and again once the screen is destroyed.
FIS_EXPORT extern TfrmEmissaoDarfDoc* frmEmissaoDarfDoc;
FIS_EXPORT extern bool boIdCriado;
FIS_EXPORT extern QString stGuiaEmit;
FIS_EXPORT extern QString stChecked;
FIS_EXPORT extern bool boEntra;
FIS_EXPORT extern QString stRegistro;

// Creates the screen once (through the host's form factory), then maximises it and brings it
// to the front.
FIS_EXPORT void CriaEmissaoDarfDoc();
} // namespace Cli_Fis98100
