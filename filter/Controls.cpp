// The dialog's controls and layout, its defaults, its keys, and cancelling.
#include "Cli_Fis98101.h"
#include "FiltroEmissaoDarfDoc.h"
#include "host/Components.h"
#include "host/FocusGroup.h"
#include "host/SearchButton.h"
#include "host/Zelkora.h"
#include "host/core/Services.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QStackedWidget>
#include <QVBoxLayout>

using namespace Cli_Fis98101;

namespace {

// Windows' info colour: the background of the fields to fill, and of a required registration.
const QColor clInfoBk(255, 255, 225);

void setBase(QWidget* w, const QColor& c) {
    QPalette pal = w->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        pal.setColor(group, QPalette::Base, c);
    w->setPalette(pal);
}

QColor windowColor() {
    return QApplication::palette().color(QPalette::Active, QPalette::Base);
}

QLineEdit* nameBox(QWidget* parent, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->setEnabled(false);
    e->setFocusPolicy(Qt::NoFocus);
    QPalette face = e->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        face.setColor(group, QPalette::Base, face.color(QPalette::Active, QPalette::Button));
    e->setPalette(face);
    return e;
}

TBtnPesquisa* searchButton(QWidget* parent, const char* name, QWidget* associate,
                           const QString& title, const QString& empty) {
    auto* b = new TBtnPesquisa(parent);
    b->setObjectName(QLatin1String(name));
    b->setToolTip(QStringLiteral("Pesquisar"));
    b->setAssociate(associate);
    b->setTitle(title);
    b->setEmptyError(empty);
    return b;
}

TMaskEdit* maskEdit(QWidget* parent, const char* name, int maxLength) {
    auto* e = new TMaskEdit(parent);
    e->setObjectName(QLatin1String(name));
    e->SetMaxLength(maxLength);
    return e;
}

// The dialog's week-day names, shown as the tip of a date edit.
QString diaDaSemana(const QDate& d) {
    static const char* const names[] = {"Domingo", "Segunda", "Terça", "Quarta",
                                        "Quinta",  "Sexta",   "Sábado"};
    return d.isValid() ? QString::fromUtf8(names[d.dayOfWeek() % 7]) : QString();
}

TDateEditPlus* dateEdit(QWidget* parent, const char* name) {
    auto* d = new TDateEditPlus(parent);
    d->setObjectName(QLatin1String(name));
    d->Edit()->setObjectName(QLatin1String(name) + QStringLiteral("Edit"));
    setBase(d->Edit(), clInfoBk);
    d->OnChange = [d] { d->Edit()->setToolTip(diaDaSemana(d->GetDate())); };
    return d;
}

} // namespace

struct TfrmFiltroEmissaodarfDoc::TSnapshot {
    struct Field {
        QString text, mask;
        bool enabled = false, required = false;
    };
    Field imposto, esta, muni, cliente, fornecedor;
    QString nmImposto, nmCliente, nmFornecedor, emptyEsta, emptyMuni;
    int entrSaid = 0, cnpj = 2;
    QString emiIni, emiFim, entIni, entFim;
    bool listaSerie = false, listaTipo = false, serieBtn = false, tipoBtn = false;
    QString codSerie, codTipoOper, entrsaid, inscricao;
};

