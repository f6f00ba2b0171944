// The dialog's lookups on the host database, its search buttons, the checks of single fields
// and the registration rules.
#include "Cli_Fis98101.h"
#include "FilterTarget.h"
#include "FiltroEmissaoDarfDoc.h"
#include "host/Components.h"
#include "host/DataSet.h"
#include "host/FocusGroup.h"
#include "host/HostGuard.h"
#include "host/Messages.h"
#include "host/Query.h"
#include "host/SearchButton.h"
#include "host/core/Services.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QStackedWidget>

using namespace Cli_Fis98101;

namespace {

TADOIBQuery* query(QObject* owner, const char* name, TDataSource*& source, const char* sourceName) {
    auto* q = new TADOIBQuery(owner);
    q->setObjectName(QLatin1String(name));
    source = new TDataSource(owner);
    source->setObjectName(QLatin1String(sourceName));
    source->setDataSet(q);
    return q;
}

TField* field(TDataSet* ds, const char* name, int size, const char* label = nullptr,
              bool visible = true) {
    TField* f = ds->AddField(QLatin1String(name), TFieldType::String, size);
    if (label)
        f->setDisplayLabel(QString::fromUtf8(label));
    f->setVisible(visible);
    return f;
}

QStringList lines(const char* text) {
    return QString::fromUtf8(text).split(QLatin1Char('\n'));
}

// A registration as the tables keep it: digits only.
QString Ajusta_Inscricao(const QString& text) {
    QString out;
    for (QChar c : text)
        if (c.unicode() >= '0' && c.unicode() <= '9')
            out += c;
    return out;
}

const int kPartyLength = 20;

// Back to a plain box of 20 characters, keeping what it holds (a mask formats a registration
// once it is known; the clerk types without one).
void unmask(TMaskEdit* e) {
    if (e->EditMask().isEmpty())
        return;
    const QString digits = e->Text();
    e->SetEditMask(QString());
    e->SetMaxLength(kPartyLength);
    e->SetText(digits);
}

void reopen(TADOIBQuery* q, std::initializer_list<std::pair<const char*, QString>> params) {
    q->Close();
    for (const auto& [name, value] : params)
        q->ParamByName(QLatin1String(name))->setAsString(value);
    q->Open();
}

} // namespace

