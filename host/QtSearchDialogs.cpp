// Temporary: the data-aware search, multi-select and find dialogs are built with the dataset
// layer; until then they report that they are not available.
#include "QtHostDialogs.h"
#include "core/HostExceptions.h"

bool TQtHostDialogs::pesquisar(TDataSource*, const QString&, bool, bool) {
    throw EHostError(QStringLiteral("Pesquisa ainda não disponível."));
}
bool TQtHostDialogs::pesquisaLista(TDataSource*, const QString&, const QString&, bool, QString&) {
    throw EHostError(QStringLiteral("Pesquisa ainda não disponível."));
}
void TQtHostDialogs::procura(TDataSet*) {
    throw EHostError(QStringLiteral("Procura ainda não disponível."));
}
