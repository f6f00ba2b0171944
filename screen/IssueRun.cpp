// The issue run (print), preview, and the report's query parameters: one payable per ticked
// note on the server, the server's answer shown, the DARF printed per accepted note.
#include "Cli_Fis98100.h"
#include "contracts/Fis98100Contracts.h"
#include "host/BusyIndicator.h"
#include "host/Components.h"
#include "host/Connection.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/HostDialogs.h"
#include "host/Messages.h"
#include "host/Query.h"
#include "host/Zelkora.h"
#include "host/core/HostExceptions.h"
#include "host/core/Services.h"
#include "host/report/ReportDesignerDialog.h"
#include "issuing/DarfBarcode.h"
#include "issuing/ReportImage.h"
#include "protocol/Records.h"

#include <QCborArray>
#include <optional>
#include <utility>

using namespace Cli_Fis98100;

namespace {

TClientDataSet* datasetOf(QObject* owner, const char* name, const QList<TPacketField>& fields) {
    auto* ds = new TClientDataSet(owner);
    ds->setObjectName(QLatin1String(name));
    for (const TPacketField& d : fields)
        ds->AddField(d.name, d.type, d.size);
    return ds;
}

std::optional<double> optFloat(const TField* f) {
    return f->IsNull() ? std::nullopt : std::optional<double>(f->AsFloat());
}

// Fine and interest are stored to the centavo, and the server checks the total against what it
// stores: each is rounded before it joins the total and the barcode.
std::optional<double> optCentavos(const TField* f) {
    return f->IsNull() ? std::nullopt : std::optional<double>(RoundDec(f->AsFloat(), 2));
}

// What setDarfDoc stores for a note, besides its key and tax.
QVariantList serverGuideOf(const TDataSet* ds) {
    QVariantList out;
    for (const char* name : {"IDSTATUSGUIA", "VRMULTAGUIA", "VRJUROGUIA", "DTVENCGUIA",
                             "DSHISTGUIAPAGDOC", "NRLANCTONFDARF", "CDRECEGUIA"})
        out.append(ds->FieldByName(QLatin1String(name))->Text());
    return out;
}

QString noteKey(const TDataSet* ds) {
    return ds->FieldByName(QStringLiteral("CDFILIAL"))->AsString() + QLatin1Char('|') +
           ds->FieldByName(QStringLiteral("NRLANCTONF"))->AsString();
}

} // namespace

void TfrmEmissaoDarfDoc::CreateIssueRun() {
    cdsContaPagar = datasetOf(this, "cdsContaPagar", FisProtocol::contaPagarFields());
    for (const char* name : {"CDFILIAL", "NRLANCTONF", "CDDESTEMIT", "CDFILIOPER"})
        cdsContaPagar->FieldByName(QLatin1String(name))->setVisible(false);
    cdsResult = datasetOf(this, "cdsResult", FisProtocol::resultFields());
    cdsResult->AddIndex(QStringLiteral("idxResultado"), QStringLiteral("IDTPRESULT"));
    cdsResult->setIndexName(QStringLiteral("idxResultado"));
    cdsParamFiscal = datasetOf(this, "cdsParamFiscal", FisProtocol::paramFiscalFields());
    rpddPadrao->BeforeGetQueryParams = [this](const QList<TParam*>& params, bool& flag) {
        rpddPadraoBeforeGetQueryParams(params, flag);
    };
    // Loaded notes hold what the server holds; a stored note holds what it sent.
    auto opened = cdsNotaFiscal->AfterOpen;
    cdsNotaFiscal->AfterOpen = [this, opened](TDataSet* ds) {
        if (opened)
            opened(ds);
        rememberServerGuide();
    };
    auto posted = cdsNotaFiscal->AfterPost;
    cdsNotaFiscal->AfterPost = [this, posted](TDataSet* ds) {
        const bool stores = m_storeGuide && cdsNotaFiscal->ChangeCount() > 0;
        if (posted)
            posted(ds);
        if (stores)
            m_serverGuide.insert(noteKey(ds), serverGuideOf(ds));
    };
}

