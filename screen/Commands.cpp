// The screen's own buttons and menus, and the enabled state that follows the note dataset.
#include "Cli_Fis98100.h"
#include "ScreenParts.h"
#include "host/Components.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/HostDialogs.h"
#include "host/HostGuard.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>

namespace Worksheet {

void CreateMenus(TfrmEmissaoDarfDoc* f) {
    auto item = [f](QMenu* menu, QAction*& action, const char* name, const char* caption,
                    const QKeySequence& key, bool enabled, auto run) {
        action = menu->addAction(QString::fromUtf8(caption));
        action->setObjectName(QLatin1String(name));
        action->setShortcut(key);
        action->setEnabled(enabled);
        guardedConnect(action, &QAction::triggered, f, [run](bool) { run(); });
    };
    f->mnuOperac = f->mnuMenu->addMenu(QString::fromUtf8("&Operação"));
    f->mnuOperac->setObjectName(QStringLiteral("mnuOperac"));
    item(f->mnuOperac, f->mnuImprimir, "mnuImprimir", "&Imprimir",
         QKeySequence(QStringLiteral("Ctrl+I")), false,
         [f] { f->mnuImprimirClick(f->mnuImprimir); });
    item(f->mnuOperac, f->mnuVisualizar, "mnuVisualizar", "&Visualizar Impressão",
         QKeySequence(QStringLiteral("Ctrl+P")), false,
         [f] { f->mnuVisualizarClick(f->mnuVisualizar); });
    item(f->mnuOperac, f->mnuSalvarComo, "mnuSalvarComo", "&Salvar Como",
         QKeySequence(QStringLiteral("Ctrl+S")), false,
         [f] { f->mnuSalvarComoClick(f->mnuSalvarComo); });
    item(f->mnuOperac, f->mnuConfigImpress, "mnuConfigImpress", "&Configurar Impressora",
         QKeySequence(QStringLiteral("Ctrl+F")), true,
         [f] { f->mnuConfigImpressClick(f->mnuConfigImpress); });
    f->mnuOperac->addSeparator()->setObjectName(QStringLiteral("N2"));
    item(f->mnuOperac, f->mnuFechar, "mnuFechar", "Fecha&r",
         QKeySequence(QStringLiteral("Ctrl+F4")), true, [f] { f->mnuFecharClick(f->mnuFechar); });

    f->mnuManutencao = f->mnuMenu->addMenu(QString::fromUtf8("&Manutenção"));
    f->mnuManutencao->setObjectName(QStringLiteral("mnuManutencao"));
    item(f->mnuManutencao, f->mnuAtualizar, "mnuAtualizar", "&Atualizar", QKeySequence(Qt::Key_F5),
         true, [f] { f->mnuAtualizarClick(f->mnuAtualizar); });
    f->mnuAtualizar->setToolTip(QStringLiteral("Atualizar"));
    item(f->mnuManutencao, f->mnuProcurar, "mnuProcurar", "&Procurar", QKeySequence(Qt::Key_F6),
         true, [f] { f->mnuProcurarClick(f->mnuProcurar); });
    f->mnuProcurar->setToolTip(QStringLiteral("Procurar"));
    f->mnuManutencao->addSeparator()->setObjectName(QStringLiteral("N1"));
    item(f->mnuManutencao, f->mnuFiltro, "mnuFiltro", "&Filtrar Notas",
         QKeySequence(QStringLiteral("Ctrl+L")), true, [f] { f->mnuFiltroClick(f->mnuFiltro); });
}

} // namespace Worksheet

