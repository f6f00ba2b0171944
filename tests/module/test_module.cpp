// Module entry and main screen lifecycle: exports and unit table, start and stop counters
// across loads, one screen for repeated entries, destroy and re-create, the message table, and
// host and port read afresh at every connect.
#include "filter/Cli_Fis98101.h"
#include "host/Connection.h"
#include "host/DataSet.h"
#include "host/HostApplication.h"
#include "host/HostDialogs.h"
#include "host/ModuleLoader.h"
#include "host/Zelkora.h"
#include "host/core/Services.h"
#include "module/Units.h"
#include "screen/Cli_Fis98100.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace Cli_Fis98100;

class TestModule : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_ini;
    QString m_lib;
    QTcpServer m_server;
    TScriptedDialogs m_dialogs;
    QMdiArea* m_area = nullptr;

    void writePort(int port) {
        QFile f(m_ini);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray("[Server]\nHost=127.0.0.1\nPort=") + QByteArray::number(port) + "\n");
    }
    void closeScreen() {
        if (frmEmissaoDarfDoc)
            frmEmissaoDarfDoc->CloseScreen();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

private slots:
    void initTestCase() {
        m_lib = qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/libfis98100.so");
        m_ini = m_dir.filePath(QStringLiteral("fis.ini"));
        Zelkora::SetConfigFile(m_ini);
        QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
        writePort(m_server.serverPort());
        SetHostDialogs(&m_dialogs);
        m_area = new QMdiArea;
        m_area->resize(1100, 600);
        m_area->show();
        Application().SetMdiArea(m_area);
    }
    void cleanupTestCase() {
        closeScreen();
        delete m_area;
        SetHostDialogs(nullptr);
    }

    void exportsAndUnitTable() {
        TModuleLibrary lib;
        QVERIFY2(lib.Load(m_lib), qPrintable(lib.ErrorText()));
        const TPackageInfoTable* t = lib.PackageInfo();
        QVERIFY(t);
        QStringList names;
        for (int i = 0; i < t->unitCount; ++i)
            names << QString::fromLatin1(t->units[i].name);
        QCOMPARE(names, (QStringList{"HostUnits", "Cli_Fis98101", "Cli_Fis98100"}));
    }

    // Loading runs the start work once; unloading runs the stop work; twice over.
    void startAndStopAcrossLoads() {
        for (int round = 0; round < 2; ++round) {
            boIdCriado = true;
            stChecked = QStringLiteral("U");
            stGuiaEmit = QStringLiteral("S");
            stRegistro = QStringLiteral("x");
            Cli_Fis98101::stInscricao = QStringLiteral("123");
            Cli_Fis98101::stCodTipoOper = QStringLiteral("'1'");
            Cli_Fis98101::stEntrsaid = QStringLiteral("E");
            Cli_Fis98101::stCodSerie = QStringLiteral("'A'");
            {
                TModuleLibrary lib;
                QVERIFY2(lib.Load(m_lib), qPrintable(lib.ErrorText()));
                QCOMPARE(Cli_Fis98100::StartCount(), 1);
                QCOMPARE(Cli_Fis98101::StartCount(), 1);
                QCOMPARE(boIdCriado, false);              // start work of the main unit
                QCOMPARE(stChecked, QStringLiteral("U")); // untouched until stop
                QCOMPARE(Cli_Fis98101::stInscricao, QStringLiteral("123"));
                lib.Unload();
                QVERIFY(!lib.Loaded());
            }
            QCOMPARE(Cli_Fis98100::StartCount(), 0);
            QCOMPARE(Cli_Fis98101::StartCount(), 0);
            QVERIFY(stChecked.isEmpty() && stGuiaEmit.isEmpty() && stRegistro.isEmpty());
            QVERIFY(Cli_Fis98101::stInscricao.isEmpty() && Cli_Fis98101::stCodTipoOper.isEmpty() &&
                    Cli_Fis98101::stEntrsaid.isEmpty() && Cli_Fis98101::stCodSerie.isEmpty());
        }
    }

    // Two loaders of one library: start work on the first start only, stop work on the last.
    void nestedStartsCount() {
        TModuleLibrary a, b;
        QVERIFY(a.Load(m_lib));
        boIdCriado = true;
        QVERIFY(b.Load(m_lib));
        QCOMPARE(Cli_Fis98100::StartCount(), 2);
        QCOMPARE(boIdCriado, true); // the second start did no work
        stGuiaEmit = QStringLiteral("S");
        Cli_Fis98101::stCodSerie = QStringLiteral("'A'");
        a.Unload();
        QCOMPARE(stGuiaEmit, QStringLiteral("S"));
        QCOMPARE(Cli_Fis98101::stCodSerie, QStringLiteral("'A'"));
        b.Unload();
        QVERIFY(stGuiaEmit.isEmpty());
        QVERIFY(Cli_Fis98101::stCodSerie.isEmpty());
        boIdCriado = false;
    }

    void loadFailuresNameFileAndSymbol() {
        TModuleLibrary lib;
        QVERIFY(!lib.Load(m_dir.filePath(QStringLiteral("missing.so"))));
        QVERIFY(lib.ErrorText().contains(m_dir.filePath(QStringLiteral("missing.so"))));
        // A real library without the entry points.
        const QString other =
            qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/libfis_hostcore.so");
        QVERIFY(!lib.Load(other));
        QVERIFY(lib.ErrorText().contains(other));
        QVERIFY(lib.ErrorText().contains(QStringLiteral("'IniProc'")));
        QVERIFY(!lib.Loaded());
        QVERIFY_THROWS_EXCEPTION(std::exception, lib.IniProc());
        // A start routine that throws: refused with its text, nothing stays loaded.
        const QString failing = qEnvironmentVariable("FIS_BINARY_DIR") +
                                QStringLiteral("/bin/libfis_failing_module.so");
        QVERIFY(!lib.Load(failing));
        QVERIFY2(lib.ErrorText().contains(failing) &&
                     lib.ErrorText().contains(QStringLiteral("(Initialize)")) &&
                     lib.ErrorText().contains(QStringLiteral("Configuração do módulo ausente.")),
                 qPrintable(lib.ErrorText()));
        QVERIFY(!lib.Loaded());
        QVERIFY(lib.PackageInfo() == nullptr);
    }

    // Beside the executable, else the installed layout's lib/fis98100; with neither, the path
    // beside (the error then names it).
    void defaultPathFollowsTheInstalledLayout() {
        const QString bin = m_dir.filePath(QStringLiteral("prefix/bin"));
        const QString lib = m_dir.filePath(QStringLiteral("prefix/lib/fis98100"));
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(lib));
        const QString name = QStringLiteral("libfis98100.so");
        QCOMPARE(TModuleLibrary::DefaultPath(name, bin), bin + QLatin1Char('/') + name);
        QVERIFY(QFile(lib + QLatin1Char('/') + name).open(QIODevice::WriteOnly));
        QCOMPARE(TModuleLibrary::DefaultPath(name, bin), lib + QLatin1Char('/') + name);
        QVERIFY(QFile(bin + QLatin1Char('/') + name).open(QIODevice::WriteOnly));
        QCOMPARE(TModuleLibrary::DefaultPath(name, bin), bin + QLatin1Char('/') + name);
    }

    void twoEntriesOneScreen() {
        TModuleLibrary lib;
        QVERIFY(lib.Load(m_lib));
        lib.IniProc();
        TfrmEmissaoDarfDoc* first = frmEmissaoDarfDoc;
        QVERIFY(first);
        QVERIFY(boIdCriado);
        QCOMPARE(boEntra, false); // created (true), then activated at once by the show
        QCOMPARE(first->windowTitle(), QStringLiteral("Emissão da Darf por Documento"));
        QCOMPARE(first->ScreenCode(), QStringLiteral("FIS98100"));
        QCOMPARE(first->ReportCode(), QStringLiteral("FIS981"));
        QMdiSubWindow* sub = THostApplication::ChildWindow(first);
        QVERIFY(sub);
        QVERIFY(sub->isMaximized());
        QVERIFY(!QGuiApplication::overrideCursor()); // hourglass taken back

        sub->showNormal();
        lib.IniProc();
        QCOMPARE(frmEmissaoDarfDoc, first);
        QCOMPARE(m_area->subWindowList().size(), 1);
        QVERIFY(sub->isMaximized());
        QCOMPARE(m_area->activeSubWindow(), sub);
        QVERIFY(m_dialogs.errors().isEmpty());

        // Closing destroys the screen and lets the next entry create a new one.
        closeScreen();
        QCOMPARE(frmEmissaoDarfDoc, nullptr);
        QCOMPARE(boIdCriado, false);
        QVERIFY(m_area->subWindowList().isEmpty());
        lib.IniProc();
        QVERIFY(frmEmissaoDarfDoc);
        QCOMPARE(m_area->subWindowList().size(), 1);
        closeScreen();
        lib.Unload();
    }

    void createThenActivate() {
        TfrmEmissaoDarfDoc f; // outside the MDI area: nothing activates it by itself
        f.AfterConstruction();
        QCOMPARE(boEntra, true);
        QVERIFY(f.netEmissaoDarfDoc->connected());
        QVERIFY(!f.cdsNotaFiscal->Active());
        QCOMPARE(f.cdsNotaFiscal->FieldByName(QStringLiteral("DTVENCGUIA"))->EditMask(),
                 DateMask());
        // Activation re-evaluates the commands even with the note dataset closed.
        f.sbtPrint->setEnabled(true);
        f.mnuImprimir->setEnabled(true);
        f.FormActivate();
        QCOMPARE(boEntra, false);
        QVERIFY(!f.sbtPrint->isEnabled());
        QVERIFY(!f.mnuImprimir->isEnabled());
        TCloseAction action = caNone;
        f.FormClose(action);
        QCOMPARE(action, caFree);
        QVERIFY(!f.netEmissaoDarfDoc->connected());
    }

    void messageTable() {
        TfrmEmissaoDarfDoc f;
        QStringList keys;
        for (const QString& line : f.msgPadrao.lines())
            keys << line.section(QLatin1Char('|'), 0, 0);
        QCOMPARE(keys,
                 (QStringList{"Arq_Rel_Err", "NovoCaption", "NovoPrompt", "VD_TRAD", "Empr_Cad",
                              "Empr_Inf", "Dt_Nula", "Nota_Inf", "Venc_Inf", "CONTAPAGAR_OK",
                              "ERRO_BENEFICIARIO", "EMIT", "cod_rece", "Cod_Inv"}));
        QCOMPARE(
            f.msgPadrao.Msg(QStringLiteral("ERRO_BENEFICIARIO")),
            QStringLiteral("Para gerar a guia do imposto deve-se relacionar o beneficiário, o "
                           "tipo de conta a pagar e o tipo de baixa a pagar ao imposto e "
                           "parametrizar o tipo de operação para gerar a conta à pagar na tela "
                           "\"Parâmetros de Fiscal\" ."));
        QCOMPARE(
            f.msgPadrao.Msg(QStringLiteral("Cod_Inv")),
            QStringLiteral("Código da Receita deve ser parametrizado para o imposto no Menu  -> "
                           "Tabelas/ Código da Receita."));
        QCOMPARE(
            f.msgPadrao.Msg(QStringLiteral("EMIT")),
            QStringLiteral("Documento já foi emitido. É possível apenas visualizar o relatório."));
        QCOMPARE(f.netEmissaoDarfDoc->serverName(),
                 QStringLiteral("Fis98100.rdmCriaEmissaoDarfDoc"));
        QCOMPARE(f.netEmissaoDarfDoc->throwException(), false);
    }

    // The screen connects at creation to the configured peer; a changed INI is seen at the
    // next connect.
    void hostAndPortReadAtEachConnect() {
        QTcpServer second;
        QVERIFY(second.listen(QHostAddress::LocalHost, 0));
        writePort(m_server.serverPort());
        TModuleLibrary lib;
        QVERIFY(lib.Load(m_lib));
        lib.IniProc();
        TNetConnection* net = frmEmissaoDarfDoc->netEmissaoDarfDoc;
        QVERIFY(net->connected());
        QCOMPARE(net->host(), QStringLiteral("127.0.0.1"));
        QCOMPARE(net->port(), int(m_server.serverPort()));
        QTRY_VERIFY(m_server.hasPendingConnections());
        delete m_server.nextPendingConnection();

        writePort(second.serverPort());
        net->setConnected(false);
        net->setConnected(true);
        QCOMPARE(net->port(), int(second.serverPort()));
        QVERIFY(net->connected());
        QTRY_VERIFY(second.hasPendingConnections());
        QTcpSocket* peer = second.nextPendingConnection();

        closeScreen(); // closing disconnects (and destroys the screen)
        QCOMPARE(frmEmissaoDarfDoc, nullptr);
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        lib.Unload();
    }
};

QTEST_MAIN(TestModule)
#include "test_module.moc"
