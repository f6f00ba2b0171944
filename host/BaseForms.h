#pragma once
// The host's base screens.
//  - TfrmDadosGerRel: report screen placed in the host's MDI area. Top panel with the button bar
//    panBotoes (print, preview, printer set-up, save-as, report edit, cancel), below it the group
//    grbDadosRel (height 76) holding the report-selection panel with cbbReportNames; the rest of
//    the client area (ClientLayout()) belongs to the screen. Menus in mnuMenu are merged into the
//    host's main menu while the screen is active. The report component rpddPadrao prints the
//    definition chosen in cbbReportNames: print on Printer(), preview, save-as PDF; a screen
//    fills the report's query parameters in rpddPadrao->BeforeGetQueryParams.
//  - TfrmFiltroPadrao: modal filter dialog with the group grbFiltroPadrao and the buttons
//    sbtConfirma, btfSaveOpc, btfLoadOpc.
// Create both through CreateForm<T>(), which runs the screen's creation hooks (buttons, then
// FormCreate) once the whole object exists. Every signal is connected through the host guard.
#include "Components.h"
#include "HostApplication.h"
#include "Messages.h"
#include "report/ReportDesignerDialog.h"

#include <QDialog>
#include <QStringList>
#include <QWidget>
#include <memory>

class QComboBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QMenuBar;
class QPrinter;
class QVBoxLayout;

// Replaces each %s (or %d) of text, in order, by the next of args.
FIS_EXPORT QString Format(const QString& text, const QStringList& args);

class FIS_EXPORT TfrmDadosGerRel : public QWidget, public IHostForm {
    Q_OBJECT
public:
    explicit TfrmDadosGerRel(QWidget* parent = nullptr);
    ~TfrmDadosGerRel() override;

    // Adds the screen's buttons (CreateBarButtons) and runs FormCreate; CreateForm<T> calls it.
    void AfterConstruction();

    QString ReportCode() const { return m_reportCode; }
    void SetReportCode(const QString& code);
    QString ScreenCode() const { return m_screenCode; }
    void SetScreenCode(const QString& code);

    // IHostForm
    void FormActivate() override;
    // The base action is caFree: a closed screen is destroyed with its child window.
    void FormClose(TCloseAction& action) override;
    QMenuBar* MergedMenu() override { return mnuMenu; }

    // Lists the report definitions (RefreshReportNames).
    virtual void FormCreate();
    // Print the chosen report on Printer(), show it in the preview, or write it to a PDF file
    // chosen through the host dialogs. Whatever the report run raises (a missing definition's
    // "Arq_Rel_Err", an error or abort of BeforeGetQueryParams, a failed query) goes on to the
    // caller with nothing printed.
    virtual void sbtPrintClick(QObject* Sender);
    virtual void sbtPreviewClick(QObject* Sender);
    virtual void sbtSalvarComoClick(QObject* Sender);
    // Printer set-up through the host dialogs; the choice stays in Printer() for later prints.
    virtual void sbtConfigImprClick(QObject* Sender);
    // With sbtCancel as sender it closes the screen (the "Fechar" menu item sends it); any
    // other sender opens the report definition.
    virtual void sbtReportEditClick(QObject* Sender);
    virtual void sbtCancelClick(QObject* Sender);

    // Inserts w into panBotoes just before sbtCancel.
    void AddBarButton(QWidget* w);
    // Closes the screen the way the clerk does (through its child window when it has one).
    void CloseScreen();
    // The screen's printer, as the last printer set-up left it.
    QPrinter* Printer();
    // Fills cbbReportNames with the definitions of ReportCode() in the report directory (item
    // text: the file's base name, data: its file name, tooltip: its title); with none found,
    // the report code alone,
    // so that printing names it in "Arq_Rel_Err". Keeps the chosen definition when still there.
    void RefreshReportNames();

    // ---- components ----
    QWidget* panTopo = nullptr;   // top panel
    QWidget* panBotoes = nullptr; // button bar
    TButtonFlat* sbtPrint = nullptr;
    TButtonFlat* sbtPreview = nullptr;
    TButtonFlat* sbtConfigImpr = nullptr;
    TButtonFlat* sbtSalvarComo = nullptr;
    TButtonFlat* sbtReportEdit = nullptr; // the further report button
    TButtonFlat* sbtCancel = nullptr;
    QLabel* lblScreenCode = nullptr;
    QLabel* lblReportCode = nullptr;
    QGroupBox* grbDadosRel = nullptr; // top group, height 76; layout: QHBoxLayout
    QWidget* panReport = nullptr;     // report selection, first in grbDadosRel
    QComboBox* cbbReportNames = nullptr;
    TReportDesignerDialog* rpddPadrao = nullptr; // owned by the screen
    TMessages msgPadrao;                         // keyed message table; base keys first
    QMenuBar* mnuMenu = nullptr;                 // never shown itself: the host merges its menus

    static QStringList BaseMessages();

protected:
    // Hook for screens: add their buttons to panBotoes (AddBarButton) before sbtCancel.
    virtual void CreateBarButtons() {}
    // The area below grbDadosRel; screens add their main widget here.
    QVBoxLayout* ClientLayout() const { return m_clientLayout; }
    // Points rpddPadrao at the definition chosen in cbbReportNames.
    void ChooseReport();
    // A print run: raises "Arq_Rel_Err" when the chosen definition is missing; then the
    // prints that follow go to Printer(), or, when it names no printer this system has, to PDF
    // files the clerk names once (the first as named, the next ones numbered). False, with
    // nothing changed, when the clerk declines the file. Runs do not nest; sbtPrintClick opens
    // its own when none is open. EndPrintRun says where the files went.
    bool BeginPrintRun();
    void EndPrintRun();

private:
    QHBoxLayout* m_barLayout = nullptr;
    QVBoxLayout* m_clientLayout = nullptr;
    QString m_reportCode;
    QString m_screenCode;
    std::unique_ptr<QPrinter> m_printer;
    bool m_created = false;
    bool m_printRun = false;
    QString m_pdfBase;      // set while a run goes to PDF files for want of a printer
    QStringList m_pdfFiles; // written in this run
};

class FIS_EXPORT TfrmFiltroPadrao : public QDialog {
    Q_OBJECT
public:
    explicit TfrmFiltroPadrao(QWidget* parent = nullptr);

    void AfterConstruction();
    virtual void FormCreate();
    // Confirm: accepts the dialog; screens override it with their checks.
    virtual void sbtConfirmaClick(QObject* Sender);
    // Keep and restore the values of the named edits, boxes and choices in grbFiltroPadrao
    // (<data dir>/options/<objectName>.json).
    virtual void btfSaveOpcClick(QObject* Sender);
    virtual void btfLoadOpcClick(QObject* Sender);
    QString OptionsFile() const;

    QGroupBox* grbFiltroPadrao = nullptr; // the screen's fields go here
    TMessages msgPadrao;
    TButtonFlat* sbtConfirma = nullptr;
    TButtonFlat* btfSaveOpc = nullptr;
    TButtonFlat* btfLoadOpc = nullptr;
    TButtonFlat* sbtCancela = nullptr;

protected:
    QHBoxLayout* ButtonLayout() const { return m_buttons; }

private:
    QHBoxLayout* m_buttons = nullptr;
    bool m_created = false;
};

// Creates a screen and runs its creation hooks once it is complete.
template <typename T, typename... Args> T* CreateForm(Args&&... args) {
    T* form = new T(std::forward<Args>(args)...);
    try {
        form->AfterConstruction();
    } catch (...) {
        delete form;
        throw;
    }
    return form;
}