TfrmFiltroEmissaodarfDoc::TfrmFiltroEmissaodarfDoc(QWidget* parent)
    : TfrmFiltroPadrao(parent), m_snapshot(std::make_unique<TSnapshot>()) {
    setObjectName(QStringLiteral("frmFiltroEmissaodarfDoc"));
    setWindowTitle(QString::fromUtf8("Filtro Emissão de Darf por Documento"));
    msgPadrao.setLines({
        QString::fromUtf8("Imp_Cad|Imposto não cadastrado."),
        QString::fromUtf8("Imp_Inf|Imposto deve ser informado."),
        QString::fromUtf8("Emp_Cad|Empresa não cadastrada."),
        QString::fromUtf8("Emp_Inf|Empresa deve ser informada."),
        QString::fromUtf8("InscEst_Cad|Inscrição Estadual não cadastrada."),
        QString::fromUtf8("InscMun_Cad|Inscrição Municipal não cadastrada."),
        QString::fromUtf8("DTINICIAL_INF|Data inicial de emissão deve ser informada."),
        QString::fromUtf8("DTFINAL_INF|Data final de emissão deve ser informada."),
        QString::fromUtf8("Dt_inv|Data final deve ser maior ou igual a data inicial."),
        QString::fromUtf8("DTINICIALENT_INF|Data inicial de entrada deve ser informada."),
        QString::fromUtf8("DTFINALENT_INF|Data final de entrada deve ser informada."),
        QString::fromUtf8("TipoOper|Tipo de Operação"),
        QString::fromUtf8("nao_ha_tipo|Não há tipo de operação cadastrado."),
        QString::fromUtf8("InscEsta_Cad|Inscrição Estadual não cadastrada."),
        QString::fromUtf8("InscMuni_Cad|Inscrição Municipal não cadastrada."),
        QString::fromUtf8("Serie|Série"),
        QString::fromUtf8("nao_ha_serie|Não há série cadastrada."),
        QString::fromUtf8("Serie_esta|Inscrição estadual deve ser informada."),
        QString::fromUtf8("Serie_muni|Inscrição municipal deve ser informada."),
        QString::fromUtf8("TipoOper_inf|Tipo de Operação deve ser informada."),
        QString::fromUtf8("Serie_inf|Série deve ser informada."),
        QString::fromUtf8("cliente_inf|Cliente deve ser informado."),
        QString::fromUtf8("fornecedor_inf|Fornecedor deve ser informado."),
        // The customer and supplier checks run on leaving their fields.
        QString::fromUtf8("Clie_Cad|Cliente não cadastrado."),
        QString::fromUtf8("Forn_Cad|Fornecedor não cadastrado."),
    });
    btfSaveOpc->setEnabled(false);
    btfLoadOpc->setEnabled(false);

    CreateControls();
    CreateLookups();
    CreatePickLists();

    // Enter confirms from any field, before the field itself sees the key.
    for (QWidget* w : findChildren<QWidget*>())
        w->installEventFilter(this);
}

TfrmFiltroEmissaodarfDoc::~TfrmFiltroEmissaodarfDoc() {
    if (frmFiltroEmissaodarfDoc == this)
        frmFiltroEmissaodarfDoc = nullptr;
}

