#include "MethodTable.h"

namespace FisProtocol {

QList<int> MethodSpec::byRefIndexes() const {
    QList<int> out;
    for (int i = 0; i < args.size(); ++i)
        if (args[i].byRef)
            out.append(i);
    return out;
}

const QList<MethodSpec>& methods() {
    constexpr ArgSpec S{ArgKind::Text, false};
    constexpr ArgSpec R{ArgKind::Text, true};
    constexpr ArgSpec D{ArgKind::Double, false};
    constexpr ArgSpec T{ArgKind::DateTime, false};
    constexpr ArgSpec P{ArgKind::Packet, false};
    using M = MethodId;
    static const QList<MethodSpec> all{
        {M::GetTipoOper, QStringLiteral("GetTipoOper"), {R}},
        {M::GetSerie, QStringLiteral("GetSerie"), {S, S, S, R}},
        {M::GetNotaFiscal, QStringLiteral("GetNotaFiscal"), {S, S, S, R, R, R, T, T, T, T, R, S}},
        {M::setDarfDoc, QStringLiteral("setDarfDoc"), {S, S, R, S, D, D, S, S, S, S}},
        {M::GetParamFiscal, QStringLiteral("GetParamFiscal"), {}},
        {M::GeraContaPagar, QStringLiteral("GeraContaPagar"), {S, R, P, R, R, S}},
        {M::GetVdCodRece, QStringLiteral("GetVdCodRece"), {S, S}},
        {M::GetCodRecePad, QStringLiteral("GetCodRecePad"), {S}},
    };
    return all;
}

const MethodSpec& method(MethodId id) {
    // The table lists the methods in the order of MethodId.
    return methods()[int(id)];
}

const MethodSpec* findMethod(const QString& name) {
    for (const auto& m : methods())
        if (m.name.compare(name, Qt::CaseInsensitive) == 0)
            return &m;
    return nullptr;
}

QString kindName(ArgKind kind) {
    switch (kind) {
    case ArgKind::Text:
        return QStringLiteral("texto");
    case ArgKind::Double:
        return QStringLiteral("número");
    case ArgKind::DateTime:
        return QStringLiteral("data");
    case ArgKind::Packet:
        return QStringLiteral("pacote");
    }
    return QString();
}

QString checkArg(const QString& method, int index, ArgKind kind, const QCborValue& v) {
    bool ok = false;
    switch (kind) {
    case ArgKind::Text:
        ok = v.isString() || v.isNull() || v.isUndefined();
        break;
    case ArgKind::Double:
        ok = v.isDouble() || v.isInteger();
        break;
    case ArgKind::DateTime:
        // A date edit left empty travels as null; text is refused even when it looks like a date.
        ok = v.isDateTime() || v.isNull() || v.isUndefined();
        break;
    case ArgKind::Packet:
        ok = v.isMap();
        break;
    }
    if (ok)
        return QString();
    return QStringLiteral("%1: argumento %2 deve ser %3")
        .arg(method)
        .arg(index + 1)
        .arg(kindName(kind));
}

} // namespace FisProtocol
