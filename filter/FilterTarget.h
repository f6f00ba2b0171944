#pragma once
// What the filter dialog needs of the main screen, and the selection it leaves there.
//
// The dialog outlives any one main screen (the clerk may close the screen and open a new one),
// so it never keeps a pointer to it: it asks FilterTarget() each time, which returns the screen
// open at that moment. The screen registers the accessor; filter/ includes nothing of screen/.
#include "host/core/HostExport.h"

#include <QDateTime>
#include <QString>
#include <functional>

class QWidget;
class TClientDataSet;
class TSocketConnection;

// The filter as last confirmed, kept by the main screen. stImposto travels with every save and
// issue of a guide; the other fields feed the report's parameters.
struct TRecordFilter {
    QString stImposto;
    QString stInscEsta;
    QString stInscMuni;
    QString stSerie;
    QString stTipoOper;
    qint32 inEntrSaid = 0; // 0 "Entrada", 1 "Saída", 2 "Todos"
    qint32 inCnpj = 0;     // 0 "Cliente", 1 "Fornecedor", 2 "Todos"
    QString stCliente;
    QString stFornecedor;
    QString stTodos;
    QDateTime dtEmiIni;
    QDateTime dtEmiFim;
    QDateTime dtEntIni;
    QDateTime dtEntFim;
};

class FIS_EXPORT IFilterTarget {
public:
    virtual ~IFilterTarget() = default;
    // The company code box's text, read at the moment of use.
    virtual QString FilterCompanyCode() const = 0;
    // The screen's connection to the application server (netEmissaoDarfDoc).
    virtual TSocketConnection& FilterConnection() = 0;
    // The note dataset the confirmation loads (cdsNotaFiscal).
    virtual TClientDataSet& FilterNotes() = 0;
    // Where the confirmation stores the selection.
    virtual TRecordFilter& FilterRecord() = 0;
    // The busy caption while the notes load (the screen's "Carr_Dad").
    virtual QString FilterLoadingCaption() const = 0;
    // The widget that carries the busy animation of the pick lists, and of a refresh, which runs
    // on the hidden dialog.
    virtual QWidget* FilterBusyParent() = 0;
    // After a load: ok false when the request or the loading failed (the worksheet must then
    // show no note of another selection).
    virtual void FilterLoaded(bool ok) = 0;
};

namespace Cli_Fis98101 {
// The main screen open now, or nullptr. Registered by the screen's unit; asked afresh each time.
using TFilterTargetAccessor = std::function<IFilterTarget*()>;
FIS_EXPORT void SetFilterTargetAccessor(TFilterTargetAccessor accessor);
// The main screen open now; EHostError when there is none.
FIS_EXPORT IFilterTarget& FilterTarget();
} // namespace Cli_Fis98101