void TfrmFiltroEmissaodarfDoc::CreateLookups() {
    qryImposto = query(this, "qryImposto", dtsImposto, "dtsImposto");
    qryImposto->SQL_ORACLE = lines("SELECT CDIMPOSTONFE, SGIMPOSTONFE\n"
                                   "  FROM IMPOSTONFE\n"
                                   " WHERE (CDIMPOSTONFE = :P_CDIMPOSTO OR :P_CDIMPOSTO = 'T')\n"
                                   "   AND IDORGARRECADNFE = 'F'\n"
                                   "   AND CDIMPOSTONFE NOT IN ('41','42')\n"
                                   " ORDER BY CDIMPOSTONFE");
    qryImposto->SQL_MSSQL = qryImposto->SQL_ORACLE;
    qryImposto->SQL_IB =
        lines("SELECT CDIMPOSTONFE, SGIMPOSTONFE\n"
              "  FROM IMPOSTONFE, PARAM(:P_CDIMPOSTO)P_CDIMPOSTO\n"
              " WHERE ((CDIMPOSTONFE  = P_CDIMPOSTO.PARAM) OR (P_CDIMPOSTO.PARAM = 'T'))\n"
              "   AND IDORGARRECADNFE = 'F'\n"
              "   AND CDIMPOSTONFE NOT IN ('41','42')\n"
              " ORDER BY CDIMPOSTONFE");
    field(qryImposto, "CDIMPOSTONFE", 2, "Código");
    field(qryImposto, "SGIMPOSTONFE", 10, "Sigla");

    qryVdImposto = query(this, "qryVdImposto", dtsVdImposto, "dtsVdImposto");
    qryVdImposto->SQL_ORACLE = lines("SELECT IDORGARRECADNFE\n"
                                     "  FROM IMPOSTONFE\n"
                                     "WHERE (CDIMPOSTONFE = :P_CDIMPOSTO)\n"
                                     "ORDER BY CDIMPOSTONFE");
    qryVdImposto->SQL_MSSQL = qryVdImposto->SQL_ORACLE;
    qryVdImposto->SQL_IB = lines("SELECT IDORGARRECADNFE\n"
                                 "  FROM IMPOSTONFE, PARAM(:P_CDIMPOSTO) P_CDIMPOSTO\n"
                                 "WHERE (CDIMPOSTONFE = P_CDIMPOSTO.PARAM)\n"
                                 "ORDER BY CDIMPOSTONFE");
    field(qryVdImposto, "IDORGARRECADNFE", 1);

    // Every dialect restricts the state registrations to the company.
    qryInscEsta = query(this, "qryInscEsta", dstInscEsta, "dstInscEsta");
    qryInscEsta->SQL_ORACLE = lines("SELECT\n"
                                    "   CDINSCESTA, CDEMPRESA, SGESTADO\n"
                                    "FROM\n"
                                    "   INSCRESTAD\n"
                                    "WHERE\n"
                                    "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                    "   CDINSCESTA = NVL(:P_CDINSCESTA, CDINSCESTA)\n"
                                    "ORDER BY CDINSCESTA");
    qryInscEsta->SQL_MSSQL = lines("SELECT\n"
                                   "   CDINSCESTA, CDEMPRESA, SGESTADO\n"
                                   "FROM\n"
                                   "   INSCRESTAD\n"
                                   "WHERE\n"
                                   "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                   "   CDINSCESTA = ISNULL(:P_CDINSCESTA, CDINSCESTA)\n"
                                   "ORDER BY\n"
                                   "   1");
    qryInscEsta->SQL_IB = lines("SELECT\n"
                                "   CDINSCESTA, CDEMPRESA, SGESTADO\n"
                                "FROM\n"
                                "   INSCRESTAD, PARAM(:P_CDINSCESTA) P_CDINSCESTA\n"
                                "WHERE\n"
                                "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                "   CDINSCESTA = NVLSTR(P_CDINSCESTA.PARAM, CDINSCESTA)\n"
                                "ORDER BY\n"
                                "   1");
    field(qryInscEsta, "CDINSCESTA", 16, "Inscrição");
    field(qryInscEsta, "CDEMPRESA", 2, nullptr, false);
    field(qryInscEsta, "SGESTADO", 2, "Estado");

    qryInscMuni = query(this, "qryInscMuni", dtsInscMuni, "dtsInscMuni");
    qryInscMuni->SQL = lines("SELECT CDINSCMUNI\n"
                             "  FROM INSCRMUNICIP\n"
                             "WHERE (CDEMPRESA  = :P_CDEMPRESA) AND\n"
                             "               (CDINSCMUNI = :P_CDINSCMUNI OR :P_TCDINSCMUNI = 'T')\n"
                             "ORDER BY CDINSCMUNI");
    qryInscMuni->SQL_ORACLE = lines("SELECT\n"
                                    "   CDINSCMUNI, CDEMPRESA\n"
                                    "FROM\n"
                                    "   INSCRMUNICIP\n"
                                    "WHERE\n"
                                    "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                    "   CDINSCMUNI = NVL(:P_CDINSCMUNI, CDINSCMUNI)\n"
                                    "ORDER BY CDINSCMUNI");
    qryInscMuni->SQL_MSSQL = lines("SELECT\n"
                                   "   CDINSCMUNI, CDEMPRESA\n"
                                   "FROM\n"
                                   "   INSCRMUNICIP\n"
                                   "WHERE\n"
                                   "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                   "   CDINSCMUNI = ISNULL(:P_CDINSCMUNI, CDINSCMUNI)\n"
                                   "ORDER BY CDINSCMUNI");
    qryInscMuni->SQL_IB = lines("SELECT\n"
                                "   CDINSCMUNI,  CDEMPRESA\n"
                                "FROM\n"
                                "   INSCRMUNICIP, PARAM(:P_CDINSCMUNI)  P_CDINSCMUNI\n"
                                "WHERE\n"
                                "   CDEMPRESA  = :P_CDEMPRESA AND\n"
                                "   CDINSCMUNI = NVLSTR(P_CDINSCMUNI.PARAM, CDINSCMUNI)\n"
                                "ORDER BY CDINSCMUNI");
    field(qryInscMuni, "CDINSCMUNI", 16, "Código")->setDisplayWidth(25);
    field(qryInscMuni, "CDEMPRESA", 2, nullptr, false);

    qryCliente = query(this, "qryCliente", dtsCliente, "dtsCliente");
    qryCliente->SQL_ORACLE = lines("SELECT CDCLIENTE, IDTPIJURCLIE,\n"
                                   "       NRINSJURCLIE, NMRAZSOCCLIE\n"
                                   "  FROM CLIENTE\n"
                                   " WHERE NRINSJURCLIE = NVL(:P_NRINSJURCLIE, NRINSJURCLIE)\n"
                                   " ORDER BY NRINSJURCLIE");
    qryCliente->SQL_MSSQL = lines("SELECT CDCLIENTE, IDTPIJURCLIE,\n"
                                  "       NRINSJURCLIE, NMRAZSOCCLIE\n"
                                  "  FROM CLIENTE\n"
                                  " WHERE NRINSJURCLIE = ISNULL(:P_NRINSJURCLIE, NRINSJURCLIE)\n"
                                  " ORDER BY NRINSJURCLIE");
    qryCliente->SQL_IB = lines("SELECT CDCLIENTE, IDTPIJURCLIE,\n"
                               "       NRINSJURCLIE, NMRAZSOCCLIE\n"
                               "  FROM CLIENTE, PARAM(:P_NRINSJURCLIE) P_NRINSJURCLIE\n"
                               " WHERE NRINSJURCLIE = NVLSTR(P_NRINSJURCLIE.PARAM, NRINSJURCLIE)\n"
                               " ORDER BY NRINSJURCLIE");
    field(qryCliente, "CDCLIENTE", 21, nullptr, false);
    field(qryCliente, "IDTPIJURCLIE", 1, nullptr, false);
    field(qryCliente, "NRINSJURCLIE", 20, "Inscrição");
    field(qryCliente, "NMRAZSOCCLIE", 50, "Razão Social");

    qryFornecedor = query(this, "qryFornecedor", dtsFornecedor, "dtsFornecedor");
    qryFornecedor->SQL_ORACLE = lines("SELECT\n"
                                      "   CDFORNECED,\n"
                                      "   IDTPIJURFORN,\n"
                                      "   NRINSJURFORN,\n"
                                      "   NMRAZSOCFORN\n"
                                      "FROM\n"
                                      "   FORNECEDOR\n"
                                      "WHERE\n"
                                      "   (NRINSJURFORN = NVL(:P_NRINSJURFORN, NRINSJURFORN))\n"
                                      "ORDER BY\n"
                                      "   NRINSJURFORN");
    qryFornecedor->SQL_MSSQL = lines("SELECT\n"
                                     "   CDFORNECED,\n"
                                     "   IDTPIJURFORN,\n"
                                     "   NRINSJURFORN,\n"
                                     "   NMRAZSOCFORN\n"
                                     "FROM\n"
                                     "   FORNECEDOR\n"
                                     "WHERE\n"
                                     "   (NRINSJURFORN = ISNULL(:P_NRINSJURFORN, NRINSJURFORN))\n"
                                     "ORDER BY\n"
                                     "   NRINSJURFORN");
    qryFornecedor->SQL_IB = lines("SELECT\n"
                                  "   CDFORNECED,\n"
                                  "   IDTPIJURFORN,\n"
                                  "   NRINSJURFORN,\n"
                                  "   NMRAZSOCFORN\n"
                                  "FROM\n"
                                  "   FORNECEDOR, PARAM(:P_NRINSJURFORN) P_NRINSJURFORN\n"
                                  "WHERE\n"
                                  "   (NRINSJURFORN = NVLSTR(P_NRINSJURFORN.PARAM, NRINSJURFORN))\n"
                                  "ORDER BY\n"
                                  "   NRINSJURFORN");
    field(qryFornecedor, "CDFORNECED", 21, nullptr, false);
    field(qryFornecedor, "IDTPIJURFORN", 1, nullptr, false);
    field(qryFornecedor, "NRINSJURFORN", 20, "Inscrição")->setDisplayWidth(30);
    field(qryFornecedor, "NMRAZSOCFORN", 40, "Razão Social");

    btpImposto->setDataSource(dtsImposto);
    btpPesqInscEsta->setDataSource(dstInscEsta);
    btpPesqInscMuni->setDataSource(dtsInscMuni);
    btpCliente->setDataSource(dtsCliente);
    btpFornecedor->setDataSource(dtsFornecedor);
    btpImposto->OnBeforePesq = [this] { btpImpostoBeforePesq(); };
    btpImposto->OnAfterPesq = [this] { btpImpostoAfterPesq(); };
    btpPesqInscEsta->OnBeforePesq = [this] { btpPesqInscEstaBeforePesq(); };
    btpPesqInscEsta->OnAfterPesq = [this] { btpPesqInscEstaAfterPesq(); };
    btpPesqInscMuni->OnBeforePesq = [this] { btpPesqInscMuniBeforePesq(); };
    btpPesqInscMuni->OnAfterPesq = [this] { btpPesqInscMuniAfterPesq(); };
    btpCliente->OnBeforePesq = [this] { btpClienteBeforePesq(); };
    btpCliente->OnAfterPesq = [this] { btpClienteAfterPesq(); };
    btpFornecedor->OnBeforePesq = [this] { btpFornecedorBeforePesq(); };
    btpFornecedor->OnAfterPesq = [this] { btpFornecedorAfterPesq(); };

    medCdImposto->OnChange = handler([this] { medCdImpostoChange(); });
    medCliente->OnChange = handler([this] { edtNmCliente->clear(); });
    medFornecedor->OnChange = handler([this] { edtNmFornecedor->clear(); });
    connect(cbbEntrSaid, &QComboBox::currentIndexChanged, this,
            [f = handler([this] { cbbEntrSaidChange(); })](int) { HostGuard::run(f); });
    connect(cbbCnpj, &QComboBox::currentIndexChanged, this,
            [f = handler([this] { cbbCnpjChange(); })](int) { HostGuard::run(f); });

    watchExit(medCdImposto, [this] { medCdImpostoExit(); });
    watchExit(medInscEsta, [this] { medInscEstaExit(); });
    watchExit(medInscMuni, [this] { medInscMuniExit(); });
    // In the field the clerk types digits; leaving it formats a known registration.
    auto plainWhileTyping = [](TMaskEdit* box, QLineEdit* name) {
        return [box, name] {
            const QString shown = name->text();
            unmask(box);
            name->setText(shown);
        };
    };
    watchExit(medCliente, [this] { Vd_Cliente(); })->OnEnter =
        plainWhileTyping(medCliente, edtNmCliente);
    watchExit(medFornecedor, [this] { Vd_Fornecedor(); })->OnEnter =
        plainWhileTyping(medFornecedor, edtNmFornecedor);
    watchExit(depEmiIni, [this] { depEmiIniExit(); });
    watchExit(depEmiFim, [this] { depEmiFimExit(); });
    watchExit(depEntIni, [this] { depEntIniExit(); });
    watchExit(depEntFim, [this] { depEntFimExit(); });
}

