#include "BaseForms.h"

#include "HostDialogs.h"
#include "HostGuard.h"
#include "Zelkora.h"
#include "core/HostExceptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPrinter>
#include <QPrinterInfo>
#include <QRadioButton>
#include <QSaveFile>
#include <QUrl>
#include <QVBoxLayout>
#include <utility>

QString Format(const QString& text, const QStringList& args) {
    QString out;
    int next = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('%') && i + 1 < text.size()) {
            const QChar k = text.at(i + 1);
            if (k == QLatin1Char('s') || k == QLatin1Char('d')) {
                out += args.value(next++);
                ++i;
                continue;
            }
            if (k == QLatin1Char('%')) {
                out += QLatin1Char('%');
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QStringList TfrmDadosGerRel::BaseMessages() {
    return {
        QStringLiteral("Arq_Rel_Err|O arquivo contendo a definição do relatório de código '%s' "
                       "não foi encontrado no diretório '%s'."),
        QStringLiteral("NovoCaption|Título do relatório"),
        QStringLiteral("NovoPrompt|Informe o título do relatório:"),
        QStringLiteral("VD_TRAD|Validando tradução de relatórios"),
    };
}

TfrmDadosGerRel::TfrmDadosGerRel(QWidget* parent) : QWidget(parent) {
    msgPadrao.setLines(BaseMessages());
    rpddPadrao = new TReportDesignerDialog(this);
    rpddPadrao->setObjectName(QStringLiteral("rpddPadrao"));
    rpddPadrao->setMessages(&msgPadrao);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    panTopo = new QWidget(this);
    panTopo->setObjectName(QStringLiteral("panTopo"));
    auto* topLay = new QHBoxLayout(panTopo);
    topLay->setContentsMargins(2, 2, 2, 2);
    panBotoes = new QWidget(panTopo);
    panBotoes->setObjectName(QStringLiteral("panBotoes"));
    m_barLayout = new QHBoxLayout(panBotoes);
    m_barLayout->setContentsMargins(0, 0, 0, 0);
    m_barLayout->setSpacing(2);
    auto addButton = [&](TButtonFlat*& b, const char* name, const QString& caption,
                         const QString& hint, QStyle::StandardPixmap icon) {
        b = new TButtonFlat(caption, hint, panBotoes);
        b->setObjectName(QLatin1String(name));
        b->setIcon(style()->standardIcon(icon));
        m_barLayout->addWidget(b);
    };
    addButton(sbtPrint, "sbtPrint", QStringLiteral("Imprimir"), QStringLiteral("Imprimir"),
              QStyle::SP_DialogApplyButton);
    addButton(sbtPreview, "sbtPreview", QStringLiteral("Visualizar"),
              QStringLiteral("Visualizar Impressão"), QStyle::SP_FileDialogContentsView);
    addButton(sbtConfigImpr, "sbtConfigImpr", QStringLiteral("Impressora"),
              QStringLiteral("Configurar Impressora"), QStyle::SP_ComputerIcon);
    addButton(sbtSalvarComo, "sbtSalvarComo", QStringLiteral("Salvar Como"),
              QStringLiteral("Salvar Como"), QStyle::SP_DialogSaveButton);
    addButton(sbtReportEdit, "sbtReportEdit", QStringLiteral("Editar"),
              QStringLiteral("Editar Relatório"), QStyle::SP_FileDialogDetailedView);
    addButton(sbtCancel, "sbtCancel", QStringLiteral("Fechar"), QStringLiteral("Fechar"),
              QStyle::SP_DialogCloseButton);
    topLay->addWidget(panBotoes);
    topLay->addStretch(1);
    lblReportCode = new QLabel(panTopo);
    lblReportCode->setObjectName(QStringLiteral("lblReportCode"));
    lblScreenCode = new QLabel(panTopo);
    lblScreenCode->setObjectName(QStringLiteral("lblScreenCode"));
    topLay->addWidget(lblReportCode);
    topLay->addSpacing(8);
    topLay->addWidget(lblScreenCode);
    root->addWidget(panTopo);

    grbDadosRel = new QGroupBox(this);
    grbDadosRel->setObjectName(QStringLiteral("grbDadosRel"));
    grbDadosRel->setFixedHeight(76);
    auto* grbLay = new QHBoxLayout(grbDadosRel);
    grbLay->setContentsMargins(6, 4, 6, 4);
    panReport = new QWidget(grbDadosRel);
    panReport->setObjectName(QStringLiteral("panReport"));
    auto* repLay = new QVBoxLayout(panReport);
    repLay->setContentsMargins(0, 0, 0, 0);
    auto* lbl = new QLabel(QStringLiteral("Relatório"), panReport);
    cbbReportNames = new QComboBox(panReport);
    cbbReportNames->setObjectName(QStringLiteral("cbbReportNames"));
    cbbReportNames->setMinimumWidth(160);
    lbl->setBuddy(cbbReportNames);
    repLay->addWidget(lbl);
    repLay->addWidget(cbbReportNames);
    grbLay->addWidget(panReport);
    root->addWidget(grbDadosRel);

    m_clientLayout = new QVBoxLayout();
    m_clientLayout->setContentsMargins(0, 0, 0, 0);
    root->addLayout(m_clientLayout, 1);

    mnuMenu = new QMenuBar(this);
    mnuMenu->setObjectName(QStringLiteral("mnuMenu"));
    mnuMenu->setNativeMenuBar(false);
    mnuMenu->hide();

    sbtPrint->OnClick = [this] { sbtPrintClick(sbtPrint); };
    sbtPreview->OnClick = [this] { sbtPreviewClick(sbtPreview); };
    sbtConfigImpr->OnClick = [this] { sbtConfigImprClick(sbtConfigImpr); };
    sbtSalvarComo->OnClick = [this] { sbtSalvarComoClick(sbtSalvarComo); };
    sbtReportEdit->OnClick = [this] { sbtReportEditClick(sbtReportEdit); };
    sbtCancel->OnClick = [this] { sbtCancelClick(sbtCancel); };
}

TfrmDadosGerRel::~TfrmDadosGerRel() = default;

void TfrmDadosGerRel::AfterConstruction() {
    if (m_created)
        return;
    m_created = true;
    CreateBarButtons();
    FormCreate();
}

void TfrmDadosGerRel::SetReportCode(const QString& code) {
    m_reportCode = code;
    lblReportCode->setText(code);
    rpddPadrao->setReportCode(code);
}

void TfrmDadosGerRel::SetScreenCode(const QString& code) {
    m_screenCode = code;
    lblScreenCode->setText(code);
}

void TfrmDadosGerRel::FormCreate() {
    RefreshReportNames();
}

void TfrmDadosGerRel::RefreshReportNames() {
    const QString kept = cbbReportNames->currentData().toString();
    cbbReportNames->clear();
    rpddPadrao->setReportCode(m_reportCode);
    for (const QString& file : rpddPadrao->DefinitionFiles()) {
        cbbReportNames->addItem(QFileInfo(file).completeBaseName(), QFileInfo(file).fileName());
        QString title;
        try {
            title = LoadReportDefinition(file).title;
        } catch (const EHostError& e) {
            title = e.text(); // printing it will say so again
        }
        cbbReportNames->setItemData(cbbReportNames->count() - 1, title, Qt::ToolTipRole);
    }
    if (cbbReportNames->count() == 0 && !m_reportCode.isEmpty())
        cbbReportNames->addItem(m_reportCode, QString());
    const int keep = kept.isEmpty() ? -1 : cbbReportNames->findData(kept);
    cbbReportNames->setCurrentIndex(keep >= 0 ? keep : (cbbReportNames->count() > 0 ? 0 : -1));
}

void TfrmDadosGerRel::ChooseReport() {
    rpddPadrao->setReportCode(m_reportCode);
    // The list keeps file names: the directory is the one configured at the moment of printing.
    const QString name = cbbReportNames->currentData().toString();
    rpddPadrao->setDefinitionFile(name.isEmpty() ? QString()
                                                 : QDir(rpddPadrao->ReportDir()).filePath(name));
}

void TfrmDadosGerRel::FormActivate() {}

void TfrmDadosGerRel::FormClose(TCloseAction& action) {
    action = caFree;
}

namespace {

// The first file as named; the next ones numbered, never over a file already there.
QString NextPdfName(const QString& base, int written) {
    if (written == 0)
        return base;
    const QFileInfo info(base);
    for (int n = written + 1;; ++n) {
        const QString name = info.dir().filePath(
            QStringLiteral("%1-%2.%3").arg(info.completeBaseName()).arg(n).arg(info.suffix()));
        if (!QFileInfo::exists(name))
            return name;
    }
}

QString WithPdfSuffix(const QString& file) {
    if (QFileInfo(file).suffix().compare(QLatin1String("pdf"), Qt::CaseInsensitive) == 0)
        return file;
    return file + QStringLiteral(".pdf");
}

} // namespace

bool TfrmDadosGerRel::BeginPrintRun() {
    // A missing definition is said before a file is asked for or anything is issued.
    ChooseReport();
    rpddPadrao->OpenDefinition();
    m_pdfBase.clear();
    m_pdfFiles.clear();
    QPrinter* printer = Printer();
    // With no printer installed QPrinter turns itself into a PDF writer without a file, and
    // still calls itself valid.
    const bool ready = printer->outputFormat() == QPrinter::PdfFormat
                           ? !printer->outputFileName().isEmpty()
                           : QPrinterInfo::availablePrinterNames().contains(printer->printerName());
    if (ready) {
        m_printRun = true;
        return true;
    }
    const QString file =
        HostDialogs().chooseSaveFile(QString::fromUtf8("Nenhuma impressora disponível: Salvar "
                                                       "Como PDF"),
                                     QStringLiteral("Arquivos PDF (*.pdf)"));
    if (file.isEmpty())
        return false;
    m_pdfBase = WithPdfSuffix(file);
    m_printRun = true;
    return true;
}

void TfrmDadosGerRel::EndPrintRun() {
    const bool open = std::exchange(m_printRun, false);
    m_pdfBase.clear();
    const QStringList files = std::exchange(m_pdfFiles, {});
    if (open && !files.isEmpty())
        HostDialogs().showMessage(
            QString::fromUtf8("Nenhuma impressora disponível. Relatório gravado em PDF:\n%1")
                .arg(files.join(QLatin1Char('\n'))),
            TMsgDlgType::Information, mbOK);
}

void TfrmDadosGerRel::sbtPrintClick(QObject*) {
    ChooseReport();
    const bool own = !m_printRun;
    if (own && !BeginPrintRun())
        return;
    try {
        if (m_pdfBase.isEmpty()) {
            rpddPadrao->Print(*Printer());
        } else {
            QPrinter pdf(QPrinter::HighResolution);
            pdf.setOutputFormat(QPrinter::PdfFormat);
            pdf.setOutputFileName(NextPdfName(m_pdfBase, int(m_pdfFiles.size())));
            if (rpddPadrao->Print(pdf) > 0)
                m_pdfFiles << pdf.outputFileName();
        }
    } catch (...) {
        if (own)
            EndPrintRun();
        throw;
    }
    if (own)
        EndPrintRun();
}

void TfrmDadosGerRel::sbtPreviewClick(QObject*) {
    ChooseReport();
    rpddPadrao->Preview(*Printer());
}

void TfrmDadosGerRel::sbtSalvarComoClick(QObject*) {
    ChooseReport();
    rpddPadrao->OpenDefinition(); // a missing definition is said before a file is asked for
    const QString file = HostDialogs().chooseSaveFile(QStringLiteral("Salvar Como"),
                                                      QStringLiteral("Arquivos PDF (*.pdf)"));
    if (file.isEmpty())
        return;
    rpddPadrao->SaveAsPdf(WithPdfSuffix(file));
}

QPrinter* TfrmDadosGerRel::Printer() {
    if (!m_printer)
        m_printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    return m_printer.get();
}

void TfrmDadosGerRel::sbtConfigImprClick(QObject*) {
    HostDialogs().printSetup(*Printer());
}

void TfrmDadosGerRel::sbtReportEditClick(QObject* Sender) {
    if (Sender == sbtCancel) {
        CloseScreen();
        return;
    }
    ChooseReport();
    const TReportDefinition def = rpddPadrao->OpenDefinition();
    QDesktopServices::openUrl(QUrl::fromLocalFile(def.file));
}

void TfrmDadosGerRel::sbtCancelClick(QObject*) {
    CloseScreen();
}

void TfrmDadosGerRel::CloseScreen() {
    if (QMdiSubWindow* sub = THostApplication::ChildWindow(this))
        sub->close();
    else
        close();
}

void TfrmDadosGerRel::AddBarButton(QWidget* w) {
    w->setParent(panBotoes);
    m_barLayout->insertWidget(m_barLayout->indexOf(sbtCancel), w);
    w->show();
}

// ---- TfrmFiltroPadrao ----

TfrmFiltroPadrao::TfrmFiltroPadrao(QWidget* parent) : QDialog(parent) {
    setModal(true);
    auto* root = new QVBoxLayout(this);
    grbFiltroPadrao = new QGroupBox(this);
    grbFiltroPadrao->setObjectName(QStringLiteral("grbFiltroPadrao"));
    root->addWidget(grbFiltroPadrao, 1);
    m_buttons = new QHBoxLayout();
    btfSaveOpc =
        new TButtonFlat(QStringLiteral("Salvar Opções"), QStringLiteral("Salvar opções"), this);
    btfSaveOpc->setObjectName(QStringLiteral("btfSaveOpc"));
    btfLoadOpc =
        new TButtonFlat(QStringLiteral("Carregar Opções"), QStringLiteral("Carregar opções"), this);
    btfLoadOpc->setObjectName(QStringLiteral("btfLoadOpc"));
    sbtConfirma = new TButtonFlat(QStringLiteral("Confirmar"), QStringLiteral("Confirmar"), this);
    sbtConfirma->setObjectName(QStringLiteral("sbtConfirma"));
    sbtCancela = new TButtonFlat(QStringLiteral("Cancelar"), QStringLiteral("Cancelar"), this);
    sbtCancela->setObjectName(QStringLiteral("sbtCancela"));
    m_buttons->addWidget(btfSaveOpc);
    m_buttons->addWidget(btfLoadOpc);
    m_buttons->addStretch(1);
    m_buttons->addWidget(sbtConfirma);
    m_buttons->addWidget(sbtCancela);
    root->addLayout(m_buttons);

    sbtConfirma->OnClick = [this] { sbtConfirmaClick(sbtConfirma); };
    btfSaveOpc->OnClick = [this] { btfSaveOpcClick(btfSaveOpc); };
    btfLoadOpc->OnClick = [this] { btfLoadOpcClick(btfLoadOpc); };
    sbtCancela->OnClick = [this] { reject(); };
}

void TfrmFiltroPadrao::AfterConstruction() {
    if (m_created)
        return;
    m_created = true;
    FormCreate();
}

void TfrmFiltroPadrao::FormCreate() {}

void TfrmFiltroPadrao::sbtConfirmaClick(QObject*) {
    accept();
}

QString TfrmFiltroPadrao::OptionsFile() const {
    return Zelkora::DataDir() + QStringLiteral("/options/") +
           (objectName().isEmpty() ? QStringLiteral("filtro") : objectName()) +
           QStringLiteral(".json");
}

void TfrmFiltroPadrao::btfSaveOpcClick(QObject*) {
    QJsonObject values;
    for (QLineEdit* e : grbFiltroPadrao->findChildren<QLineEdit*>())
        if (!e->objectName().isEmpty() && !e->objectName().startsWith(QLatin1String("qt_")))
            values.insert(e->objectName(), e->text());
    for (QComboBox* c : grbFiltroPadrao->findChildren<QComboBox*>())
        if (!c->objectName().isEmpty())
            values.insert(c->objectName(), c->currentIndex());
    for (QAbstractButton* b : grbFiltroPadrao->findChildren<QAbstractButton*>())
        if (b->isCheckable() && !b->objectName().isEmpty())
            values.insert(b->objectName(), b->isChecked());
    QDir().mkpath(QFileInfo(OptionsFile()).absolutePath());
    QSaveFile f(OptionsFile());
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(values).toJson()) < 0 || !f.commit())
        throw EHostError(
            QStringLiteral("Não foi possível gravar as opções em '%1'.").arg(OptionsFile()));
}

void TfrmFiltroPadrao::btfLoadOpcClick(QObject*) {
    QFile f(OptionsFile());
    if (!f.open(QIODevice::ReadOnly))
        return; // nothing kept yet
    const QJsonObject values = QJsonDocument::fromJson(f.readAll()).object();
    for (QLineEdit* e : grbFiltroPadrao->findChildren<QLineEdit*>())
        if (values.contains(e->objectName()))
            e->setText(values.value(e->objectName()).toString());
    for (QComboBox* c : grbFiltroPadrao->findChildren<QComboBox*>())
        if (values.contains(c->objectName()))
            c->setCurrentIndex(values.value(c->objectName()).toInt());
    for (QAbstractButton* b : grbFiltroPadrao->findChildren<QAbstractButton*>())
        if (b->isCheckable() && values.contains(b->objectName()))
            b->setChecked(values.value(b->objectName()).toBool());
}
