#include "DemoData.h"

#include "core/HostExceptions.h"
#include "core/Services.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cmath>
#include <random>

namespace FisDb {

namespace {

QString onlyDigits(const QString& text) {
    QString out;
    for (QChar c : text)
        if (c.isDigit() && c.unicode() <= '9')
            out += c;
    return out;
}

bool allDigits(const QString& text) {
    for (QChar c : text)
        if (c.unicode() < '0' || c.unicode() > '9')
            return false;
    return true;
}

// Modulo-11 digit with weights applied from the left.
int mod11(const QString& digits, const QList<int>& weights, bool cpfRule) {
    int sum = 0;
    for (int i = 0; i < digits.size(); ++i)
        sum += (digits.at(i).unicode() - '0') * weights.at(i);
    if (cpfRule) {
        const int d = (sum * 10) % 11;
        return d == 10 ? 0 : d;
    }
    const int r = sum % 11;
    return r < 2 ? 0 : 11 - r;
}

bool oneRepeatedDigit(const QString& digits) {
    return !digits.isEmpty() && digits.count(digits.at(0)) == digits.size();
}

// The generator's own arithmetic on mt19937 (whose sequence the standard fixes), so the data set
// is the same with every standard library.
class Rng {
public:
    explicit Rng(quint32 seed) : m_gen(seed) {}
    int between(int lo, int hi) { return lo + int(m_gen() % quint32(hi - lo + 1)); }
    bool chance(int percent) { return between(0, 99) < percent; }
    QString digits(int n) {
        QString s;
        for (int i = 0; i < n; ++i)
            s += QChar('0' + between(0, 9));
        return s;
    }
    template <class T> const T& pick(const QList<T>& list) {
        return list.at(between(0, int(list.size()) - 1));
    }

private:
    std::mt19937 m_gen;
};

struct ExitSeries {
    QString code;
    QString ie;
    QString im;
    int next = 1;
};

struct Company {
    QString code;
    QString name;
    QString cnpj; // digits
    QString uf;
    QStringList branches;
    QStringList ies;
    QStringList ims;
    QList<ExitSeries> series;
    int weight = 1;
};

struct Party {
    QString code;
    QString type; // F or J
    QString registration;
};

struct Tax {
    QString code;
    QString abbrev;
    QString authority;
    bool payable; // has payable settings
};

struct Issue {
    QString branch, entry, tax, company, cnpj, revenue, history;
    qint64 tax_c = 0, fine_c = 0, interest_c = 0;
    QDate due, entrySaid;
};

const QList<Tax>& taxes() {
    // "08" has no payable settings on purpose: issuing it must be refused.
    static const QList<Tax> list = {
        {"01", "IPI", "F", true},   {"05", "PIS", "F", true},   {"06", "COFINS", "F", true},
        {"07", "IRRF", "F", true},  {"08", "CSLL", "F", false}, {"41", "IRPJ", "F", false},
        {"42", "CPMF", "F", false}, {"10", "ICMS", "E", false}, {"11", "ICMS ST", "E", false},
        {"20", "ISS", "M", false},
    };
    return list;
}

struct Revenue {
    const char* tax;
    const char* code;
    const char* variation;
    const char* description;
};

const QList<Revenue>& revenues() {
    static const QList<Revenue> list = {
        {"01", "5123", "01", "IPI - Demais produtos"},
        {"01", "1020", "01", "IPI - Bebidas"},
        {"05", "8109", "02", "PIS - Faturamento - Pessoa jurídica de direito privado"},
        {"05", "6912", "01", "PIS - Não cumulativo"},
        {"06", "2172", "01", "COFINS - Faturamento - Pessoa jurídica de direito privado"},
        {"06", "5856", "01", "COFINS - Não cumulativa"},
        {"07", "1708", "06", "IRRF - Remuneração de serviços profissionais prestados por PJ"},
        {"07", "0588", "06", "IRRF - Rendimento do trabalho sem vínculo empregatício"},
        {"07", "3208", "01", "IRRF - Aluguéis e royalties pagos a pessoa física"},
        {"08", "5952", "01", "Retenção de CSLL, COFINS e PIS/PASEP sobre serviços"},
        {"08", "2372", "01", "CSLL - Pessoa jurídica obrigada à apuração pelo lucro real"},
    };
    return list;
}

class Inserter {
public:
    Inserter(QSqlDatabase db, const QString& sql) : m_query(db), m_sql(sql) {
        if (!m_query.prepare(sql))
            fail();
    }
    void operator()(const QVariantList& values) {
        for (int i = 0; i < values.size(); ++i)
            m_query.bindValue(i, values.at(i));
        if (!m_query.exec())
            fail();
    }

private:
    [[noreturn]] void fail() {
        const QSqlError e = m_query.lastError();
        throw EHostError(QStringLiteral("Erro ao gravar os dados de demonstração:\n%1\n%2\n%3")
                             .arg(e.driverText(), e.databaseText(), m_sql));
    }
    QSqlQuery m_query;
    QString m_sql;
};

// Inserts rows of one table many at a time: one prepared EXECUTE BLOCK carries `rows` rows, so
// the engine is entered once per block instead of once per row. Rows are buffered; flushFull()
// sends every complete block, finish() the rest one row at a time. Money columns take whole
// centavos.
class BatchInserter {
public:
    struct Column {
        const char* name;
        const char* type; // SQL type of the parameter; "MONEY" for centavos into NUMERIC(15,2)
    };