void TfrmEmissaoDarfDoc::rememberServerGuide() {
    m_serverGuide.clear();
    const TDataSet::TBookmark mark = cdsNotaFiscal->GetBookmark();
    cdsNotaFiscal->DisableControls();
    auto after = std::exchange(cdsNotaFiscal->AfterScroll, nullptr);
    for (cdsNotaFiscal->First(); !cdsNotaFiscal->Eof(); cdsNotaFiscal->Next())
        m_serverGuide.insert(noteKey(cdsNotaFiscal), serverGuideOf(cdsNotaFiscal));
    if (mark && cdsNotaFiscal->BookmarkValid(mark))
        cdsNotaFiscal->GotoBookmark(mark);
    else
        cdsNotaFiscal->First();
    cdsNotaFiscal->AfterScroll = after;
    cdsNotaFiscal->EnableControls();
}

void TfrmEmissaoDarfDoc::sbtPreviewClick(QObject* Sender) {
    Vd_Empresa(true);
    Vd_CodRece();
    TfrmDadosGerRel::sbtPreviewClick(Sender);
}

TDarfBarcode TfrmEmissaoDarfDoc::composeBarra(const QString& registration) const {
    auto field = [this](const char* name) {
        return cdsNotaFiscal->FieldByName(QLatin1String(name));
    };
    auto param = [this](const char* name) {
        return cdsParamFiscal->FieldByName(QLatin1String(name))->AsDateTime().date();
    };
    TDarfInput in;
    in.VRIMPOSTONF = optFloat(field("VRIMPOSTONF"));
    in.VRJUROGUIA = optCentavos(field("VRJUROGUIA"));
    in.VRMULTAGUIA = optCentavos(field("VRMULTAGUIA"));
    in.DTVENCGUIA = field("DTVENCGUIA")->AsDateTime().date();
    in.DTENTRSAID = field("DTENTRSAID")->AsDateTime().date();
    in.CDRECEGUIA = field("CDRECEGUIA")->Text();
    in.DTREFPAGDARF = param("DTREFPAGDARF");
    in.DTREFVENCDARF = param("DTREFVENCDARF");
    in.NRINSJUREMPR = registration;
    return MontaBarraDarf(in);
}

bool TfrmEmissaoDarfDoc::checkTickedNotes(const QString& registration, qint64& remembered) {
    auto field = [this](const char* name) {
        return cdsNotaFiscal->FieldByName(QLatin1String(name));
    };
    bool ticked = false;
    for (cdsNotaFiscal->First(); !cdsNotaFiscal->Eof(); cdsNotaFiscal->Next()) {
        if (field("IDCHECK")->AsString() != QLatin1String("C"))
            continue;
        ticked = true;
        remembered = cdsNotaFiscal->GetBookmark();
        if (EmptyString(field("DTVENCGUIA")->Text())) {
            DeactiveShowAvi();
            dbgPadrao->setFocus(Qt::OtherFocusReason);
            dbgPadrao->setSelectedIndex(IndiceCol(dbgPadrao, QStringLiteral("DTVENCGUIA")));
            field("DTVENCGUIA")->FocusControl();
            MensErro(msgPadrao.Msg(QStringLiteral("Venc_Inf")), true);
        }
        if (field("CDRECEGUIA")->Text().isEmpty()) {
            DeactiveShowAvi();
            field("CDRECEGUIA")->FocusControl();
            MensErro(msgPadrao.Msg(QStringLiteral("cod_rece")), true);
        }
        try {
            composeBarra(registration);
        } catch (const EHostError& e) {
            DeactiveShowAvi();
            MensErro(e.text(), true);
        }
    }
    remembered = 0;
    return ticked;
}

