// The fis98100-barcode support tool, run as a process the way support staff run it.
#include <QProcess>
#include <QTest>

namespace {

struct Run {
    int exitCode = -1;
    QStringList out; // stdout lines
    QString err;
};

Run runTool(const QStringList& args) {
    const QString bin =
        qEnvironmentVariable("FIS_BINARY_DIR") + QStringLiteral("/bin/fis98100-barcode");
    QProcess p;
    p.start(bin, args);
    Run r;
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit) {
        r.err = QStringLiteral("did not run: %1 (%2)").arg(bin, p.errorString());
        return r;
    }
    r.exitCode = p.exitCode();
    r.out =
        QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    r.err = QString::fromUtf8(p.readAllStandardError()).trimmed();
    return r;
}

const QStringList kExample = {"--tax",     "100.00",     "--interest",     "1.50",
                              "--fine",    "2.00",       "--due",          "2024-01-31",
                              "--ref-pay", "2024-01-01", "--entry",        "2024-04-10",
                              "--ref-due", "2024-01-01", "--registration", "12.345.678/0001-95",
                              "--revenue", "1234"};

QStringList without(QStringList args, const QString& option) {
    const int i = args.indexOf(option);
    args.remove(i, 2);
    return args;
}

QStringList replaced(QStringList args, const QString& option, const QString& value) {
    args[args.indexOf(option) + 1] = value;
    return args;
}

} // namespace