    BatchInserter(QSqlDatabase db, const QString& table, const QList<Column>& columns, int rows)
        : m_columns(columns), m_rows(rows), m_block(db, blockSql(table, columns, rows)),
          m_single(db, blockSql(table, columns, 1)) {}

    void add(const QVariantList& values) { m_pending.append(values); }
    int pending() const { return int(m_pending.size()); }

    void flushFull() {
        while (m_pending.size() >= m_rows) {
            QVariantList block;
            for (int r = 0; r < m_rows; ++r)
                block += m_pending.at(r);
            m_block(block);
            m_pending.remove(0, m_rows);
        }
    }

    void finish() {
        flushFull();
        for (const QVariantList& row : std::as_const(m_pending))
            m_single(row);
        m_pending.clear();
    }

private:
    static QString blockSql(const QString& table, const QList<Column>& columns, int rows) {
        QStringList params, inserts, names;
        for (const Column& c : columns)
            names << QLatin1String(c.name);
        for (int r = 0; r < rows; ++r) {
            QStringList values;
            for (int i = 0; i < columns.size(); ++i) {
                const QString p = QStringLiteral("P%1_%2").arg(r).arg(i);
                const bool money = qstrcmp(columns.at(i).type, "MONEY") == 0;
                params << p + QLatin1Char(' ') +
                              (money ? QStringLiteral("BIGINT")
                                     : QString::fromLatin1(columns.at(i).type)) +
                              QStringLiteral(" = ?");
                values << (money ? QLatin1Char(':') + p + QStringLiteral(" * 0.01")
                                 : QLatin1Char(':') + p);
            }
            inserts << QStringLiteral("  INSERT INTO %1 (%2) VALUES (%3);")
                           .arg(table, names.join(QStringLiteral(", ")),
                                values.join(QStringLiteral(", ")));
        }
        return QStringLiteral("EXECUTE BLOCK (%1)\nAS\nBEGIN\n%2\nEND")
            .arg(params.join(QStringLiteral(", ")), inserts.join(QLatin1Char('\n')));
    }