// ---- tax ----

void TfrmFiltroEmissaodarfDoc::medCdImpostoChange() {
    edtNmImposto->clear();
}

void TfrmFiltroEmissaodarfDoc::medCdImpostoExit() {
    Vd_Imposto(false);
    if (qryImposto->Active() && !qryImposto->IsEmpty()) {
        medCdImposto->SetText(qryImposto->FieldByName(QStringLiteral("CDIMPOSTONFE"))->AsString());
        edtNmImposto->setText(qryImposto->FieldByName(QStringLiteral("SGIMPOSTONFE"))->AsString());
    }
}

void TfrmFiltroEmissaodarfDoc::btpImpostoBeforePesq() {
    reopen(qryImposto, {{"P_CDIMPOSTO", QStringLiteral("T")}});
}

void TfrmFiltroEmissaodarfDoc::btpImpostoAfterPesq() {
    medCdImposto->SetText(qryImposto->FieldByName(QStringLiteral("CDIMPOSTONFE"))->AsString());
    edtNmImposto->setText(qryImposto->FieldByName(QStringLiteral("SGIMPOSTONFE"))->AsString());
    Vd_Imposto(false);
}

void TfrmFiltroEmissaodarfDoc::Vd_Imposto(bool obrigatorio) {
    if (!EmptyString(medCdImposto->Text())) {
        medCdImposto->SetText(Ajusta(medCdImposto->Text(), 2));
        reopen(qryImposto, {{"P_CDIMPOSTO", medCdImposto->Text()}});
        if (qryImposto->IsEmpty()) {
            medCdImposto->setFocus(Qt::OtherFocusReason);
            MensErro(msgPadrao.Msg(QStringLiteral("Imp_Cad")), true);
        }
        medCdImposto->SetText(qryImposto->FieldByName(QStringLiteral("CDIMPOSTONFE"))->AsString());
    }
    if (obrigatorio && EmptyString(medCdImposto->Text())) {
        medCdImposto->setFocus(Qt::OtherFocusReason);
        MensErro(msgPadrao.Msg(QStringLiteral("Imp_Inf")), true);
    }
    reopen(qryVdImposto, {{"P_CDIMPOSTO", medCdImposto->Text()}});
    RegrasInscricao(qryVdImposto->IsEmpty()
                        ? QString()
                        : qryVdImposto->FieldByName(QStringLiteral("IDORGARRECADNFE"))->AsString());
}

