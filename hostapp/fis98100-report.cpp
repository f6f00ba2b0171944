// fis98100-report: renders a report definition to a PDF file without the screen, e.g. an
// administrator reprinting issued guides in batch:
//   fis98100-report [--database LOCATION] [--report-dir DIR] [--config PATH] CODE
//                   [--set NAME=VALUE]... --pdf FILE
// Exit status: 0 written; 1 the report failed (query, no row, file); 2 bad command line, or a
// parameter the definition does not declare or whose value does not fit; 3 definition missing
// or unreadable; 4 database cannot be opened.
#include "FisDatabase.h"
#include "host/Query.h"
#include "host/Zelkora.h"
#include "host/report/ReportDesignerDialog.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QSqlDatabase>

#include <cstdio>

namespace {

enum Exit { Ok = 0, Failed = 1, Usage = 2, NoDefinition = 3, NoDatabase = 4 };

const char* const kUsage =
    "uso: fis98100-report [--database LOCAL] [--report-dir DIR] [--config ARQ] CODIGO\n"
    "                     [--set NOME=VALOR]... --pdf ARQUIVO\n";

int fail(int code, const QString& text, bool usage = false) {
    std::fprintf(stderr, "fis98100-report: %s\n", text.toLocal8Bit().constData());
    if (usage)
        std::fputs(kUsage, stderr);
    return code;
}

struct TArgs {
    QString code, pdf;
    QList<QPair<QString, QString>> sets;
};

// Options of the configuration (--database, --report-dir, --config) are read by Zelkora.
bool parse(const QStringList& args, TArgs& out, QString& error) {
    static const QStringList config{QStringLiteral("--database"), QStringLiteral("--report-dir"),
                                    QStringLiteral("--config")};
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&](const QString& name, QString& v) {
            if (a == name) {
                if (i + 1 >= args.size()) {
                    error = QStringLiteral("falta o valor de %1.").arg(name);
                    return false;
                }
                v = args[++i];
                return true;
            }
            v = a.mid(name.size() + 1);
            return true;
        };
        QString v;
        bool handled = false;
        for (const QString& c : config)
            if (a == c || a.startsWith(c + QLatin1Char('='))) {
                if (!value(c, v))
                    return false;
                handled = true;
            }
        if (handled)
            continue;
        if (a == QLatin1String("--pdf") || a.startsWith(QLatin1String("--pdf="))) {
            if (!value(QStringLiteral("--pdf"), out.pdf))
                return false;
        } else if (a == QLatin1String("--set") || a.startsWith(QLatin1String("--set="))) {
            if (!value(QStringLiteral("--set"), v))
                return false;
            const int eq = v.indexOf(QLatin1Char('='));
            if (eq <= 0) {
                error = QStringLiteral("--set espera NOME=VALOR: '%1'.").arg(v);
                return false;
            }
            out.sets.append({v.left(eq), v.mid(eq + 1)});
        } else if (a.startsWith(QLatin1String("-"))) {
            error = QStringLiteral("opção desconhecida: %1").arg(a);
            return false;
        } else if (out.code.isEmpty()) {
            out.code = a;
        } else {
            error = QStringLiteral("mais de um código de relatório: %1 e %2.").arg(out.code, a);
            return false;
        }
    }
    if (out.code.isEmpty())
        error = QStringLiteral("falta o código do relatório.");
    else if (out.pdf.isEmpty())
        error = QStringLiteral("falta --pdf ARQUIVO.");
    return error.isEmpty();
}

} // namespace

int main(int argc, char** argv) {
    // No screen is needed: fonts and PDF output work on the offscreen platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kUsage, stdout);
        return Ok;
    }
    TArgs a;
    QString error;
    if (!parse(args, a, error))
        return fail(Usage, error, true);
    Zelkora::SetCommandLine(args);
    const QString dir = Zelkora::ReportDir();

    // The definition and the parameter names first: they need no database.
    QVariantMap values;
    try {
        const TReportDefinition def =
            OpenReportDefinition(dir, a.code, QString(), DefaultReportNotFoundText());
        for (const auto& [name, text] : a.sets) {
            const TReportParamDef* p = def.findParam(name);
            if (!p)
                return fail(Usage, QStringLiteral("o relatório '%1' não declara o parâmetro '%2' "
                                                  "(declarados: %3).")
                                       .arg(a.code, name, [&] {
                                           QStringList names;
                                           for (const TReportParamDef& d : def.params)
                                               names << d.name;
                                           return names.join(QStringLiteral(", "));
                                       }()));
            values.insert(p->name, ReportParamValue(*p, text));
        }
    } catch (const EReportDefinition& e) {
        return fail(NoDefinition, e.text());
    } catch (const EReportParameter& e) {
        return fail(Usage, e.text());
    }

    const QString location = Zelkora::DatabaseLocation();
    const QString connection = QStringLiteral("fis98100-report");
    int rc = Ok;
    {
        QSqlDatabase db;
        try {
            if (!FisDb::isRemoteLocation(location) && !QFileInfo(location).isFile())
                return fail(NoDatabase,
                            QStringLiteral("banco de dados não encontrado: '%1'.").arg(location));
            // A root prepared by a parent process (the client, a script, a test) is kept: every
            // process on one embedded file must share its lock folder.
            QString root;
            if (!qEnvironmentVariableIsEmpty("FIREBIRD") &&
                qEnvironmentVariable("FIREBIRD_LOCK") ==
                    qEnvironmentVariable("FIREBIRD") + QStringLiteral("/lock"))
                root = qEnvironmentVariable("FIREBIRD");
            FisDb::prepareEnvironment(root);
            db = FisDb::openConnection(location, connection);
        } catch (const EHostError& e) {
            return fail(NoDatabase,
                        QStringLiteral("não foi possível abrir o banco de dados '%1': %2")
                            .arg(location, e.text()));
        }
        try {
            const int pages = RenderReportToPdf(dir, a.code, values, a.pdf, db);
            std::printf("%d página(s) gravada(s) em %s\n", pages, a.pdf.toLocal8Bit().constData());
        } catch (const EReportDefinition& e) {
            rc = fail(NoDefinition, e.text());
        } catch (const EReportParameter& e) {
            rc = fail(Usage, e.text());
        } catch (const EHostError& e) {
            rc = fail(Failed, e.text());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    FisDb::shutdown(5000); // while every engine library is still loaded
    return rc;
}