void TfrmFiltroEmissaodarfDoc::CreateControls() {
    QWidget* g = grbFiltroPadrao;
    auto* root = new QVBoxLayout(g);

    // Tax, registrations and entry/exit.
    auto* top = new QGridLayout();
    top->setHorizontalSpacing(4);
    lblImposto = new QLabel(QStringLiteral("Imposto"), g);
    medCdImposto = maskEdit(g, "medCdImposto", 2);
    medCdImposto->SetEditMask(QStringLiteral("99;0; "));
    medCdImposto->setFixedWidth(
        medCdImposto->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 16);
    setBase(medCdImposto, clInfoBk);
    lblImposto->setBuddy(medCdImposto);
    btpImposto = searchButton(g, "btpImposto", medCdImposto, QStringLiteral("Imposto"),
                              QString::fromUtf8("Não há imposto cadastrado."));
    edtNmImposto = nameBox(g, "edtNmImposto");
    auto* impostoLine = new QHBoxLayout();
    impostoLine->setSpacing(2);
    impostoLine->addWidget(medCdImposto);
    impostoLine->addWidget(btpImposto);
    impostoLine->addWidget(edtNmImposto, 1);
    top->addWidget(lblImposto, 0, 0);
    top->addLayout(impostoLine, 1, 0);

    auto* lblEntrSaid = new QLabel(QString::fromUtf8("Entrada/Saída"), g);
    cbbEntrSaid = new QComboBox(g);
    cbbEntrSaid->setObjectName(QStringLiteral("cbbEntrSaid"));
    cbbEntrSaid->addItems(
        {QStringLiteral("Entrada"), QString::fromUtf8("Saída"), QStringLiteral("Todos")});
    lblEntrSaid->setBuddy(cbbEntrSaid);
    top->addWidget(lblEntrSaid, 0, 1);
    top->addWidget(cbbEntrSaid, 1, 1);

    auto registration = [g](QLabel*& label, TMaskEdit*& field, TBtnPesquisa*& button,
                            const char* caption, const char* fieldName, const char* buttonName,
                            const char* empty) {
        label = new QLabel(QString::fromUtf8(caption), g);
        field = maskEdit(g, fieldName, 16);
        label->setBuddy(field);
        button = searchButton(g, buttonName, field, QString::fromUtf8(caption),
                              QString::fromUtf8(empty));
        setBase(field, windowColor());
        for (QWidget* w : {static_cast<QWidget*>(label), static_cast<QWidget*>(field),
                           static_cast<QWidget*>(button)})
            w->setEnabled(false);
        auto* line = new QHBoxLayout();
        line->setSpacing(2);
        line->addWidget(field, 1);
        line->addWidget(button);
        return line;
    };
    top->addLayout(registration(lblInscEsta, medInscEsta, btpPesqInscEsta, "Inscrição Estadual",
                                "medInscEsta", "btpPesqInscEsta",
                                "Não há inscrição estadual cadastrada."),
                   3, 0);
    top->addWidget(lblInscEsta, 2, 0);
    top->addLayout(registration(lblInscMuni, medInscMuni, btpPesqInscMuni, "Inscrição Municipal",
                                "medInscMuni", "btpPesqInscMuni",
                                "Não há inscrição municipal cadastrada."),
                   3, 1);
    top->addWidget(lblInscMuni, 2, 1);
    lblInscEsta->setObjectName(QStringLiteral("lblInscEsta"));
    lblInscMuni->setObjectName(QStringLiteral("lblInscMuni"));
    top->setColumnStretch(0, 3);
    top->setColumnStretch(1, 2);
    root->addLayout(top);

    // Customer or supplier.
    grbCnpj = new QGroupBox(QString::fromUtf8("Destinatário/Emitente"), g);
    grbCnpj->setObjectName(QStringLiteral("grbCnpj"));
    auto* cnpjLay = new QHBoxLayout(grbCnpj);
    cbbCnpj = new QComboBox(grbCnpj);
    cbbCnpj->setObjectName(QStringLiteral("cbbCnpj"));
    cbbCnpj->addItems(
        {QStringLiteral("Cliente"), QStringLiteral("Fornecedor"), QStringLiteral("Todos")});
    nbkCliente = new QStackedWidget(grbCnpj);
    nbkCliente->setObjectName(QStringLiteral("nbkCliente"));
    auto page = [this](const char* name, TMaskEdit*& field, const char* fieldName,
                       TBtnPesquisa*& button, const char* buttonName, const char* title,
                       const char* empty, QLineEdit*& nameEdit, const char* nameName) {
        auto* p = new QWidget(nbkCliente);
        p->setObjectName(QLatin1String(name));
        auto* lay = new QHBoxLayout(p);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->setSpacing(2);
        auto* label = new QLabel(QString::fromUtf8("Inscrição"), p);
        field = maskEdit(p, fieldName, 20);
        field->setFixedWidth(
            field->fontMetrics().horizontalAdvance(QStringLiteral("00.000.000/0000-000")) + 12);
        label->setBuddy(field);
        button =
            searchButton(p, buttonName, field, QString::fromUtf8(title), QString::fromUtf8(empty));
        nameEdit = nameBox(p, nameName);
        lay->addWidget(label);
        lay->addWidget(field);
        lay->addWidget(button);
        lay->addWidget(nameEdit, 1);
        nbkCliente->addWidget(p);
    };
    page("pagCliente", medCliente, "medCliente", btpCliente, "btpCliente", "Cliente",
         "Não há cliente cadastrado.", edtNmCliente, "edtNmCliente");
    page("pagFornecedor", medFornecedor, "medFornecedor", btpFornecedor, "btpFornecedor",
         "Fornecedor", "Não há fornecedor cadastrado.", edtNmFornecedor, "edtNmFornecedor");
    page("pagTodos", medTodos, "medTodos", BtnPesquisa1, "BtnPesquisa1", "",
         "Não há fornecedor cadastrado.", edtTodos, "edtTodos");
    medTodos->SetText(QStringLiteral("Todos"));
    for (QWidget* w : {static_cast<QWidget*>(medTodos), static_cast<QWidget*>(BtnPesquisa1),
                       static_cast<QWidget*>(edtTodos)})
        w->setEnabled(false);
    cnpjLay->addWidget(cbbCnpj);
    cnpjLay->addWidget(nbkCliente, 1);
    root->addWidget(grbCnpj);

    // Date ranges.
    auto range = [g](const QString& caption, const char* objectName, TDateEditPlus*& from,
                     const char* fromName, TDateEditPlus*& to, const char* toName) {
        auto* box = new QGroupBox(caption, g);
        box->setObjectName(QLatin1String(objectName));
        auto* lay = new QGridLayout(box);
        from = dateEdit(box, fromName);
        to = dateEdit(box, toName);
        auto* l1 = new QLabel(QStringLiteral("Inicial"), box);
        auto* l2 = new QLabel(QStringLiteral("Final"), box);
        l1->setBuddy(from);
        l2->setBuddy(to);
        lay->addWidget(l1, 0, 0);
        lay->addWidget(l2, 0, 1);
        lay->addWidget(from, 1, 0);
        lay->addWidget(to, 1, 1);
        return box;
    };
    auto* dates = new QHBoxLayout();
    dates->addWidget(range(QString::fromUtf8("Data de Emissão"), "grbEmissao", depEmiIni,
                           "depEmiIni", depEmiFim, "depEmiFim"));
    dates->addWidget(range(QString::fromUtf8("Entrada/Saída"), "grbEntrada", depEntIni, "depEntIni",
                           depEntFim, "depEntFim"));
    root->addLayout(dates);

    // Series and operation types.
    auto mode = [g](const QString& caption, const char* objectName, QRadioButton*& all,
                    const char* allName, QRadioButton*& list, const char* listName,
                    TBtnPesquisa*& button, const char* buttonName, const QString& empty) {
        auto* box = new QGroupBox(caption, g);
        box->setObjectName(QLatin1String(objectName));
        auto* lay = new QHBoxLayout(box);
        all = new QRadioButton(QStringLiteral("Todos"), box);
        all->setObjectName(QLatin1String(allName));
        list = new QRadioButton(QStringLiteral("Lista"), box);
        list->setObjectName(QLatin1String(listName));
        all->setChecked(true);
        button = searchButton(box, buttonName, list, caption, empty);
        button->setEnabled(false);
        lay->addWidget(all);
        lay->addWidget(list);
        lay->addWidget(button);
        lay->addStretch(1);
        return box;
    };
    auto* modes = new QHBoxLayout();
    modes->addWidget(mode(QString::fromUtf8("Série"), "grbSerie", rdgTodosSerie, "rdgTodosSerie",
                          rdgListaSerie, "rdgListaSerie", btpPesqSerie, "btpPesqSerie",
                          QString::fromUtf8("Não há série cadastrada.")));
    modes->addWidget(mode(QString::fromUtf8("Tipo de Operação"), "grbTipoOperac",
                          rdgTodosTipoOperac, "rdgTodosTipoOperac", rdgListaTipoOperac,
                          "rdgListaTipoOperac", btpTipoOperac, "btpTipoOperac",
                          QString::fromUtf8("Não há tipo de operação cadastrado.")));
    root->addLayout(modes);
    root->addStretch(1);

    resize(600, 400);
}