// ---- registrations ----

void TfrmFiltroEmissaodarfDoc::enableInscricao(QLabel* label, TMaskEdit* field,
                                               TBtnPesquisa* button, bool on) {
    label->setEnabled(on);
    field->setEnabled(on);
    button->setEnabled(on);
}

void TfrmFiltroEmissaodarfDoc::RegrasInscricao(const QString& orgao) {
    const bool lista = cbbEntrSaid->currentIndex() != 0 && rdgListaSerie->isChecked();
    auto esta = [this](bool on) { enableInscricao(lblInscEsta, medInscEsta, btpPesqInscEsta, on); };
    auto muni = [this](bool on) { enableInscricao(lblInscMuni, medInscMuni, btpPesqInscMuni, on); };
    const QString semEsta =
        QString::fromUtf8("Não há Inscrição Estadual cadastrada para a Empresa informada");
    const QString semMuni =
        QString::fromUtf8("Não há Inscrição Municipal cadastrada para a Empresa informada");
    if (orgao == QLatin1String("E")) {
        esta(true);
        if (lista) {
            SetObrigatorio(medInscEsta, true);
            muni(true);
            SetObrigatorio(medInscMuni, true);
        } else {
            SetObrigatorio(medInscEsta, false);
            btpPesqInscEsta->setEmptyError(semEsta);
            muni(false);
            medInscMuni->clear();
            SetObrigatorio(medInscMuni, false);
        }
    } else if (orgao == QLatin1String("M")) {
        if (lista) {
            esta(true);
            SetObrigatorio(medInscEsta, true);
            muni(true);
        } else {
            esta(false);
            medInscEsta->clear();
            muni(true);
            btpPesqInscMuni->setEmptyError(semMuni);
        }
    } else if (orgao == QLatin1String("F") || orgao.isEmpty()) {
        if (lista) {
            esta(true);
            SetObrigatorio(medInscEsta, true);
            muni(true);
            SetObrigatorio(medInscMuni, true);
        } else {
            esta(false);
            medInscEsta->clear();
            SetObrigatorio(medInscEsta, false);
            muni(false);
            medInscMuni->clear();
            SetObrigatorio(medInscMuni, false);
            btpPesqInscMuni->setEmptyError(semMuni);
        }
    }
}

