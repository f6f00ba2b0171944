#pragma once
// TReportDesignerDialog: the report component of a report screen (rpddPadrao on
// TfrmDadosGerRel). One run of a report:
//   1. opens the definition of the report code in the report directory (ReportDefinition.h);
//      missing or unreadable -> EReportDefinition with the screen's "Arq_Rel_Err" text;
//   2. raises BeforeGetQueryParams with the parameters the definition declares (holding their
//      defaults); the handler tests them with ExistParam and sets values by name;
//   3. runs the definition's query (TADOIBQuery: the text of the dialect in use) on the host
//      database and lays out one page per row (TReportDocument);
//   4. prints, previews or writes a PDF.
// Steps 1-3 finish before anything is printed: an error or a silent abort raised by the
// handler, the query or the layout check stops the run with nothing printed, and goes on to
// the caller unchanged. A query that returns no row is an error too (nothing to print).
#include "Query.h"
#include "ReportDocument.h"

#include <QObject>
#include <QSqlDatabase>
#include <functional>
#include <memory>

class QPrinter;
class TMessages;

class FIS_EXPORT TReportDesignerDialog : public QObject {
    Q_OBJECT
public:
    // Params: the declared parameters. flag comes in true; a handler that sets it false drops
    // the run quietly (nothing printed, no error).
    using TBeforeGetQueryParamsEvent =
        std::function<void(const QList<TParam*>& Params, bool& flag)>;

    explicit TReportDesignerDialog(QObject* owner = nullptr);
    ~TReportDesignerDialog() override;

    TBeforeGetQueryParamsEvent BeforeGetQueryParams;
    // After a print or a saved PDF, with the pages that went out (not after a preview).
    std::function<void(const TReportDocument& document)> AfterPrint;

    QString ReportCode() const { return m_code; }
    void setReportCode(const QString& code) { m_code = code; }
    // The directory set, else Zelkora::ReportDir() at the moment of the call.
    QString ReportDir() const;
    void setReportDir(const QString& dir) { m_dir = dir; }
    // The definition chosen (a file of DefinitionFiles()); empty: the first found.
    QString DefinitionFile() const { return m_file; }
    void setDefinitionFile(const QString& file) { m_file = file; }
    // The screen's message table, for "Arq_Rel_Err" (not owned); none: the base form's text.
    void setMessages(const TMessages* messages) { m_messages = messages; }
    // The connection the query runs on; none: the host database (dtmDBGeral).
    void setDatabase(const QSqlDatabase& db) { m_db = db; }

    // The definitions found for the report code, first the one named by the code itself.
    QStringList DefinitionFiles() const;
    // The chosen definition, read and checked; EReportDefinition when missing or unreadable.
    TReportDefinition OpenDefinition() const;

    // Steps 1-3 with values given before the event (names must be declared: EReportParameter).
    // nullptr when the handler cleared flag.
    std::unique_ptr<TReportDocument> Prepare(const QVariantMap& values = {});

    // Each returns the number of pages (0 when the handler dropped the run).
    // values as for Prepare.
    int Print(QPrinter& printer, const QVariantMap& values = {});
    // Opens the preview through the host dialogs (Qt's print preview for the clerk); the
    // preview's own print button prints on printer.
    int Preview(QPrinter& printer, const QVariantMap& values = {});
    int SaveAsPdf(const QString& file, const QVariantMap& values = {});

private:
    QString m_code, m_dir, m_file;
    const TMessages* m_messages = nullptr;
    QSqlDatabase m_db;
};

// The parameter of that name in a report's parameter list (names compare without case);
// EHostError when the list does not hold it.
FIS_EXPORT TParam* ReportParamByName(const QList<TParam*>& params, const QString& name);

// Renders the definition of code in dir (empty: Zelkora::ReportDir()) with the given values to
// a PDF file without any screen; returns the pages written. A value given as text is converted
// to its parameter's declared type. Throws EReportDefinition (missing or unreadable definition),
// EReportParameter (a name the definition does not declare, or a value that does not fit) or
// EHostError (database, query, layout, file). db: the connection to use, else dtmDBGeral's.
FIS_EXPORT int RenderReportToPdf(const QString& dir, const QString& code, const QVariantMap& values,
                                 const QString& pdfFile, const QSqlDatabase& db = QSqlDatabase());