void TfrmEmissaoDarfDoc::appendContaPagar(const TDarfBarcode& barra) {
    auto field = [this](const char* name) {
        return cdsNotaFiscal->FieldByName(QLatin1String(name));
    };
    auto pay = [this](const char* name) { return cdsContaPagar->FieldByName(QLatin1String(name)); };
    if (!cdsContaPagar->Active())
        cdsContaPagar->CreateDataSet();
    cdsContaPagar->Append();
    for (const char* name : {"CDFILIAL", "NRLANCTONF", "IDSTATUSGUIA", "CDINSCESTA", "CDINSCMUNI",
                             "NRNOTAFISC", "CDFILIOPER"})
        pay(name)->setAsString(field(name)->AsString());
    pay("VRMULTAGUIA")->setAsFloat(RoundDec(field("VRMULTAGUIA")->AsFloat(), 2));
    pay("VRJUROGUIA")->setAsFloat(RoundDec(field("VRJUROGUIA")->AsFloat(), 2));
    pay("DTVENCGUIA")->setValue(field("DTVENCGUIA")->Value());
    pay("VRNOTAFISC")->setAsFloat(field("VRNOTAFISC")->AsFloat());
    pay("VRIMPOSTONF")
        ->setAsFloat(RoundDec(field("VRIMPOSTONF")->AsFloat() + pay("VRJUROGUIA")->AsFloat() +
                                  pay("VRMULTAGUIA")->AsFloat(),
                              2));
    pay("CDRECEITAGNRE")->setAsString(field("CDRECEGUIA")->AsString());
    pay("DTVENCGNRE")->setValue(field("DTVENCGUIA")->Value());
    pay("IDENTRSAIDOP")->setAsString(field("IDENTRSAIDOP")->AsString().left(1));
    pay("IDCHECK")->setAsString(field("IDCHECK")->AsString());
    pay("CDSERIEENTR")->setAsString(field("CDSERIE")->AsString());
    pay("STLINHADIGI")->setAsString(barra.STLINHADIGI);
    pay("STBARRAGUIA")->setAsString(barra.STBARRAGUIA);
    cdsContaPagar->Post();
}

void TfrmEmissaoDarfDoc::issueNote(const TDarfBarcode& barra) {
    appendContaPagar(barra);
    QString imposto = RecordFilter.stImposto, barraRef = barra.STBARRAGUIA,
            linhaRef = barra.STLINHADIGI;
    const TDataPacket packet = cdsContaPagar->GetData();
    cdsContaPagar->Close();
    const QCborValue payload = CheckResultServ(
        GeraContaPagar(*netEmissaoDarfDoc, medCdEmpresa->Text(), imposto, packet, barraRef,
                       linhaRef,
                       cdsNotaFiscal->FieldByName(QStringLiteral("DSHISTGUIAPAGDOC"))->Text()),
        true, 0);
    if (payload.isString()) {
        DeactiveShowAvi();
        MensErro(payload.toString(), true);
    }
    const QCborArray answer = payload.toArray();
    cdsResult->SetData(answer.at(0));
    stGuiaEmit = answer.at(1).toString();
    stChecked = answer.at(2).toString();
}

void TfrmEmissaoDarfDoc::refreshKeepingRow() {
    const TDataSet::TBookmark mark = cdsNotaFiscal->GetBookmark();
    cdsNotaFiscal->DisableControls();
    try {
        sbtVerificarClick(sbtVerificar);
    } catch (...) {
        cdsNotaFiscal->EnableControls();
        throw;
    }
    cdsNotaFiscal->EnableControls();
    if (mark && cdsNotaFiscal->BookmarkValid(mark))
        cdsNotaFiscal->GotoBookmark(mark);
    cdsNotaFiscal->FreeBookmark(mark);
}

