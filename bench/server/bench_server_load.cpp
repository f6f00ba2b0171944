// bench_server_load [--notes N] [--database PATH] [--runs R] [--keep]
//
// Makes (or reuses) a demo database big enough that one company's notes for one tax exceed
// 100,000, starts fis98100-server on it, and measures:
//   - GetNotaFiscal through the connection (server query, packet, frame, transfer),
//   - loading the answer into a TClientDataSet (decode + SetData),
//   - isql-fb fetching the same rows with the same query from the same database.
#include "Connection.h"
#include "DataSet.h"
#include "Fis98100Contracts.h"
#include "FisDatabase.h"
#include "core/HostExceptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <algorithm>
#include <cstdio>

namespace {

void say(const QString& s) {
    std::printf("%s\n", s.toUtf8().constData());
    std::fflush(stdout);
}

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

// The server's note query for one company and tax with every other filter open.
QString noteSql(const QString& company, const QString& tax) {
    return QStringLiteral(
               "SELECT i.DSHISTGUIAPAGDOC, n.NRNOTAFISC, COALESCE(c.NMRAZSOCCLIE, f.NMRAZSOCFORN),"
               " i.CDRECEGUIA, n.CDSERIE, n.NRLANCTONF, n.CDFILIAL, 'U', i.VRIMPOSTONF,"
               " n.IDENTRSAIDOP, n.NRINSJUR, n.CDINSCESTA, n.CDINSCMUNI, n.VRNOTAFISC,"
               " i.VRMULTAGUIA, i.VRJUROGUIA, i.DTVENCGUIA, i.NRLANCTONFDARF, i.IDSTATUSGUIA,"
               " n.IDINSJUR, n.DTENTRSAID, n.CDFILIOPER"
               " FROM NOTAFISCAL n JOIN IMPOSTONF i ON i.CDFILIAL = n.CDFILIAL"
               " AND i.NRLANCTONF = n.NRLANCTONF AND i.CDIMPOSTONFE = '%2'"
               " LEFT JOIN CLIENTE c ON c.CDCLIENTE = n.CDCLIENTE"
               " LEFT JOIN FORNECEDOR f ON f.CDFORNECED = n.CDFORNECED"
               " WHERE n.CDEMPRESA = '%1' AND i.VRIMPOSTONF > 0"
               " ORDER BY n.DTENTRSAID, n.NRNOTAFISC, n.CDFILIAL, n.NRLANCTONF")
        .arg(company, tax);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList a = app.arguments().mid(1);
    int notes = 330000;
    int runs = 3;
    QString dbPath;
    bool keep = false;
    while (!a.isEmpty()) {
        const QString o = a.takeFirst();
        if (o == QLatin1String("--notes") && !a.isEmpty())
            notes = a.takeFirst().toInt();
        else if (o == QLatin1String("--runs") && !a.isEmpty())
            runs = std::max(1, a.takeFirst().toInt());
        else if (o == QLatin1String("--database") && !a.isEmpty())
            dbPath = a.takeFirst();
        else if (o == QLatin1String("--keep"))
            keep = true;
        else {
            std::fprintf(
                stderr,
                "uso: bench_server_load [--notes N] [--runs R] [--database PATH] [--keep]\n");
            return 2;
        }
    }
    const QString binDir = QCoreApplication::applicationDirPath();
    const QString work = QDir(binDir).absoluteFilePath(QStringLiteral("../bench-data"));
    QDir().mkpath(work);
    if (dbPath.isEmpty())
        dbPath = QStringLiteral("%1/notes-%2.fdb").arg(work).arg(notes);
    const QString company = QStringLiteral("01"), tax = QStringLiteral("05");

    try {
        const QString root = FisDb::prepareEnvironment(work + QStringLiteral("/firebird"));
        if (!QFileInfo::exists(dbPath)) {
            say(QStringLiteral("Criando %1 com %2 notas...").arg(dbPath).arg(notes));
            QElapsedTimer t;
            t.start();
            FisDb::createDatabase(dbPath, true, notes);
            say(QStringLiteral("  criado em %1 s").arg(t.elapsed() / 1000.0, 0, 'f', 1));
        }

        QProcess server;
        server.setProgram(binDir + QStringLiteral("/fis98100-server"));
        server.setArguments(
            {QStringLiteral("--database"), dbPath, QStringLiteral("--port"), QStringLiteral("0")});
        server.setProcessChannelMode(QProcess::SeparateChannels);
        server.start();
        QString log;
        static const QRegularExpression listening(QStringLiteral("escutando em [^:]+:(\\d+)"));
        QElapsedTimer wait;
        wait.start();
        while (!listening.match(log).hasMatch() && wait.elapsed() < 60000 &&
               server.state() != QProcess::NotRunning) {
            server.waitForReadyRead(200);
            log += QString::fromUtf8(server.readAllStandardError());
        }
        if (!listening.match(log).hasMatch())
            throw EHostError(QStringLiteral("o servidor não subiu: %1").arg(log));
        const int port = listening.match(log).captured(1).toInt();

        TNetConnection con;
        con.setPort(port);
        con.setTimeoutMs(600000);
        con.setServerName(QString::fromLatin1(FisProtocol::ObjectName));

        // The server opens its database connection at the first call; keep that out of the figures.
        CheckResultServ(GetParamFiscal(con), true, 0);

        QList<double> callMs, loadMs, isqlMs;
        qsizetype rows = 0, bytes = 0;
        for (int r = 0; r < runs; ++r) {
            QString flag = QStringLiteral("T"), series, tipos, insc;
            QElapsedTimer t;
            t.start();
            const TServerAnswer ans = GetNotaFiscal(con, company, QString(), QString(), flag,
                                                    series, tipos, {}, {}, {}, {}, insc, tax);
            callMs << t.nsecsElapsed() / 1e6;
            const QCborValue payload = CheckResultServ(ans, true, 0);
            bytes = payload.toCbor().size();
            t.restart();
            TClientDataSet cds;
            cds.SetData(payload);
            loadMs << t.nsecsElapsed() / 1e6;
            rows = cds.RecordCount();
        }

        // isql-fb, same query, same database, output thrown away.
        QTemporaryFile script;
        script.open();
        script.write(QStringLiteral("SET HEADING OFF;\nSET COUNT ON;\n%1;\n")
                         .arg(noteSql(company, tax))
                         .toUtf8());
        script.flush();
        qsizetype isqlRows = -1;
        for (int r = 0; r < runs; ++r) {
            QProcess isql;
            isql.setProgram(QStringLiteral("isql-fb"));
            isql.setArguments({QStringLiteral("-q"), QStringLiteral("-ch"), QStringLiteral("UTF8"),
                               QStringLiteral("-u"), QStringLiteral("SYSDBA"), QStringLiteral("-p"),
                               QStringLiteral("masterkey"), dbPath, QStringLiteral("-i"),
                               script.fileName()});
            QElapsedTimer t;
            t.start();
            isql.start();
            isql.waitForFinished(-1); // QProcess keeps draining the pipe meanwhile
            const QByteArray out = isql.readAllStandardOutput();
            isqlMs << t.nsecsElapsed() / 1e6;
            const auto m = QRegularExpression(QStringLiteral("Records affected: (\\d+)"))
                               .match(QString::fromUtf8(out));
            isqlRows = m.hasMatch() ? m.captured(1).toLongLong() : -1;
            if (isql.exitCode() != 0)
                throw EHostError(QStringLiteral("isql-fb falhou: %1")
                                     .arg(QString::fromUtf8(isql.readAllStandardError())));
        }
        con.setConnected(false);
        server.terminate();
        server.waitForFinished(10000);
        if (!keep && !qEnvironmentVariableIsEmpty("FIS_BENCH_DROP"))
            QFile::remove(dbPath);

        say(QStringLiteral("Banco: %1 (%2 notas no total; raiz Firebird %3)")
                .arg(dbPath)
                .arg(notes)
                .arg(root));
        say(QStringLiteral("Linhas: GetNotaFiscal empresa %1 imposto %2 -> %3 notas (isql-fb: %4); "
                           "pacote %5 MB")
                .arg(company, tax)
                .arg(rows)
                .arg(isqlRows)
                .arg(bytes / 1048576.0, 0, 'f', 1));
        say(QStringLiteral("Mediana de %1 execuções:").arg(runs));
        say(QStringLiteral("  GetNotaFiscal (servidor + transferência)   %1 ms")
                .arg(median(callMs), 0, 'f', 0));
        say(QStringLiteral("  carga no TClientDataSet (SetData)          %1 ms")
                .arg(median(loadMs), 0, 'f', 0));
        say(QStringLiteral("  total até o dataset                        %1 ms")
                .arg(median(callMs) + median(loadMs), 0, 'f', 0));
        say(QStringLiteral("  isql-fb, mesma consulta, saída descartada  %1 ms")
                .arg(median(isqlMs), 0, 'f', 0));
        return 0;
    } catch (const EHostError& e) {
        std::fprintf(stderr, "bench_server_load: %s\n", e.text().toUtf8().constData());
        return 1;
    }
}