class TestBarcodeTool : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariableIsSet("FIS_BINARY_DIR"), "FIS_BINARY_DIR is not set");
    }

    void composes_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("barcode");
        QTest::addColumn<QString>("line");
        QTest::newRow("worked example")
            << kExample << "85670000001035000640030112345678000112340100"
            << "85670000001.6 03500064003.3 01123456780.5 00112340100.0";
        // Interest and fine are optional, and 1.15 must not lose a centavo on the way.
        QTest::newRow("tax only, CPF")
            << QStringList{"--tax",     "1.15",       "--due",          "2024-01-01",
                           "--ref-pay", "2024-01-01", "--entry",        "2024-01-01",
                           "--ref-due", "2024-01-01", "--registration", "123.456.789-09",
                           "--revenue", "0561"}
            << "85660000000011500640000100012345678905610000"
            << "85660000000.9 01150064000.5 01000123456.5 78905610000.9";
    }
    void composes() {
        QFETCH(QStringList, args);
        QFETCH(QString, barcode);
        QFETCH(QString, line);
        const Run r = runTool(args);
        QCOMPARE(r.err, QString());
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, (QStringList{barcode, line}));
    }

    void checks_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err");
        QTest::newRow("good line")
            << "85670000001.6 03500064003.3 01123456780.5 00112340100.0" << 0 << "";
        QTest::newRow("good barcode") << "85670000001035000640030112345678000112340100" << 0 << "";
        QTest::newRow("group 2 wrong")
            << "85670000001.6 03500064003.4 01123456780.5 00112340100.0" << 1
            << "dígito do grupo 2 incorreto: esperado 3, encontrado 4";
        QTest::newRow("barcode general wrong")
            << "85660000001035000640030112345678000112340100" << 1
            << "dígito verificador geral incorreto: esperado 7, encontrado 6";
        QTest::newRow("too short") << "8567000000103500064003011234567800011234010" << 2
                                   << "\"8567000000103500064003011234567800011234010\" tem 43 "
                                      "dígitos; um código de barras tem 44 e uma linha "
                                      "digitável 48.";
    }
    void checks() {
        QFETCH(QString, text);
        QFETCH(int, exitCode);
        QFETCH(QString, err);
        const Run r = runTool({"--check", text});
        QCOMPARE(r.err, err);
        QCOMPARE(r.exitCode, exitCode);
        if (exitCode == 0) {
            QCOMPARE(r.out.value(0),
                     QStringLiteral("85670000001035000640030112345678000112340100"));
            QCOMPARE(r.out.value(1),
                     QStringLiteral("85670000001.6 03500064003.3 01123456780.5 00112340100.0"));
        } else {
            QVERIFY(r.out.isEmpty());
        }
    }

    void help_data() {
        QTest::addColumn<QString>("option");
        QTest::newRow("--help") << "--help";
        QTest::newRow("-h") << "-h";
        QTest::newRow("--help-all") << "--help-all";
    }
    void help() {
        QFETCH(QString, option);
        const Run r = runTool({option});
        QCOMPARE(r.err, QString());
        QCOMPARE(r.exitCode, 0);
        for (const char* o : {"--tax", "--interest", "--fine", "--due", "--entry", "--ref-pay",
                              "--ref-due", "--registration", "--revenue", "--check"})
            QVERIFY2(r.out.join('\n').contains(QLatin1String(o)), o);
    }

    // Bad input never yields a barcode: non-zero exit, the reason on stderr, nothing on stdout.
    void badInput_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("err");
        QTest::newRow("missing tax") << without(kExample, "--tax") << "opção --tax não informada";
        QTest::newRow("missing revenue")
            << without(kExample, "--revenue") << "opção --revenue não informada";
        QTest::newRow("comma decimal")
            << replaced(kExample, "--fine", "2,00")
            << "--fine: \"2,00\" não é um valor válido (use ponto decimal, ex.: 1234.50)";
        QTest::newRow("exponent") << replaced(kExample, "--tax", "1e3")
                                  << "--tax: \"1e3\" não é um valor válido (use ponto decimal, "
                                     "ex.: 1234.50)";
        QTest::newRow("bad date") << replaced(kExample, "--due", "2024-02-30")
                                  << "--due: \"2024-02-30\" não é uma data válida (use AAAA-MM-DD)";
        QTest::newRow("Brazilian date") << replaced(kExample, "--ref-pay", "01/01/2024")
                                        << "--ref-pay: \"01/01/2024\" não é uma data válida (use "
                                           "AAAA-MM-DD)";
        QTest::newRow("total too large")
            << replaced(kExample, "--tax", "123456789012.34")
            << "Valor total 123.456.789.015,84 excede 11 dígitos do código de barras.";
        QTest::newRow("registration too long")
            << replaced(kExample, "--registration", "123456780001951")
            << "Inscrição da empresa \"123456780001951\" tem 15 dígitos; o máximo é 14.";
        QTest::newRow("unknown option")
            << (QStringList(kExample) << "--foo") << "opção desconhecida: --foo";
        QTest::newRow("unknown short option")
            << (QStringList(kExample) << "-x") << "opção desconhecida: -x";
        QTest::newRow("option without value")
            << (QStringList(kExample) << "--revenue") << "opção --revenue sem valor";
        QTest::newRow("check without value") << QStringList{"--check"} << "opção --check sem valor";
        QTest::newRow("negative tax") << replaced(kExample, "--tax", "-100")
                                      << "--tax: \"-100\" é negativo; o valor deve ser zero ou "
                                         "positivo";
        QTest::newRow("negative fine")
            << replaced(kExample, "--fine", "-100")
            << "--fine: \"-100\" é negativo; o valor deve ser zero ou positivo";
        QTest::newRow("negative interest")
            << replaced(kExample, "--interest", "-0.01")
            << "--interest: \"-0.01\" é negativo; o valor deve ser zero ou positivo";
        QTest::newRow("registration -1")
            << replaced(kExample, "--registration", "-1")
            << "--registration: \"-1\" tem sinal; informe o CNPJ ou CPF (dígitos, com ou sem "
               "pontuação)";
        QTest::newRow("registration with a plus")
            << replaced(kExample, "--registration", "+12345678000195")
            << "--registration: \"+12345678000195\" tem sinal; informe o CNPJ ou CPF (dígitos, "
               "com ou sem pontuação)";
    }
    void badInput() {
        QFETCH(QStringList, args);
        QFETCH(QString, err);
        const Run r = runTool(args);
        QCOMPARE(r.err, err);
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.out.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBarcodeTool)
#include "test_barcodetool.moc"