void TfrmEmissaoDarfDoc::CreateBarButtons() {
    auto add = [this](TButtonFlat*& b, const char* name, const QString& caption,
                      QStyle::StandardPixmap icon) {
        b = new TButtonFlat(caption, caption, panBotoes);
        b->setObjectName(QLatin1String(name));
        b->setIcon(style()->standardIcon(icon));
        AddBarButton(b);
    };
    add(sbtProcurar, "sbtProcurar", QStringLiteral("Procurar"), QStyle::SP_FileDialogContentsView);
    add(sbtVerificar, "sbtVerificar", QStringLiteral("Atualizar"), QStyle::SP_BrowserReload);
    add(sbtFiltro, "sbtFiltro", QStringLiteral("Filtro"), QStyle::SP_FileDialogListView);
    sbtProcurar->OnClick = [this] { sbtProcurarClick(sbtProcurar); };
    sbtVerificar->OnClick = [this] { sbtVerificarClick(sbtVerificar); };
    sbtFiltro->OnClick = [this] { sbtFiltroClick(sbtFiltro); };
    dtsPadraoStateChange();
}

void TfrmEmissaoDarfDoc::dtsPadraoStateChange() {
    const bool empty = !cdsNotaFiscal || !cdsNotaFiscal->Active() || cdsNotaFiscal->IsEmpty();
    auto enable = [](QWidget* w, bool on) {
        if (w)
            w->setEnabled(on);
    };
    for (QWidget* w : {static_cast<QWidget*>(sbtConfigImpr), static_cast<QWidget*>(sbtReportEdit),
                       static_cast<QWidget*>(sbtVerificar), static_cast<QWidget*>(sbtProcurar),
                       static_cast<QWidget*>(sbtPrint), static_cast<QWidget*>(sbtPreview)})
        enable(w, !empty);
    enable(sbtSalvarComo,
           !empty && cdsNotaFiscal->FieldByName(QStringLiteral("IDSTATUSGUIA"))->AsString() !=
                         QLatin1String("N"));

    auto follow = [](QAction* a, const QWidget* b) {
        if (a && b)
            a->setEnabled(b->isEnabled());
    };
    follow(mnuImprimir, sbtPrint);
    follow(mnuVisualizar, sbtPreview);
    follow(mnuSalvarComo, sbtSalvarComo);
    follow(mnuConfigImpress, sbtConfigImpr);
    follow(mnuAtualizar, sbtVerificar);
    follow(mnuProcurar, sbtProcurar);

    if (dbgPadrao) {
        const int col = IndiceCol(dbgPadrao, QStringLiteral("CDRECEGUIA"));
        const TDataSetState st = cdsNotaFiscal ? cdsNotaFiscal->State() : dsInactive;
        if (col >= 0)
            dbgPadrao->Columns(col)->setButtonStyle(st == dsEdit || st == dsInsert ? cbsEllipsis
                                                                                   : cbsNone);
    }
}

// Opening the filter and refreshing are in Filter.cpp.
void TfrmEmissaoDarfDoc::sbtProcurarClick(QObject*) {
    Procura(cdsNotaFiscal);
}

// The menu items run what their buttons run, with the button as the sender.
void TfrmEmissaoDarfDoc::mnuImprimirClick(QObject*) {
    sbtPrintClick(sbtPrint);
}

void TfrmEmissaoDarfDoc::mnuVisualizarClick(QObject*) {
    sbtPreviewClick(sbtPreview);
}

void TfrmEmissaoDarfDoc::mnuSalvarComoClick(QObject*) {
    sbtSalvarComoClick(sbtSalvarComo);
}

void TfrmEmissaoDarfDoc::mnuConfigImpressClick(QObject*) {
    sbtConfigImprClick(sbtConfigImpr);
}

// The base form closes the screen when the cancel button is the sender.
void TfrmEmissaoDarfDoc::mnuFecharClick(QObject*) {
    sbtReportEditClick(sbtCancel);
}

void TfrmEmissaoDarfDoc::mnuAtualizarClick(QObject*) {
    sbtVerificarClick(sbtVerificar);
}

void TfrmEmissaoDarfDoc::mnuProcurarClick(QObject*) {
    sbtProcurarClick(sbtProcurar);
}

void TfrmEmissaoDarfDoc::mnuFiltroClick(QObject*) {
    sbtFiltroClick(sbtFiltro);
}