void TfrmFiltroEmissaodarfDoc::Vd_InscEsta() {
    if (EmptyString(medInscEsta->Text()))
        return;
    try {
        reopen(qryInscEsta, {{"P_CDINSCESTA", medInscEsta->Text()},
                             {"P_CDEMPRESA", FilterTarget().FilterCompanyCode()}});
        if (qryInscEsta->IsEmpty())
            MensErro(msgPadrao.Msg(QStringLiteral("InscEsta_Cad")), true);
    } catch (...) {
        medInscEsta->setFocus(Qt::OtherFocusReason);
        throw;
    }
}

void TfrmFiltroEmissaodarfDoc::Vd_InscMuni() {
    if (EmptyString(medInscMuni->Text()))
        return;
    try {
        reopen(qryInscMuni, {{"P_CDINSCMUNI", medInscMuni->Text()},
                             {"P_CDEMPRESA", FilterTarget().FilterCompanyCode()}});
        if (qryInscMuni->IsEmpty())
            MensErro(msgPadrao.Msg(QStringLiteral("InscMuni_Cad")), true);
    } catch (...) {
        medInscMuni->setFocus(Qt::OtherFocusReason);
        throw;
    }
}

void TfrmFiltroEmissaodarfDoc::medInscEstaExit() {
    Vd_InscEsta();
}

