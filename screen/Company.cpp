// Company selection: the code box, its search button and name, the lookup query and the
// company check the other actions run first.
#include "Cli_Fis98100.h"
#include "ScreenParts.h"
#include "host/Components.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/HostGuard.h"
#include "host/Messages.h"
#include "host/Query.h"
#include "host/SearchButton.h"
#include "host/core/Services.h"

#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

const char* const kFocusReason = "fisFocusReason";
const char* const kFocusDance = "fisFocusDance";

// Remembers why the code box last gained or lost the focus. Its enter and exit rules belong to
// the clerk moving between controls of this screen; a dialog or another window taking the
// focus away (and giving it back) is not such a move, and reacting to it would open dialogs
// from inside dialogs.
class TFocusReasonFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
            watched->setProperty(kFocusReason, int(static_cast<QFocusEvent*>(event)->reason()));
        return false;
    }
};

bool isClerkMove(const QWidget* box) {
    if (!box->isVisible()) // hiding or destroying the screen moves the focus too
        return false;
    const int reason = box->property(kFocusReason).toInt();
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason;
}

// Steps 1 to 4 of leaving the code box: adjust, look up, refuse or show the name.
void lookUpCompany(TfrmEmissaoDarfDoc* f) {
    f->medCdEmpresa->SetText(Ajusta(f->medCdEmpresa->Text(), 2));
    f->qryEmpresa->Close();
    f->qryEmpresa->ParamByName(QStringLiteral("P_CDEMPRESA"))->setAsString(f->medCdEmpresa->Text());
    f->qryEmpresa->Open();
    if (f->qryEmpresa->IsEmpty()) {
        MensErro(f->msgPadrao.Msg(QStringLiteral("Empr_Cad")), false);
        f->medCdEmpresa->setFocus(Qt::OtherFocusReason);
        Abort();
    }
    f->edtNmEmpresa->setText(
        f->qryEmpresa->FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString());
}

} // namespace