void TfrmFiltroEmissaodarfDoc::FormCreate() {
    TfrmFiltroPadrao::FormCreate();
    cbbEntrSaid->setCurrentIndex(0);
    cbbCnpj->setCurrentIndex(2);
    nbkCliente->setCurrentIndex(2);
    const QDate proc = Zelkora::DataProc(Zelkora::FiliProc());
    depEmiIni->SetDate(PriDiaMes(proc));
    depEntIni->SetDate(PriDiaMes(proc));
    depEmiFim->SetDate(proc);
    depEntFim->SetDate(proc);
    TakeSnapshot();
}

void TfrmFiltroEmissaodarfDoc::FormActivate() {
    medCdImposto->setFocus(Qt::OtherFocusReason);
}

void TfrmFiltroEmissaodarfDoc::showEvent(QShowEvent* event) {
    TfrmFiltroPadrao::showEvent(event);
    FormActivate();
}

void TfrmFiltroEmissaodarfDoc::FormKeyDown(int key) {
    if (key == 13)
        sbtConfirma->Click();
}

bool TfrmFiltroEmissaodarfDoc::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        auto* w = qobject_cast<QWidget*>(watched);
        // Pop-ups (an open list, the calendar) keep their own Enter.
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && w &&
            w->window() == this) {
            FormKeyDown(13);
            return true;
        }
    }
    return TfrmFiltroPadrao::eventFilter(watched, event);
}

void TfrmFiltroEmissaodarfDoc::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        FormKeyDown(13);
        return;
    }
    TfrmFiltroPadrao::keyPressEvent(event);
}