void TfrmFiltroEmissaodarfDoc::medInscMuniExit() {
    Vd_InscMuni();
}

void TfrmFiltroEmissaodarfDoc::btpPesqInscEstaBeforePesq() {
    qryInscEsta->Close();
    qryInscEsta->ParamByName(QStringLiteral("P_CDEMPRESA"))
        ->setAsString(FilterTarget().FilterCompanyCode());
    qryInscEsta->ParamByName(QStringLiteral("P_CDINSCESTA"))->Clear();
    qryInscEsta->Open();
}

void TfrmFiltroEmissaodarfDoc::btpPesqInscEstaAfterPesq() {
    medInscEsta->SetText(qryInscEsta->FieldByName(QStringLiteral("CDINSCESTA"))->AsString());
}

void TfrmFiltroEmissaodarfDoc::btpPesqInscMuniBeforePesq() {
    reopen(qryInscMuni, {{"P_CDEMPRESA", FilterTarget().FilterCompanyCode()},
                         {"P_CDINSCMUNI", medInscMuni->Text()}});
}

void TfrmFiltroEmissaodarfDoc::btpPesqInscMuniAfterPesq() {
    medInscMuni->SetText(qryInscMuni->FieldByName(QStringLiteral("CDINSCMUNI"))->AsString());
}

void TfrmFiltroEmissaodarfDoc::cbbEntrSaidChange() {
    stEntrsaid = EntrSaidFlag(cbbEntrSaid->currentIndex());
    Vd_Imposto(false);
}

// ---- dates ----

namespace {

void checkPair(const TMessages& msg, TDateEditPlus* from, TDateEditPlus* to, const char* fromKey,
               const char* toKey) {
    for (TDateEditPlus* d : {from, to}) {
        try {
            d->CheckValidDate();
        } catch (...) {
            d->setFocus(Qt::OtherFocusReason);
            throw;
        }
    }
    if (from->IsBlank()) {
        from->setFocus(Qt::OtherFocusReason);
        MensErro(msg.Msg(QLatin1String(fromKey)), true);
    }
    if (to->IsBlank()) {
        to->setFocus(Qt::OtherFocusReason);
        MensErro(msg.Msg(QLatin1String(toKey)), true);
    }
}

} // namespace

void TfrmFiltroEmissaodarfDoc::Vd_DataEmissao() {
    checkPair(msgPadrao, depEmiIni, depEmiFim, "DTINICIAL_INF", "DTFINAL_INF");
}