namespace Worksheet {

void CreateCompanyControls(TfrmEmissaoDarfDoc* f) {
    f->qryEmpresa = new TADOIBQuery(f);
    f->qryEmpresa->setObjectName(QStringLiteral("qryEmpresa"));
    f->qryEmpresa->SQL_ORACLE = {
        QStringLiteral("SELECT CDEMPRESA, NMRAZSOCEMPR, "
                       "REPLACE(REPLACE(REPLACE(NRINSJUREMPR,'.',''),'/',''),'-','') AS "
                       "NRINSJUREMPR"),
        QStringLiteral("FROM EMPRESA"),
        QStringLiteral("WHERE (CDEMPRESA = NVL(:P_CDEMPRESA, CDEMPRESA))"),
        QStringLiteral("ORDER BY CDEMPRESA")};
    f->qryEmpresa->SQL_MSSQL = {
        QStringLiteral("SELECT CDEMPRESA, NMRAZSOCEMPR, "
                       "REPLACE(REPLACE(REPLACE(NRINSJUREMPR,'.',''),'/',''),'-','') AS "
                       "NRINSJUREMPR"),
        QStringLiteral("FROM EMPRESA"),
        QStringLiteral("WHERE (CDEMPRESA = ISNULL(:P_CDEMPRESA, CDEMPRESA))"),
        QStringLiteral("ORDER BY CDEMPRESA")};
    f->qryEmpresa->SQL_IB = {
        QStringLiteral("SELECT CDEMPRESA, NMRAZSOCEMPR, "
                       "REPLACE(REPLACE(REPLACE(NRINSJUREMPR,'.',''),'/',''),'-','') AS "
                       "NRINSJUREMPR"),
        QStringLiteral("  FROM EMPRESA, PARAM(:P_CDEMPRESA) P_CDEMPRESA"),
        QStringLiteral(" WHERE (CDEMPRESA = NVLSTR(P_CDEMPRESA.PARAM, CDEMPRESA))"),
        QStringLiteral(" ORDER BY CDEMPRESA")};
    f->qryEmpresa->AddField(QStringLiteral("CDEMPRESA"), TFieldType::String, 2)
        ->setDisplayLabel(QString::fromUtf8("Código"));
    f->qryEmpresa->AddField(QStringLiteral("NMRAZSOCEMPR"), TFieldType::String, 80)
        ->setDisplayLabel(QString::fromUtf8("Razão Social"));
    f->qryEmpresa->AddField(QStringLiteral("NRINSJUREMPR"), TFieldType::String, 20)
        ->setVisible(false);
    f->dtsEmpresa = new TDataSource(f);
    f->dtsEmpresa->setObjectName(QStringLiteral("dtsEmpresa"));
    f->dtsEmpresa->setDataSet(f->qryEmpresa);

    f->panEmpresa = new QWidget(f->grbDadosRel);
    f->panEmpresa->setObjectName(QStringLiteral("panEmpresa"));
    auto* col = new QVBoxLayout(f->panEmpresa);
    col->setContentsMargins(0, 0, 0, 0);
    f->lblEmpresa = new QLabel(QStringLiteral("Empresa"), f->panEmpresa);
    f->lblEmpresa->setObjectName(QStringLiteral("lblEmpresa"));
    QFont bold = f->lblEmpresa->font();
    bold.setBold(true);
    f->lblEmpresa->setFont(bold);
    col->addWidget(f->lblEmpresa);

    auto* line = new QHBoxLayout();
    line->setSpacing(2);
    f->medCdEmpresa = new TMaskEdit(f->panEmpresa);
    f->medCdEmpresa->setObjectName(QStringLiteral("medCdEmpresa"));
    f->medCdEmpresa->SetEditMask(QStringLiteral("99;0; "));
    f->medCdEmpresa->SetMaxLength(2);
    QPalette pal = f->medCdEmpresa->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    f->medCdEmpresa->setPalette(pal);
    f->medCdEmpresa->setFixedWidth(
        f->medCdEmpresa->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 16);
    f->lblEmpresa->setBuddy(f->medCdEmpresa);
    f->medCdEmpresa->installEventFilter(new TFocusReasonFilter(f->medCdEmpresa));

    f->btnPesqEmpresa = new TBtnPesquisa(f->panEmpresa);
    f->btnPesqEmpresa->setObjectName(QStringLiteral("btnPesqEmpresa"));
    f->btnPesqEmpresa->setToolTip(QStringLiteral("Pesquisar"));
    f->btnPesqEmpresa->setAssociate(f->medCdEmpresa);
    f->btnPesqEmpresa->setDataSource(f->dtsEmpresa);
    f->btnPesqEmpresa->setTitle(QStringLiteral("Empresa"));
    f->btnPesqEmpresa->setEmptyError(QString::fromUtf8("Não há empresa cadastrada"));

    f->edtNmEmpresa = new QLineEdit(f->panEmpresa);
    f->edtNmEmpresa->setObjectName(QStringLiteral("edtNmEmpresa"));
    f->edtNmEmpresa->setEnabled(false);
    f->edtNmEmpresa->setFixedWidth(376);
    QPalette face = f->edtNmEmpresa->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        face.setColor(group, QPalette::Base, face.color(QPalette::Active, QPalette::Button));
    f->edtNmEmpresa->setPalette(face);

    line->addWidget(f->medCdEmpresa);
    line->addWidget(f->btnPesqEmpresa);
    line->addWidget(f->edtNmEmpresa);
    line->addStretch(1);
    col->addLayout(line);
    if (auto* grbLay = qobject_cast<QHBoxLayout*>(f->grbDadosRel->layout())) {
        grbLay->addSpacing(12);
        grbLay->addWidget(f->panEmpresa, 1);
    }
    QWidget::setTabOrder(f->cbbReportNames, f->medCdEmpresa);
    QWidget::setTabOrder(f->medCdEmpresa, f->btnPesqEmpresa);

    f->btnPesqEmpresa->OnBeforePesq = [f] { f->btnPesqEmpresaBeforePesq(); };
    f->btnPesqEmpresa->OnAfterPesq = [f] { f->btnPesqEmpresaAfterPesq(); };
    TMaskEdit* box = f->medCdEmpresa;
    box->OnChange = [f] { f->medCdEmpresaChange(); };
    box->OnEnter = [f, box] {
        if (isClerkMove(box))
            f->medCdEmpresaEnter();
    };
    box->OnExit = [f, box] {
        if (isClerkMove(box) && !box->property(kFocusDance).toBool())
            f->medCdEmpresaExit();
    };
}

void TrackFocusReason(QWidget* w) {
    w->installEventFilter(new TFocusReasonFilter(w));
}

bool IsClerkMove(const QWidget* w) {
    return isClerkMove(w);
}

bool InFocusDance(const TfrmEmissaoDarfDoc* f) {
    return f->medCdEmpresa->property(kFocusDance).toBool();
}

} // namespace Worksheet

