#pragma once
// The remote object's methods as both ends of the wire see them: name, argument kinds in order,
// and which arguments are by reference (their final values travel back in the answer's refs).
// The server dispatches on MethodId; the typed calls and fis98100-call look the rest up here.
#include <QCborValue>
#include <QList>
#include <QString>

namespace FisProtocol {

// The object every request names.
inline constexpr const char* ObjectName = "Fis98100.rdmCriaEmissaoDarfDoc";
inline constexpr quint16 DefaultPort = 21981;

enum class ArgKind { Text, Double, DateTime, Packet };

struct ArgSpec {
    ArgKind kind;
    bool byRef;
};

enum class MethodId {
    GetTipoOper,
    GetSerie,
    GetNotaFiscal,
    setDarfDoc,
    GetParamFiscal,
    GeraContaPagar,
    GetVdCodRece,
    GetCodRecePad,
};

struct MethodSpec {
    MethodId id;
    QString name;
    QList<ArgSpec> args;
    QList<int> byRefIndexes() const;
};

const QList<MethodSpec>& methods();
const MethodSpec& method(MethodId id);
// Case-insensitive, like a late-bound call; nullptr when unknown.
const MethodSpec* findMethod(const QString& name);
// "texto", "número", "data", "pacote".
QString kindName(ArgKind kind);
// Empty when value is acceptable for kind, else the refusal text for argument number index+1.
QString checkArg(const QString& method, int index, ArgKind kind, const QCborValue& value);

} // namespace FisProtocol