    QList<Column> m_columns;
    int m_rows;
    Inserter m_block;
    Inserter m_single;
    QList<QVariantList> m_pending;
};

// Money travels as whole centavos and becomes NUMERIC(15,2) inside the database: the generator
// computes in integer centavos and no binary fraction is involved on the way.
const char* const kMoney = "CAST(? AS BIGINT) * 0.01";

QString money(const QString& sqlWithMarks) {
    QString s = sqlWithMarks;
    s.replace(QStringLiteral("$"), QLatin1String(kMoney));
    return s;
}

const QVariant kNullText = QVariant(QMetaType::fromType<QString>());
const QVariant kNullDate = QVariant(QMetaType::fromType<QDate>());
const QVariant kNullInt = QVariant(QMetaType::fromType<int>());

QVariant textOrNull(const QString& s) {
    return s.isEmpty() ? kNullText : QVariant(s);
}

// Collection barcode and typable line of a DARF, as the issue run composes them.
QPair<QString, QString> darfBarcode(const Issue& is) {
    const qint64 total = is.tax_c + is.fine_c + is.interest_c;
    const QString body = QStringLiteral("856") + Ajusta(QString::number(total), 11) +
                         QStringLiteral("0064") +
                         Ajusta(QString::number(demoRefPagDarf().daysTo(is.due)), 4) +
                         QStringLiteral("1") + Ajusta(is.cnpj, 14).left(12) + is.revenue.left(4) +
                         Ajusta(QString::number(demoRefVencDarf().daysTo(is.entrySaid)), 4);
    const QString barcode = body.left(3) + Mod10(body) + body.mid(3);
    const QString digits = TransformaBarraLinhaDigi(barcode);
    QStringList groups;
    for (int k = 0; k < 4; ++k)
        groups << digits.mid(12 * k, 11) + QLatin1Char('.') + digits.at(12 * k + 11);
    return {barcode, groups.join(QLatin1Char(' '))};
}

} // namespace

QString cnpjCheckDigits(const QString& first12) {
    if (first12.size() != 12 || !allDigits(first12))
        return {};
    const int d1 = mod11(first12, {5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2}, false);
    const int d2 = mod11(first12 + QChar('0' + d1), {6, 5, 4, 3, 2, 9, 8, 7, 6, 5, 4, 3, 2}, false);
    return QString(QChar('0' + d1)) + QChar('0' + d2);
}

QString cpfCheckDigits(const QString& first9) {
    if (first9.size() != 9 || !allDigits(first9))
        return {};
    const int d1 = mod11(first9, {10, 9, 8, 7, 6, 5, 4, 3, 2}, true);
    const int d2 = mod11(first9 + QChar('0' + d1), {11, 10, 9, 8, 7, 6, 5, 4, 3, 2}, true);
    return QString(QChar('0' + d1)) + QChar('0' + d2);
}

bool isValidCnpj(const QString& text) {
    const QString d = onlyDigits(text);
    if (d.size() != 14 || oneRepeatedDigit(d))
        return false;
    for (QChar c : text)
        if (!c.isDigit() && c != QLatin1Char('.') && c != QLatin1Char('/') && c != QLatin1Char('-'))
            return false;
    return cnpjCheckDigits(d.left(12)) == d.right(2);
}

bool isValidCpf(const QString& text) {
    const QString d = onlyDigits(text);
    if (d.size() != 11 || oneRepeatedDigit(d))
        return false;
    for (QChar c : text)
        if (!c.isDigit() && c != QLatin1Char('.') && c != QLatin1Char('-'))
            return false;
    return cpfCheckDigits(d.left(9)) == d.right(2);
}

QString formatCnpj(const QString& digits) {
    if (digits.size() != 14)
        return digits;
    return QStringLiteral("%1.%2.%3/%4-%5")
        .arg(digits.mid(0, 2), digits.mid(2, 3), digits.mid(5, 3), digits.mid(8, 4),
             digits.mid(12, 2));
}

QDate demoRefPagDarf() {
    return QDate(2022, 5, 29);
}

QDate demoRefVencDarf() {
    return QDate(2020, 1, 1);
}

DemoSummary fillDemoData(QSqlDatabase db, const DemoOptions& options) {
    QElapsedTimer timer;
    timer.start();
    DemoSummary summary;
    Rng rng(options.seed);
    const QDate anchor = options.anchor.isValid() ? options.anchor : QDate::currentDate();
    const int noteCount = qMax(0, options.notes);

    if (!db.transaction())
        throw EHostError(
            QStringLiteral("Não foi possível iniciar a transação: %1").arg(db.lastError().text()));
    try {
        QSet<QString> usedRegistrations;
        auto newCnpj = [&](const QString& order) {
            for (;;) {
                const QString base = rng.digits(8) + order;
                const QString cnpj = base + cnpjCheckDigits(base);
                if (!oneRepeatedDigit(cnpj) && !usedRegistrations.contains(cnpj)) {
                    usedRegistrations.insert(cnpj);
                    return cnpj;
                }
            }
        };
        auto newCpf = [&]() {
            for (;;) {
                const QString base = rng.digits(9);
                const QString cpf = base + cpfCheckDigits(base);
                if (!oneRepeatedDigit(cpf) && !usedRegistrations.contains(cpf)) {
                    usedRegistrations.insert(cpf);
                    return cpf;
                }
            }
        };

        // Companies, their registrations and exit series.
        QList<Company> companies = {
            {"01", "Metalúrgica Serra Azul Ltda.", {}, "SP", {"0001", "0002"}, {}, {}, {}, 4},
            {"02", "Comercial Ipê Amarelo S.A.", {}, "MG", {"0003"}, {}, {}, {}, 3},
            {"03", "Transportes Vale do Sol Ltda.", {}, "PR", {"0004"}, {}, {}, {}, 2},
            {"04", "Laticínios Campo Verde Ltda.", {}, "RS", {"0005", "0006"}, {}, {}, {}, 2},
        };
        Inserter empresa(db, "INSERT INTO EMPRESA (CDEMPRESA, NMRAZSOCEMPR, NRINSJUREMPR) "
                             "VALUES (?, ?, ?)");
        Inserter inscEsta(db, "INSERT INTO INSCRESTAD (CDINSCESTA, CDEMPRESA, SGESTADO) "
                              "VALUES (?, ?, ?)");
        Inserter inscMuni(db, "INSERT INTO INSCRMUNICIP (CDINSCMUNI, CDEMPRESA) VALUES (?, ?)");
        Inserter serieNf(db, "INSERT INTO SERIENF (CDSERIE, DSSERIE, CDEMPRESA, CDINSCESTA, "
                             "CDINSCMUNI) VALUES (?, ?, ?, ?, ?)");
        for (Company& c : companies) {
            c.cnpj = newCnpj(QStringLiteral("0001"));
            empresa({c.code, c.name, formatCnpj(c.cnpj)});
            const int nIe = c.code == QLatin1String("01") || c.code == QLatin1String("04") ? 2 : 1;
            for (int i = 0; i < nIe; ++i) {
                c.ies << rng.digits(12);
                inscEsta({c.ies.last(), c.code, c.uf});
            }
            const int nIm = c.code == QLatin1String("02") ? 1 : 2;
            for (int i = 0; i < nIm; ++i) {
                c.ims << rng.digits(9);
                inscMuni({c.ims.last(), c.code});
            }
            for (const QString& ie : std::as_const(c.ies)) {
                for (const QString& im : std::as_const(c.ims)) {
                    for (const QString& code : {QStringLiteral("1"), QStringLiteral("2")}) {
                        c.series.append({code, ie, im, 1});
                        serieNf({code, QStringLiteral("Série %1").arg(code), c.code, ie, im});
                    }
                }
            }
            c.series.append({QStringLiteral("U"), c.ies.first(), c.ims.first(), 1});
            serieNf({QStringLiteral("U"), QStringLiteral("Série única"), c.code, c.ies.first(),
                     c.ims.first()});
        }
        summary.companies = int(companies.size());

        // Taxes, revenue codes, operation types, entry series.
        Inserter imposto(db, "INSERT INTO IMPOSTONFE (CDIMPOSTONFE, SGIMPOSTONFE, "
                             "IDORGARRECADNFE) VALUES (?, ?, ?)");
        for (const Tax& t : taxes())
            imposto({t.code, t.abbrev, t.authority});
        Inserter receita(db, "INSERT INTO RECEITAPADRAO (CDIMPOSTONFE, CDRECEPADRAO, CDVARIACAO, "
                             "DSRECEPADRAO) VALUES (?, ?, ?, ?)");
        QHash<QString, QStringList> revenueByTax;
        for (const Revenue& r : revenues()) {
            receita({QString::fromUtf8(r.tax), QString::fromUtf8(r.code),
                     QString::fromUtf8(r.variation), QString::fromUtf8(r.description)});
            revenueByTax[QString::fromUtf8(r.tax)] << QString::fromUtf8(r.code);
        }
        Inserter tipoOper(db, "INSERT INTO TIPOOPERAC (IDENTRSAIDOP, CDTIPOOPER, NMTIPOOPER) "
                              "VALUES (?, ?, ?)");
        const QList<QStringList> operationTypes = {
            {"E", "01", "Compra para comercialização"}, {"E", "02", "Compra para industrialização"},
            {"E", "03", "Devolução de venda"},          {"E", "10", "Aquisição de serviço"},
            {"S", "01", "Venda de produção própria"},   {"S", "02", "Venda de mercadoria"},
            {"S", "03", "Devolução de compra"},         {"S", "20", "Prestação de serviço"},
        };
        for (const QStringList& t : operationTypes)
            tipoOper({t[0], t[1], t[2]});
        Inserter serieEntr(db, "INSERT INTO SERIEENTR (CDSERIEENTR, DSSERIEENTR) VALUES (?, ?)");
        const QStringList entrySeries = {"1", "2", "3", "U", "55"};
        serieEntr({"1", "Série 1"});
        serieEntr({"2", "Série 2"});
        serieEntr({"3", "Série 3"});
        serieEntr({"U", "Série única"});
        serieEntr({"55", "NF-e modelo 55"});

        // Customers and suppliers; the first supplier is the federal revenue, the payables'
        // beneficiary.
        static const QStringList firstNames = {
            "Ana",      "Bruno",   "Carla", "Daniel",  "Eduarda", "Fábio",   "Gabriela",
            "Henrique", "Isabela", "João",  "Larissa", "Marcos",  "Natália", "Otávio",
            "Paula",    "Rafael",  "Sônia", "Tiago",   "Vera",    "Wagner"};
        static const QStringList lastNames = {"Almeida", "Barbosa",  "Cardoso",  "Dias",
                                              "Esteves", "Ferreira", "Gomes",    "Lima",
                                              "Moreira", "Nogueira", "Oliveira", "Pereira",
                                              "Queiroz", "Ribeiro",  "Souza",    "Teixeira"};
        static const QStringList firmWords = {
            "Aurora",   "Boa Vista", "Cristal",  "Delta",     "Estrela", "Fortaleza",
            "Guará",    "Horizonte", "Itapema",  "Jacarandá", "Lagoa",   "Mirante",
            "Nascente", "Oeste",     "Pioneira", "Rio Claro", "Serrana", "Tropical"};
        static const QStringList firmKinds = {"Comércio", "Indústria",    "Distribuidora",
                                              "Serviços", "Agropecuária", "Logística"};
        auto personName = [&]() {
            return rng.pick(firstNames) + QLatin1Char(' ') + rng.pick(lastNames) +
                   QLatin1Char(' ') + rng.pick(lastNames);
        };
        auto firmName = [&](int n) {
            return QStringLiteral("%1 %2 %3 Ltda.")
                .arg(rng.pick(firmKinds), rng.pick(firmWords))
                .arg(n);
        };

        const int nCustomers = qBound(12, noteCount / 40, 3000);
        const int nSuppliers = qBound(10, noteCount / 60, 2000);
        QList<Party> customers, suppliers;
        Inserter cliente(db, "INSERT INTO CLIENTE (CDCLIENTE, IDTPIJURCLIE, NRINSJURCLIE, "
                             "NMRAZSOCCLIE) VALUES (?, ?, ?, ?)");
        for (int i = 1; i <= nCustomers; ++i) {
            Party p{QStringLiteral("C%1").arg(i, 6, 10, QLatin1Char('0')),
                    rng.chance(40) ? "F" : "J",
                    {}};
            p.registration = p.type == QLatin1String("F") ? newCpf() : newCnpj("0001");
            cliente({p.code, p.type, p.registration,
                     p.type == QLatin1String("F") ? personName() : firmName(i)});
            customers << p;
        }
        Inserter fornecedor(db, "INSERT INTO FORNECEDOR (CDFORNECED, IDTPIJURFORN, "
                                "NRINSJURFORN, NMRAZSOCFORN) VALUES (?, ?, ?, ?)");
        const QString beneficiary = QStringLiteral("F000000");
        fornecedor({beneficiary, "J", newCnpj("0001"), "Secretaria da Receita Federal"});
        for (int i = 1; i <= nSuppliers; ++i) {
            Party p{QStringLiteral("F%1").arg(i, 6, 10, QLatin1Char('0')),
                    rng.chance(15) ? "F" : "J",
                    {}};
            p.registration = p.type == QLatin1String("F") ? newCpf() : newCnpj("0001");
            fornecedor({p.code, p.type, p.registration,
                        p.type == QLatin1String("F") ? personName() : firmName(i)});
            suppliers << p;
        }
        summary.customers = nCustomers;
        summary.suppliers = nSuppliers + 1;

        Inserter param(db, "INSERT INTO PARAMFISCAL (IDPARAMFISCAL, CDTIPOOPERPREPAG, "
                           "DTREFVENCDARF, DTREFPAGDARF) VALUES (1, ?, ?, ?)");
        param({"50", demoRefVencDarf(), demoRefPagDarf()});
        Inserter settings(db, "INSERT INTO IMPOSTOCONTAPAG (CDIMPOSTONFE, CDFORNECED, "
                              "CDTIPOCONTAPAG, CDTIPOBAIXAPAG, CDTIPOOPERPAG) "
                              "VALUES (?, ?, ?, ?, ?)");
        for (const Tax& t : taxes())
            if (t.payable)
                settings({t.code, beneficiary, "DARF", "BCO", "50"});

        // Notes and their taxes.
        // Notes and their taxes go in blocks; a block of taxes is sent only after the notes it
        // refers to.
        BatchInserter nota(db, QStringLiteral("NOTAFISCAL"),
                           {{"CDFILIAL", "VARCHAR(4)"},
                            {"NRLANCTONF", "VARCHAR(10)"},
                            {"CDEMPRESA", "VARCHAR(2)"},
                            {"CDINSCESTA", "VARCHAR(16)"},
                            {"CDINSCMUNI", "VARCHAR(16)"},
                            {"IDENTRSAIDOP", "VARCHAR(1)"},
                            {"CDTIPOOPER", "VARCHAR(2)"},
                            {"CDSERIE", "VARCHAR(5)"},
                            {"NRNOTAFISC", "VARCHAR(20)"},
                            {"CDCLIENTE", "VARCHAR(21)"},
                            {"CDFORNECED", "VARCHAR(21)"},
                            {"IDINSJUR", "VARCHAR(1)"},
                            {"NRINSJUR", "VARCHAR(20)"},
                            {"DTEMISSAONF", "DATE"},
                            {"DTENTRSAID", "DATE"},
                            {"VRNOTAFISC", "MONEY"},
                            {"CDFILIOPER", "VARCHAR(4)"}},
                           40);
        BatchInserter impostoNf(db, QStringLiteral("IMPOSTONF"),
                                {{"CDFILIAL", "VARCHAR(4)"},
                                 {"NRLANCTONF", "VARCHAR(10)"},
                                 {"CDIMPOSTONFE", "VARCHAR(2)"},
                                 {"VRIMPOSTONF", "MONEY"},
                                 {"VRMULTAGUIA", "MONEY"},
                                 {"VRJUROGUIA", "MONEY"},
                                 {"DTVENCGUIA", "DATE"},
                                 {"DSHISTGUIAPAGDOC", "VARCHAR(255)"},
                                 {"CDRECEGUIA", "VARCHAR(4)"}},
                                40);
        int totalWeight = 0;
        for (const Company& c : std::as_const(companies))
            totalWeight += c.weight;
        QHash<QString, int> nextEntry;
        QList<Issue> issues;
        const QHash<QString, QString> abbrev = [] {
            QHash<QString, QString> h;
            for (const Tax& t : taxes())
                h.insert(t.code, t.abbrev);
            return h;
        }();
        QSet<QString> payableTaxes;
        for (const Tax& t : taxes())
            if (t.payable)
                payableTaxes.insert(t.code);

        // One note and its taxes. allTaxes: every federal tax the note's kind can carry, so
        // that no tax is left to chance.
        auto addNote = [&](Company* company, bool exit, bool customer, const QString& opType,
                           const QDate& emission, const QDate& entrySaid, bool allTaxes) {
            const QString branch = rng.pick(company->branches);
            const QString operBranch = rng.chance(85) ? branch : rng.pick(company->branches);
            const QString entry = Ajusta(QString::number(++nextEntry[branch]), 10);
            const Party& party = customer ? rng.pick(customers) : rng.pick(suppliers);
            const bool service = opType == QLatin1String("10") || opType == QLatin1String("20");

            QString series, ie, im, number;
            if (exit) {
                ExitSeries& s = company->series[rng.between(0, int(company->series.size()) - 1)];
                series = s.code;
                ie = s.ie;
                im = s.im;
                number = QString::number(s.next++);
            } else {
                series = rng.pick(entrySeries);
                number = QString::number(rng.between(1, 999999));
            }
            // Log-uniform between R$ 50,00 and R$ 250.000,00.
            const double logValue = std::log(5000.0) + (std::log(25000000.0) - std::log(5000.0)) *
                                                           rng.between(0, 1000000) / 1000000.0;
            const qint64 noteValue = qint64(std::llround(std::exp(logValue)));

            if (nota.pending() == 40) {
                nota.flushFull();
                impostoNf.flushFull();
            }
            nota.add({branch, entry, company->code, textOrNull(ie), textOrNull(im),
                      exit ? "S" : "E", opType, series, number,
                      customer ? QVariant(party.code) : kNullText,
                      customer ? kNullText : QVariant(party.code), party.type, party.registration,
                      emission, entrySaid, noteValue, operBranch});
            ++summary.notes;

            // Tax amounts in tenths of a percent of the note value.
            QList<QPair<QString, int>> noteTaxes;
            if (!service && ((exit && opType == QLatin1String("01")) ||
                             (!exit && opType == QLatin1String("02"))))
                noteTaxes.append({"01", rng.pick(QList<int>{50, 80, 100})});
            if (rng.chance(85) || (allTaxes && !service)) {
                noteTaxes.append({"05", 17});
                noteTaxes.append({"06", 76});
            }
            if (service || noteTaxes.isEmpty())
                noteTaxes.append({"07", 15});
            if (service)
                noteTaxes.append({"08", 10});
            if (rng.chance(4))
                noteTaxes.append({rng.chance(50) ? "41" : "42", 12});
            if (!service && (exit || rng.chance(60)))
                noteTaxes.append(
                    {rng.chance(85) ? "10" : "11", rng.pick(QList<int>{70, 120, 180})});
            if (service)
                noteTaxes.append({"20", 50});

            for (const auto& [tax, rate] : noteTaxes) {
                const qint64 amount = (noteValue * rate + 500) / 1000;
                const bool federal = revenueByTax.contains(tax);
                QVariant due = kNullDate, history = kNullText, revenue = kNullText;
                qint64 fine = 0, interest = 0;
                if (federal && rng.chance(30)) {
                    const QDate next = entrySaid.addMonths(1);
                    const QDate dueDate(next.year(), next.month(), 20);
                    const QString code = rng.pick(revenueByTax.value(tax));
                    const QString text = QStringLiteral("%1 sobre NF %2 série %3")
                                             .arg(abbrev.value(tax), number, series);
                    if (rng.chance(10)) {
                        fine = (amount * 20 + 50) / 100;
                        interest = (amount * rng.between(1, 30) + 50) / 1000;
                    }
                    due = dueDate;
                    history = text;
                    revenue = code;
                    if (payableTaxes.contains(tax) && rng.chance(15)) {
                        issues.append({branch, entry, tax, company->code, company->cnpj, code, text,
                                       amount, fine, interest, dueDate, entrySaid});
                    }
                }
                impostoNf.add({branch, entry, tax, amount, fine, interest, due, history, revenue});
                ++summary.noteTaxes;
            }
        };

        // A new clerk's first filter (the processing date's month up to that date) finds, for
        // every company, entry and exit notes of every tax the filter offers: per company and
        // kind one note of goods (IPI, PIS, COFINS) and one of services (IRRF, CSLL).
        struct Guaranteed {
            int company;
            bool exit;
            bool service;
        };
        QList<Guaranteed> guaranteed;
        for (int c = 0; c < companies.size(); ++c)
            for (bool exit : {false, true})
                for (bool service : {false, true})
                    guaranteed.append({c, exit, service});
        guaranteed.resize(qMin(guaranteed.size(), qsizetype(noteCount)));

        for (int n = 0; n < noteCount - int(guaranteed.size()); ++n) {
            int w = rng.between(1, totalWeight);
            Company* company = &companies.first();
            for (Company& c : companies) {
                if ((w -= c.weight) <= 0) {
                    company = &c;
                    break;
                }
            }
            const bool exit = rng.chance(45);
            const bool customer = exit ? rng.chance(85) : rng.chance(15);
            QString opType;
            if (exit)
                opType = !customer ? "03" : rng.pick(QStringList{"01", "01", "02", "20"});
            else
                opType = customer ? "03" : rng.pick(QStringList{"01", "02", "02", "10"});
            const QDate emission = anchor.addDays(-rng.between(0, 182));
            QDate entrySaid = emission.addDays(rng.between(0, 5));
            if (entrySaid > anchor)
                entrySaid = anchor;
            addNote(company, exit, customer, opType, emission, entrySaid, false);
        }

        const QDate monthStart = PriDiaMes(anchor);
        for (const Guaranteed& g : std::as_const(guaranteed)) {
            const QString opType = g.exit ? (g.service ? "20" : "01") : (g.service ? "10" : "02");
            const QDate emission =
                monthStart.addDays(rng.between(0, int(monthStart.daysTo(anchor))));
            const QDate entrySaid =
                emission.addDays(rng.between(0, int(qMin(qint64(5), emission.daysTo(anchor)))));
            addNote(&companies[g.company], g.exit, g.exit, opType, emission, entrySaid, true);
        }

        nota.finish();
        impostoNf.finish();

        // Guides already issued: their payables, then the notes' status.
        if (!issues.isEmpty()) {
            QSqlQuery seq(db);
            if (!seq.exec(QStringLiteral("SELECT GEN_ID(GEN_CONTAPAGAR, %1) FROM RDB$DATABASE")
                              .arg(issues.size())) ||
                !seq.next())
                throw EHostError(seq.lastError().text());
            int number = seq.value(0).toInt() - int(issues.size());
            Inserter conta(db, money("INSERT INTO CONTAPAGAR (NRCONTAPAGAR, CDEMPRESA, CDFILIAL, "
                                     "NRLANCTONF, CDIMPOSTONFE, CDFILIOPER, CDFORNECED, "
                                     "CDTIPOCONTAPAG, CDTIPOBAIXAPAG, CDTIPOOPERPAG, "
                                     "CDRECEGUIA, VRMULTAGUIA, VRJUROGUIA, VRCONTAPAGAR, "
                                     "DTVENCGUIA, STBARRAGUIA, STLINHADIGI, DSHISTGUIAPAGDOC) "
                                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, $, $, $, ?, ?, "
                                     "?, ?)"));
            Inserter mark(db, "UPDATE IMPOSTONF SET IDSTATUSGUIA = 'S', NRCONTAPAGAR = ?, "
                              "NRLANCTONFDARF = ? WHERE CDFILIAL = ? AND NRLANCTONF = ? AND "
                              "CDIMPOSTONFE = ?");
            for (const Issue& is : std::as_const(issues)) {
                ++number;
                const auto [barcode, line] = darfBarcode(is);
                conta({number, is.company, is.branch, is.entry, is.tax, is.branch, beneficiary,
                       "DARF", "BCO", "50", is.revenue, is.fine_c, is.interest_c,
                       is.tax_c + is.fine_c + is.interest_c, is.due, barcode, line, is.history});
                mark({number, Ajusta(QString::number(number), 10), is.branch, is.entry, is.tax});
            }
            summary.payables = int(issues.size());
        }

        if (!db.commit())
            throw EHostError(QStringLiteral("Não foi possível gravar os dados de demonstração: %1")
                                 .arg(db.lastError().text()));
    } catch (...) {
        db.rollback();
        throw;
    }
    summary.elapsedMs = timer.elapsed();
    return summary;
}

} // namespace FisDb