void TfrmEmissaoDarfDoc::btnPesqEmpresaBeforePesq() {
    qryEmpresa->Close();
    qryEmpresa->ParamByName(QStringLiteral("P_CDEMPRESA"))->Clear();
    qryEmpresa->Open();
}

void TfrmEmissaoDarfDoc::btnPesqEmpresaAfterPesq() {
    medCdEmpresa->SetText(qryEmpresa->FieldByName(QStringLiteral("CDEMPRESA"))->AsString());
    edtNmEmpresa->setText(qryEmpresa->FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString());
}

void TfrmEmissaoDarfDoc::medCdEmpresaChange() {
    edtNmEmpresa->clear();
    // The box can keep the focus across a dialog or a window switch, so its enter rule has not
    // run: notes of one company must never show under another's code.
    dropNotesOfAnotherCompany();
}

void TfrmEmissaoDarfDoc::medCdEmpresaEnter() {
    if (!cdsNotaFiscal->Active())
        cdsNotaFiscal->CreateDataSet();
    // Emptying drops a pending edit unsaved: leave the note first as moving off it does, so a
    // changed note is saved. Entered after a failed company check, its save would fail the
    // same check (and land here again): drop it.
    const TDataSetState st = cdsNotaFiscal->State();
    if (st == dsEdit || st == dsInsert) {
        if (cdsNotaFiscal->Modified() && !medCdEmpresa->property(kFocusDance).toBool())
            cdsNotaFiscal->Post();
        else
            cdsNotaFiscal->Cancel();
    }
    cdsNotaFiscal->EmptyDataSet();
    // Emptying keeps the dataset's state, so the commands and menus would not hear of it.
    dtsPadraoStateChange();
    if (sbtProcurar)
        sbtProcurar->setEnabled(false);
    if (sbtVerificar)
        sbtVerificar->setEnabled(false);
}

void TfrmEmissaoDarfDoc::medCdEmpresaExit() {
    lookUpCompany(this);
}

void TfrmEmissaoDarfDoc::Vd_Empresa(bool obrigatorio) {
    try {
        edtNmEmpresa->clear();
        if (EmptyString(medCdEmpresa->Text())) {
            if (!obrigatorio)
                return;
            MensErro(msgPadrao.Msg(QStringLiteral("Empr_Inf")), false);
            medCdEmpresa->setFocus(Qt::OtherFocusReason);
            Abort();
        }
        lookUpCompany(this);
    } catch (...) {
        // Leave the box and enter it again, so that its enter rule runs whatever had the focus;
        // leaving it this way is not the clerk's exit and looks nothing up a second time.
        medCdEmpresa->setProperty(kFocusDance, true);
        withRestore(
            [&] {
                cbbReportNames->setFocus(Qt::OtherFocusReason);
                medCdEmpresa->setFocus(Qt::OtherFocusReason);
            },
            [&] { medCdEmpresa->setProperty(kFocusDance, false); });
        throw;
    }
}
