#include "Cli_Fis98100.h"

#include "host/Connection.h"
#include "host/DataSet.h"
#include "host/HostApplication.h"
#include "host/HostGuard.h"
#include "host/Zelkora.h"
#include "host/core/Services.h"
#include "protocol/MethodTable.h"

#include <QVBoxLayout>

namespace Cli_Fis98100 {

TfrmEmissaoDarfDoc* frmEmissaoDarfDoc = nullptr;
bool boIdCriado = false;
QString stGuiaEmit;
QString stChecked;
bool boEntra = false;
QString stRegistro;

void CriaEmissaoDarfDoc() {
    THostApplication& app = Application();
    app.SetScreenCursor(crHourGlass);
    withRestore(
        [&] {
            if (!boIdCriado) {
                auto* form = CreateForm<TfrmEmissaoDarfDoc>();
                app.AddChild(form); // the host application owns the screen from here on
                frmEmissaoDarfDoc = form;
                boIdCriado = true;
            }
            THostApplication::ShowMaximized(frmEmissaoDarfDoc);
        },
        [&] { app.SetScreenCursor(crDefault); });
}

} // namespace Cli_Fis98100

using namespace Cli_Fis98100;

TfrmEmissaoDarfDoc::TfrmEmissaoDarfDoc(QWidget* parent) : TfrmDadosGerRel(parent) {
    setObjectName(QStringLiteral("frmEmissaoDarfDoc"));
    setWindowTitle(QStringLiteral("Emissão da Darf por Documento"));
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint | Qt::WindowSystemMenuHint);
    resize(1046, 440);
    SetScreenCode(QStringLiteral("FIS98100"));
    SetReportCode(QStringLiteral("FIS981"));

    msgPadrao.addLines({
        QStringLiteral("Empr_Cad|Empresa não cadastrada."),
        QStringLiteral("Empr_Inf|Empresa deve ser informada."),
        QStringLiteral("Dt_Nula|Não é uma data válida."),
        QStringLiteral("Nota_Inf|Pelo menos uma nota deve ser selecionada."),
        QStringLiteral("Venc_Inf|Vencimento deve ser informado."),
        QStringLiteral("CONTAPAGAR_OK|A guia será emitida."),
        QStringLiteral("ERRO_BENEFICIARIO|Para gerar a guia do imposto deve-se relacionar o "
                       "beneficiário, o tipo de conta a pagar e o tipo de baixa a pagar ao "
                       "imposto e parametrizar o tipo de operação para gerar a conta à pagar na "
                       "tela \"Parâmetros de Fiscal\" ."),
        QStringLiteral("EMIT|Documento já foi emitido. É possível apenas visualizar o relatório."),
        QStringLiteral("cod_rece|Código da Receita deve ser informado."),
        QStringLiteral("Cod_Inv|Código da Receita deve ser parametrizado para o imposto no Menu  "
                       "-> Tabelas/ Código da Receita."),
    });

    netEmissaoDarfDoc = new TNetConnection(this);
    netEmissaoDarfDoc->setObjectName(QStringLiteral("netEmissaoDarfDoc"));
    netEmissaoDarfDoc->setServerName(QString::fromLatin1(FisProtocol::ObjectName));
    netEmissaoDarfDoc->setThrowException(false);
    // Emitted synchronously inside setConnected(true): the host and port are set before the
    // socket connects, from the configuration as it is at that moment.
    guardedConnect(netEmissaoDarfDoc, &TSocketConnection::beforeConnect, this,
                   [this] { netEmissaoDarfDocBeforeConnect(); });

    Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1Layout = new QVBoxLayout(Panel1);
    Panel1Layout->setContentsMargins(0, 0, 0, 0);
    ClientLayout()->addWidget(Panel1, 1);

    CreateWorksheet();
}

TfrmEmissaoDarfDoc::~TfrmEmissaoDarfDoc() {
    if (frmEmissaoDarfDoc == this) {
        frmEmissaoDarfDoc = nullptr;
        boIdCriado = false;
    }
}

void TfrmEmissaoDarfDoc::FormCreate() {
    TfrmDadosGerRel::FormCreate();
    netEmissaoDarfDoc->setConnected(true);
    boEntra = true;
    if (cdsNotaFiscal) {
        cdsNotaFiscal->Close();
        if (TField* f = cdsNotaFiscal->FindField(QStringLiteral("DTVENCGUIA")))
            f->setEditMask(DateMask());
    }
}

void TfrmEmissaoDarfDoc::netEmissaoDarfDocBeforeConnect() {
    netEmissaoDarfDoc->setHost(Zelkora::WebURL());
    netEmissaoDarfDoc->setPort(Zelkora::WebPort());
    // How long the screen waits for a server host that does not answer ([Server]
    // ConnectTimeout, seconds); the connection's own default otherwise.
    bool ok = false;
    const double seconds = Zelkora::IniValue(QStringLiteral("Server/ConnectTimeout")).toDouble(&ok);
    netEmissaoDarfDoc->setConnectTimeoutMs(ok && seconds > 0 && seconds <= 300 ? int(seconds * 1000)
                                                                               : 0);
}

void TfrmEmissaoDarfDoc::FormActivate() {
    TfrmDadosGerRel::FormActivate();
    repaint();
    if (boEntra)
        boEntra = false;
    dtsPadraoStateChange();
}

void TfrmEmissaoDarfDoc::FormClose(TCloseAction& action) {
    TfrmDadosGerRel::FormClose(action);
    netEmissaoDarfDoc->setConnected(false);
}