void TfrmEmissaoDarfDoc::sbtPrintClick(QObject* Sender) {
    Vd_Empresa(true);
    Vd_CodRece();
    stGuiaEmit.clear();
    stChecked = QStringLiteral("U");
    TDataSet::TBookmark remembered = 0;
    int disabled = 0;
    int issued = 0;
    try {
        ActiveShowAvi(this, 1);
        cdsParamFiscal->SetData(CheckResultServ(GetParamFiscal(*netEmissaoDarfDoc), true, 0));
        medCdEmpresa->SetText(Ajusta(medCdEmpresa->Text(), 2));
        qryEmpresa->Close();
        qryEmpresa->ParamByName(QStringLiteral("P_CDEMPRESA"))->setAsString(medCdEmpresa->Text());
        qryEmpresa->Open();
        const QString registration =
            Ajusta(qryEmpresa->FieldByName(QStringLiteral("NRINSJUREMPR"))->AsString(), 14);

        cdsNotaFiscal->DisableControls();
        ++disabled;
        // Every ticked note is checked, and where its DARF goes is settled, before the first
        // payable: a refusal later in the run would leave issued guides never printed.
        const bool ticked = checkTickedNotes(registration, remembered);
        if (ticked) {
            DeactiveShowAvi();
            if (!BeginPrintRun())
                throw EAbort();
            ActiveShowAvi(this, 1);
        }

        bool aviShown = true;
        for (cdsNotaFiscal->First(); !cdsNotaFiscal->Eof(); cdsNotaFiscal->Next()) {
            if (cdsNotaFiscal->FieldByName(QStringLiteral("IDCHECK"))->AsString() !=
                QLatin1String("C"))
                continue;
            remembered = cdsNotaFiscal->GetBookmark();
            issueNote(composeBarra(registration));
            if (std::exchange(aviShown, false))
                DeactiveShowAvi();
            // The answer's rows come ordered by idxResultado: an error before any message.
            cdsResult->First();
            const QString kind =
                cdsResult->IsEmpty()
                    ? QString()
                    : cdsResult->FieldByName(QStringLiteral("CDRESULT"))->AsString();
            const QString key =
                cdsResult->IsEmpty()
                    ? QString()
                    : cdsResult->FieldByName(QStringLiteral("DSRESULT"))->AsString();
            if (kind == QLatin1String("MSG")) {
                ++issued;
                msgPadrao.ShowMsg(key, TMsgDlgType::Information, mbOK);
                TfrmDadosGerRel::sbtPrintClick(Sender);
            } else if (kind == QLatin1String("ERR")) {
                cdsNotaFiscal->setFiltered(false);
                MensErro(msgPadrao.Msg(key), true);
            }
        }
        if (remembered)
            cdsNotaFiscal->GotoBookmark(remembered);
        cdsNotaFiscal->EnableControls();
        --disabled;
        cdsNotaFiscal->setFiltered(false);
        if (!ticked && !cdsNotaFiscal->IsEmpty())
            MensErro(msgPadrao.Msg(QStringLiteral("Nota_Inf")), true);
    } catch (...) {
        DeactiveShowAvi();
        EndPrintRun();
        if (cdsNotaFiscal->Active() && cdsNotaFiscal->State() == dsEdit)
            cdsNotaFiscal->Cancel();
        if (remembered && cdsNotaFiscal->BookmarkValid(remembered))
            cdsNotaFiscal->GotoBookmark(remembered);
        while (disabled-- > 0)
            cdsNotaFiscal->EnableControls();
        // The worksheet shows the statuses the server now holds, even after an early end.
        if (issued > 0) {
            try {
                refreshKeepingRow();
            } catch (...) {
            }
        }
        throw;
    }
    EndPrintRun();
    refreshKeepingRow();
}

