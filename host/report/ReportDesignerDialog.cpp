#include "ReportDesignerDialog.h"

#include "HostDialogs.h"
#include "HostGuard.h"
#include "Messages.h"
#include "Zelkora.h"

#include <QPrinter>

TReportDesignerDialog::TReportDesignerDialog(QObject* owner) : QObject(owner) {}

TReportDesignerDialog::~TReportDesignerDialog() = default;

QString TReportDesignerDialog::ReportDir() const {
    return m_dir.isEmpty() ? Zelkora::ReportDir() : m_dir;
}

QStringList TReportDesignerDialog::DefinitionFiles() const {
    return FindReportDefinitions(ReportDir(), m_code);
}

TReportDefinition TReportDesignerDialog::OpenDefinition() const {
    const QString text =
        m_messages ? m_messages->Msg(QStringLiteral("Arq_Rel_Err")) : DefaultReportNotFoundText();
    return OpenReportDefinition(ReportDir(), m_code, m_file, text);
}

std::unique_ptr<TReportDocument> TReportDesignerDialog::Prepare(const QVariantMap& values) {
    TReportDefinition def = OpenDefinition();

    std::vector<std::unique_ptr<TParam>> owned;
    QList<TParam*> params;
    for (const TReportParamDef& d : def.params) {
        owned.push_back(std::make_unique<TParam>(d.name));
        owned.back()->setValue(d.defaultValue);
        params << owned.back().get();
    }
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        const TReportParamDef* d = def.findParam(it.key());
        if (!d)
            throw EReportParameter(QStringLiteral("O relatório '%1' não declara o parâmetro '%2'.")
                                       .arg(def.code, it.key()));
        QVariant v = it.value();
        if (v.typeId() == QMetaType::QString && d->type != TReportParamType::String)
            v = ReportParamValue(*d, v.toString());
        ReportParamByName(params, d->name)->setValue(v);
    }

    bool flag = true;
    if (BeforeGetQueryParams)
        BeforeGetQueryParams(params, flag);
    if (!flag)
        return nullptr;

    QVariantMap given;
    for (TParam* p : std::as_const(params))
        given.insert(p->Name(), p->Value());

    TADOIBQuery query;
    if (m_db.isValid())
        query.setDatabase(m_db);
    query.SQL_IB = def.sqlIB;
    query.SQL_MSSQL = def.sqlMSSQL;
    query.SQL_ORACLE = def.sqlOracle;
    query.SQL = def.sql;
    for (TParam* p : query.Params())
        p->setValue(ReportParamByName(params, p->Name())->Value());
    query.Open();

    QList<TReportRow> rows;
    for (query.First(); !query.Eof(); query.Next()) {
        TReportRow row;
        for (int i = 0; i < query.FieldCount(); ++i) {
            TField* f = query.Fields(i);
            row.insert(f->FieldName().toUpper(), f->Value());
        }
        rows << row;
    }
    query.Close();
    if (rows.isEmpty())
        throw EHostError(
            QStringLiteral("Nenhum registro encontrado para o relatório '%1'.").arg(def.code));
    return std::make_unique<TReportDocument>(std::move(def), given, rows);
}

int TReportDesignerDialog::Print(QPrinter& printer, const QVariantMap& values) {
    const auto doc = Prepare(values);
    if (!doc)
        return 0;
    doc->Print(printer);
    if (AfterPrint)
        AfterPrint(*doc);
    return doc->PageCount();
}

int TReportDesignerDialog::Preview(QPrinter& printer, const QVariantMap& values) {
    const auto doc = Prepare(values);
    if (!doc)
        return 0;
    printer.setFullPage(true);
    printer.setPageLayout(doc->PageLayout());
    HostDialogs().printPreview(printer, [&doc](QPrinter* target) {
        // Called from Qt's preview: nothing may escape into the event loop.
        HostGuard::run([&] { doc->PaintAll(*target); });
    });
    return doc->PageCount();
}

int TReportDesignerDialog::SaveAsPdf(const QString& file, const QVariantMap& values) {
    const auto doc = Prepare(values);
    if (!doc)
        return 0;
    doc->WritePdf(file);
    if (AfterPrint)
        AfterPrint(*doc);
    return doc->PageCount();
}

TParam* ReportParamByName(const QList<TParam*>& params, const QString& name) {
    for (TParam* p : params)
        if (p && p->Name().compare(name, Qt::CaseInsensitive) == 0)
            return p;
    throw EHostError(QStringLiteral("Parâmetro '%1' não encontrado.").arg(name));
}

int RenderReportToPdf(const QString& dir, const QString& code, const QVariantMap& values,
                      const QString& pdfFile, const QSqlDatabase& db) {
    TReportDesignerDialog report;
    report.setReportCode(code);
    report.setReportDir(dir);
    if (db.isValid())
        report.setDatabase(db);
    return report.SaveAsPdf(pdfFile, values);
}