void TfrmFiltroEmissaodarfDoc::Vd_DataEntrada() {
    checkPair(msgPadrao, depEntIni, depEntFim, "DTINICIALENT_INF", "DTFINALENT_INF");
}

void TfrmFiltroEmissaodarfDoc::depEmiIniExit() {
    Vd_DataEmissao();
}

void TfrmFiltroEmissaodarfDoc::depEmiFimExit() {
    Vd_DataEmissao();
}

void TfrmFiltroEmissaodarfDoc::depEntIniExit() {
    Vd_DataEntrada();
}

void TfrmFiltroEmissaodarfDoc::depEntFimExit() {
    Vd_DataEntrada();
}

// ---- customer or supplier ----

void TfrmFiltroEmissaodarfDoc::cbbCnpjChange() {
    for (TMaskEdit* e : {medCliente, medFornecedor}) {
        e->SetEditMask(QString());
        e->SetMaxLength(kPartyLength);
        e->clear();
    }
    const int page = cbbCnpj->currentIndex();
    nbkCliente->setCurrentIndex(page);
    if (page == 0)
        medCliente->setFocus(Qt::OtherFocusReason);
    else if (page == 1)
        medFornecedor->setFocus(Qt::OtherFocusReason);
}

namespace {

// Looks a customer or supplier registration up and shows it formatted for its person type, with
// the name; refuses one the table does not hold.
void checkParty(TMaskEdit* box, QLineEdit* nameBox, TADOIBQuery* q, const char* param,
                const char* typeField, const char* nameField, const QString& notFound) {
    if (EmptyString(box->Text())) {
        nameBox->clear();
        return;
    }
    try {
        stInscricao = box->Text();
        const QString digits = Ajusta_Inscricao(box->Text());
        box->SetText(digits);
        reopen(q, {{param, digits}});
        if (q->IsEmpty())
            MensErro(notFound, true);
        box->SetEditMask(PictPess(q->FieldByName(QLatin1String(typeField))->AsString()));
        box->SetText(digits);
        nameBox->setText(q->FieldByName(QLatin1String(nameField))->AsString());
    } catch (...) {
        box->setFocus(Qt::OtherFocusReason);
        throw;
    }
}

} // namespace

void TfrmFiltroEmissaodarfDoc::Vd_Cliente() {
    checkParty(medCliente, edtNmCliente, qryCliente, "P_NRINSJURCLIE", "IDTPIJURCLIE",
               "NMRAZSOCCLIE", msgPadrao.Msg(QStringLiteral("Clie_Cad")));
}

void TfrmFiltroEmissaodarfDoc::Vd_Fornecedor() {
    checkParty(medFornecedor, edtNmFornecedor, qryFornecedor, "P_NRINSJURFORN", "IDTPIJURFORN",
               "NMRAZSOCFORN", msgPadrao.Msg(QStringLiteral("Forn_Cad")));
}

void TfrmFiltroEmissaodarfDoc::btpClienteBeforePesq() {
    reopen(qryCliente, {{"P_NRINSJURCLIE", QString()}});
}

void TfrmFiltroEmissaodarfDoc::btpClienteAfterPesq() {
    unmask(medCliente);
    medCliente->SetText(qryCliente->FieldByName(QStringLiteral("NRINSJURCLIE"))->AsString());
    edtNmCliente->setText(qryCliente->FieldByName(QStringLiteral("NMRAZSOCCLIE"))->AsString());
}

void TfrmFiltroEmissaodarfDoc::btpFornecedorBeforePesq() {
    reopen(qryFornecedor, {{"P_NRINSJURFORN", QString()}});
}

void TfrmFiltroEmissaodarfDoc::btpFornecedorAfterPesq() {
    unmask(medFornecedor);
    medFornecedor->SetText(qryFornecedor->FieldByName(QStringLiteral("NRINSJURFORN"))->AsString());
    edtNmFornecedor->setText(
        qryFornecedor->FieldByName(QStringLiteral("NMRAZSOCFORN"))->AsString());
}