void TfrmEmissaoDarfDoc::rpddPadraoBeforeGetQueryParams(const QList<TParam*>& Params, bool&) {
    auto field = [this](const char* name) {
        return cdsNotaFiscal->FieldByName(QLatin1String(name));
    };
    auto text = [&](const char* name) { return field(name)->Text(); };
    if (!cdsNotaFiscal->Active())
        cdsNotaFiscal->CreateDataSet();
    const TDataSet::TBookmark mark = cdsNotaFiscal->GetBookmark();
    cdsNotaFiscal->DisableControls();
    QString notas = QStringLiteral("_");
    bool disabled = true;
    auto back = [&] {
        disabled = false;
        cdsNotaFiscal->EnableControls();
        if (mark && cdsNotaFiscal->BookmarkValid(mark))
            cdsNotaFiscal->GotoBookmark(mark);
        cdsNotaFiscal->FreeBookmark(mark);
    };
    try {
        for (cdsNotaFiscal->First(); !cdsNotaFiscal->Eof(); cdsNotaFiscal->Next()) {
            if (field("IDCHECK")->AsString() != QLatin1String("C"))
                continue;
            notas +=
                text("CDFILIAL") + text("NRLANCTONF") + text("IDSTATUSGUIA") + QLatin1Char('_');
            if (EmptyString(text("DTVENCGUIA"))) {
                dbgPadrao->setFocus(Qt::OtherFocusReason);
                dbgPadrao->setSelectedIndex(IndiceCol(dbgPadrao, QStringLiteral("DTVENCGUIA")));
                back();
                field("DTVENCGUIA")->FocusControl();
                MensErro(msgPadrao.Msg(QStringLiteral("Venc_Inf")), true);
            }
            if (text("CDRECEGUIA").isEmpty()) {
                back();
                field("CDRECEGUIA")->FocusControl();
                MensErro(msgPadrao.Msg(QStringLiteral("cod_rece")), true);
            }
            // Storing a note the server already holds as it is changes nothing there; skipping
            // it keeps a run of N prints at N stores instead of N squared.
            const QString key = noteKey(cdsNotaFiscal);
            const QVariantList guide = serverGuideOf(cdsNotaFiscal);
            if (m_serverGuide.value(key) == guide)
                continue;
            ActiveShowAvi(this, 1);
            try {
                CheckResultServ(setDarfDoc(*netEmissaoDarfDoc, text("CDFILIAL"), text("NRLANCTONF"),
                                           RecordFilter.stImposto, text("IDSTATUSGUIA"),
                                           field("VRMULTAGUIA")->AsFloat(),
                                           field("VRJUROGUIA")->AsFloat(), text("DTVENCGUIA"),
                                           text("DSHISTGUIAPAGDOC"), text("NRLANCTONFDARF"),
                                           text("CDRECEGUIA")),
                                true, 0);
            } catch (...) {
                DeactiveShowAvi();
                throw;
            }
            DeactiveShowAvi();
            m_serverGuide.insert(key, guide);
            if (cdsNotaFiscal->LogChanges())
                cdsNotaFiscal->MergeChangeLog();
        }
        cdsNotaFiscal->First();
    } catch (...) {
        if (disabled)
            cdsNotaFiscal->EnableControls();
        throw;
    }
    back();
    if (!cdsNotaFiscal->IsEmpty() && notas == QLatin1String("_"))
        MensErro(msgPadrao.Msg(QStringLiteral("Nota_Inf")), true);

    if (!stGuiaEmit.isEmpty())
        notas = stGuiaEmit;
    const QString current[] = {text("CDFILIAL"), text("NRLANCTONF")};
    const QList<QPair<const char*, QVariant>> values = {
        {"P_CDIMPOSTO", RecordFilter.stImposto},
        {"P_CDEMPRESA", medCdEmpresa->Text()},
        {"P_CDFILIAL", current[0]},
        {"P_NRLANCTONF", current[1]},
        {"P_CDINSCESTA", RecordFilter.stInscEsta},
        {"P_CDINSCMUNI", RecordFilter.stInscMuni},
        {"P_CDSERIE", RecordFilter.stSerie},
        {"P_CDTIPOOPER", RecordFilter.stTipoOper},
        {"P_IDENTRSAIDOP", int(RecordFilter.inEntrSaid)},
        {"P_INSCRICAO", RecordFilter.stInscEsta},
        {"P_NOTAS", notas},
        {"P_IMAGEM", ReportImagePath(rpddPadrao->ReportDir())},
    };
    for (const auto& [name, value] : values)
        if (ExistParam(Params, QLatin1String(name)))
            ReportParamByName(Params, QLatin1String(name))->setValue(value);
    stGuiaEmit.clear();
}