void TfrmFiltroEmissaodarfDoc::reject() {
    RestoreSnapshot();
    TfrmFiltroPadrao::reject();
}

TFocusGroup* TfrmFiltroEmissaodarfDoc::watchExit(QWidget* w, std::function<void()> onExit) {
    auto* group = new TFocusGroup(w, this);
    group->OnExit = handler(std::move(onExit));
    return group;
}

void TfrmFiltroEmissaodarfDoc::TakeSnapshot() {
    TSnapshot& s = *m_snapshot;
    auto keep = [this](TSnapshot::Field& f, const TMaskEdit* e) {
        f = {e->Text(), e->EditMask(), e->isEnabled(), Obrigatorio(e)};
    };
    keep(s.imposto, medCdImposto);
    keep(s.esta, medInscEsta);
    keep(s.muni, medInscMuni);
    keep(s.cliente, medCliente);
    keep(s.fornecedor, medFornecedor);
    s.nmImposto = edtNmImposto->text();
    s.nmCliente = edtNmCliente->text();
    s.nmFornecedor = edtNmFornecedor->text();
    s.emptyEsta = btpPesqInscEsta->EmptyError();
    s.emptyMuni = btpPesqInscMuni->EmptyError();
    s.entrSaid = cbbEntrSaid->currentIndex();
    s.cnpj = cbbCnpj->currentIndex();
    s.emiIni = depEmiIni->Text();
    s.emiFim = depEmiFim->Text();
    s.entIni = depEntIni->Text();
    s.entFim = depEntFim->Text();
    s.listaSerie = rdgListaSerie->isChecked();
    s.listaTipo = rdgListaTipoOperac->isChecked();
    s.serieBtn = btpPesqSerie->isEnabled();
    s.tipoBtn = btpTipoOperac->isEnabled();
    s.codSerie = stCodSerie;
    s.codTipoOper = stCodTipoOper;
    s.entrsaid = stEntrsaid;
    s.inscricao = stInscricao;
}

void TfrmFiltroEmissaodarfDoc::RestoreSnapshot() {
    const TSnapshot& s = *m_snapshot;
    m_restoring = true;
    auto put = [this](const TSnapshot::Field& f, TMaskEdit* e) {
        e->SetEditMask(f.mask);
        e->SetText(f.text);
        SetObrigatorio(e, f.required);
    };
    put(s.imposto, medCdImposto);
    edtNmImposto->setText(s.nmImposto);
    put(s.esta, medInscEsta);
    enableInscricao(lblInscEsta, medInscEsta, btpPesqInscEsta, s.esta.enabled);
    put(s.muni, medInscMuni);
    enableInscricao(lblInscMuni, medInscMuni, btpPesqInscMuni, s.muni.enabled);
    btpPesqInscEsta->setEmptyError(s.emptyEsta);
    btpPesqInscMuni->setEmptyError(s.emptyMuni);
    cbbEntrSaid->setCurrentIndex(s.entrSaid);
    cbbCnpj->setCurrentIndex(s.cnpj);
    nbkCliente->setCurrentIndex(s.cnpj);
    put(s.cliente, medCliente);
    edtNmCliente->setText(s.nmCliente);
    put(s.fornecedor, medFornecedor);
    edtNmFornecedor->setText(s.nmFornecedor);
    depEmiIni->SetText(s.emiIni);
    depEmiFim->SetText(s.emiFim);
    depEntIni->SetText(s.entIni);
    depEntFim->SetText(s.entFim);
    (s.listaSerie ? rdgListaSerie : rdgTodosSerie)->setChecked(true);
    (s.listaTipo ? rdgListaTipoOperac : rdgTodosTipoOperac)->setChecked(true);
    btpPesqSerie->setEnabled(s.serieBtn);
    btpTipoOperac->setEnabled(s.tipoBtn);
    stCodSerie = s.codSerie;
    stCodTipoOper = s.codTipoOper;
    stEntrsaid = s.entrsaid;
    stInscricao = s.inscricao;
    m_restoring = false;
}

bool TfrmFiltroEmissaodarfDoc::Obrigatorio(const TMaskEdit* field) const {
    return field->palette().color(QPalette::Active, QPalette::Base) == clInfoBk;
}

void TfrmFiltroEmissaodarfDoc::SetObrigatorio(TMaskEdit* field, bool required) {
    setBase(field, required ? clInfoBk : windowColor());
}
