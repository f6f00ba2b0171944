#include "ReportDefinition.h"

#include "BaseForms.h"
#include "Query.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QSet>

namespace {

// Thrown while reading a definition; the caller adds the file name.
struct TBad {
    QString why;
};

[[noreturn]] void bad(const QString& why) {
    throw TBad{why};
}

QString where(const QString& ctx, const QString& key) {
    return ctx.isEmpty() ? key : ctx + QLatin1Char('.') + key;
}

double number(const QJsonObject& o, const QString& key, const QString& ctx, bool required,
              double fallback = 0) {
    const QJsonValue v = o.value(key);
    if (v.isUndefined()) {
        if (required)
            bad(QStringLiteral("falta \"%1\"").arg(where(ctx, key)));
        return fallback;
    }
    if (!v.isDouble())
        bad(QStringLiteral("\"%1\" deve ser um número").arg(where(ctx, key)));
    return v.toDouble();
}

QString text(const QJsonObject& o, const QString& key, const QString& ctx, bool required = false) {
    const QJsonValue v = o.value(key);
    if (v.isUndefined()) {
        if (required)
            bad(QStringLiteral("falta \"%1\"").arg(where(ctx, key)));
        return QString();
    }
    if (!v.isString())
        bad(QStringLiteral("\"%1\" deve ser um texto").arg(where(ctx, key)));
    return v.toString();
}

bool flag(const QJsonObject& o, const QString& key, const QString& ctx, bool fallback) {
    const QJsonValue v = o.value(key);
    if (v.isUndefined())
        return fallback;
    if (!v.isBool())
        bad(QStringLiteral("\"%1\" deve ser true ou false").arg(where(ctx, key)));
    return v.toBool();
}

// A SQL text as one string or as an array of lines.
QStringList lines(const QJsonObject& o, const QString& key) {
    const QJsonValue v = o.value(key);
    if (v.isUndefined())
        return {};
    if (v.isString())
        return v.toString().split(QLatin1Char('\n'));
    if (!v.isArray())
        bad(QStringLiteral("\"query.%1\" deve ser um texto ou uma lista de linhas").arg(key));
    QStringList out;
    for (const QJsonValue& l : v.toArray()) {
        if (!l.isString())
            bad(QStringLiteral("\"query.%1\" deve ser uma lista de textos").arg(key));
        out << l.toString();
    }
    return out;
}

QColor color(const QJsonObject& o, const QString& key, const QString& ctx, const QColor& fallback) {
    const QString name = text(o, key, ctx);
    if (name.isEmpty())
        return fallback;
    const QColor c = QColor::fromString(name);
    if (!c.isValid())
        bad(QStringLiteral("\"%1\": cor inválida \"%2\"").arg(where(ctx, key), name));
    return c;
}

TReportCondition condition(const QJsonObject& o, const QString& ctx) {
    const QJsonValue v = o.value(QStringLiteral("when"));
    TReportCondition c;
    if (v.isUndefined())
        return c;
    if (!v.isObject())
        bad(QStringLiteral("\"%1.when\" deve ser um objeto").arg(ctx));
    const QJsonObject w = v.toObject();
    const QString wctx = ctx + QStringLiteral(".when");
    c.name = text(w, QStringLiteral("field"), wctx, true);
    int ops = 0;
    if (w.contains(QStringLiteral("equals"))) {
        c.op = TReportCondition::Equals;
        c.value = text(w, QStringLiteral("equals"), wctx);
        ++ops;
    }
    if (w.contains(QStringLiteral("notEquals"))) {
        c.op = TReportCondition::NotEquals;
        c.value = text(w, QStringLiteral("notEquals"), wctx);
        ++ops;
    }
    if (w.contains(QStringLiteral("empty"))) {
        c.op = flag(w, QStringLiteral("empty"), wctx, true) ? TReportCondition::Empty
                                                            : TReportCondition::NotEmpty;
        ++ops;
    }
    if (ops != 1 || w.size() != 2)
        bad(QStringLiteral("\"%1\" leva \"field\" e um de \"equals\", \"notEquals\", \"empty\"")
                .arg(wctx));
    return c;
}

const QSet<QString>& knownElementKeys() {
    static const QSet<QString> keys{
        QStringLiteral("type"),      QStringLiteral("style"),  QStringLiteral("x"),
        QStringLiteral("y"),         QStringLiteral("w"),      QStringLiteral("h"),
        QStringLiteral("x1"),        QStringLiteral("y1"),     QStringLiteral("x2"),
        QStringLiteral("y2"),        QStringLiteral("text"),   QStringLiteral("source"),
        QStringLiteral("value"),     QStringLiteral("family"), QStringLiteral("size"),
        QStringLiteral("bold"),      QStringLiteral("italic"), QStringLiteral("align"),
        QStringLiteral("valign"),    QStringLiteral("wrap"),   QStringLiteral("shrink"),
        QStringLiteral("color"),     QStringLiteral("fill"),   QStringLiteral("pen"),
        QStringLiteral("dash"),      QStringLiteral("module"), QStringLiteral("quiet"),
        QStringLiteral("length"),    QStringLiteral("rules"),  QStringLiteral("when"),
        QStringLiteral("symbology"), QStringLiteral("comment")};
    return keys;
}

TReportElement element(QJsonObject o, const QJsonObject& styles, const QString& ctx) {
    // A style gives defaults for any key; the element's own keys win.
    const QString styleName = text(o, QStringLiteral("style"), ctx);
    if (!styleName.isEmpty()) {
        const QJsonValue s = styles.value(styleName);
        if (!s.isObject())
            bad(QStringLiteral("\"%1\": estilo \"%2\" não definido").arg(ctx, styleName));
        QJsonObject merged = s.toObject();
        for (auto it = o.begin(); it != o.end(); ++it)
            merged.insert(it.key(), it.value());
        o = merged;
    }
    for (auto it = o.begin(); it != o.end(); ++it)
        if (!knownElementKeys().contains(it.key()))
            bad(QStringLiteral("\"%1\": chave desconhecida \"%2\"").arg(ctx, it.key()));

    TReportElement e;
    const QString type = text(o, QStringLiteral("type"), ctx, true);
    if (type == QLatin1String("text"))
        e.kind = TReportElementKind::Text;
    else if (type == QLatin1String("box"))
        e.kind = TReportElementKind::Box;
    else if (type == QLatin1String("line"))
        e.kind = TReportElementKind::Line;
    else if (type == QLatin1String("image"))
        e.kind = TReportElementKind::Image;
    else if (type == QLatin1String("barcode"))
        e.kind = TReportElementKind::Barcode;
    else
        bad(QStringLiteral("\"%1\": tipo desconhecido \"%2\"").arg(ctx, type));

    if (e.kind == TReportElementKind::Line) {
        e.line = QLineF(
            number(o, QStringLiteral("x1"), ctx, true), number(o, QStringLiteral("y1"), ctx, true),
            number(o, QStringLiteral("x2"), ctx, true), number(o, QStringLiteral("y2"), ctx, true));
    } else {
        const bool barcode = e.kind == TReportElementKind::Barcode;
        e.rect = QRectF(number(o, QStringLiteral("x"), ctx, true),
                        number(o, QStringLiteral("y"), ctx, true),
                        number(o, QStringLiteral("w"), ctx, !barcode),
                        number(o, QStringLiteral("h"), ctx, true));
        if ((!barcode && e.rect.width() <= 0) || e.rect.height() <= 0)
            bad(QStringLiteral("\"%1\": largura e altura devem ser positivas").arg(ctx));
    }

    switch (e.kind) {
    case TReportElementKind::Text:
        e.text = text(o, QStringLiteral("text"), ctx, true);
        break;
    case TReportElementKind::Image:
        e.text = text(o, QStringLiteral("source"), ctx, true);
        break;
    case TReportElementKind::Barcode: {
        e.text = text(o, QStringLiteral("value"), ctx, true);
        const QString sym = text(o, QStringLiteral("symbology"), ctx);
        if (!sym.isEmpty() && sym != QLatin1String("I25"))
            bad(QStringLiteral("\"%1\": só o código de barras \"I25\" (2 de 5 intercalado) é "
                               "suportado")
                    .arg(ctx));
        e.module = number(o, QStringLiteral("module"), ctx, false, e.module);
        e.quiet = number(o, QStringLiteral("quiet"), ctx, false, e.quiet);
        e.length = int(number(o, QStringLiteral("length"), ctx, false, 0));
        e.rules = number(o, QStringLiteral("rules"), ctx, false, 0);
        if (e.module <= 0 || e.quiet < 0 || e.length < 0 || e.length % 2 != 0 || e.rules < 0)
            bad(QStringLiteral("\"%1\": módulo positivo, margem e régua não negativas, número "
                               "par de dígitos")
                    .arg(ctx));
        break;
    }
    default:
        break;
    }

    const QString family = text(o, QStringLiteral("family"), ctx);
    if (family == QLatin1String("mono")) {
        e.font.family = QStringLiteral("DejaVu Sans Mono");
        e.font.mono = true;
    } else if (family == QLatin1String("serif")) {
        e.font.family = QStringLiteral("DejaVu Serif");
    } else if (!family.isEmpty() && family != QLatin1String("sans")) {
        e.font.family = family;
    }
    e.font.size = number(o, QStringLiteral("size"), ctx, false, e.font.size);
    if (e.font.size <= 0)
        bad(QStringLiteral("\"%1.size\" deve ser positivo").arg(ctx));
    e.font.bold = flag(o, QStringLiteral("bold"), ctx, false);
    e.font.italic = flag(o, QStringLiteral("italic"), ctx, false);

    Qt::Alignment h = Qt::AlignLeft, v = Qt::AlignVCenter;
    const QString align = text(o, QStringLiteral("align"), ctx);
    if (align == QLatin1String("center"))
        h = Qt::AlignHCenter;
    else if (align == QLatin1String("right"))
        h = Qt::AlignRight;
    else if (!align.isEmpty() && align != QLatin1String("left"))
        bad(QStringLiteral("\"%1.align\": left, center ou right").arg(ctx));
    const QString valign = text(o, QStringLiteral("valign"), ctx);
    if (valign == QLatin1String("top"))
        v = Qt::AlignTop;
    else if (valign == QLatin1String("bottom"))
        v = Qt::AlignBottom;
    else if (!valign.isEmpty() && valign != QLatin1String("middle"))
        bad(QStringLiteral("\"%1.valign\": top, middle ou bottom").arg(ctx));
    e.align = h | v;
    e.wrap = flag(o, QStringLiteral("wrap"), ctx, false);
    e.shrink = flag(o, QStringLiteral("shrink"), ctx, false);
    e.color = color(o, QStringLiteral("color"), ctx, Qt::black);
    e.fill = color(o, QStringLiteral("fill"), ctx, QColor());
    e.pen = number(o, QStringLiteral("pen"), ctx, false, e.pen);
    e.dash = flag(o, QStringLiteral("dash"), ctx, false);
    e.when = condition(o, ctx);
    return e;
}

QList<TReportElement> elements(const QJsonObject& root, const QString& key,
                               const QJsonObject& styles) {
    QList<TReportElement> out;
    const QJsonValue v = root.value(key);
    if (v.isUndefined())
        return out;
    if (!v.isArray())
        bad(QStringLiteral("\"%1\" deve ser uma lista").arg(key));
    const QJsonArray arr = v.toArray();
    for (int i = 0; i < arr.size(); ++i) {
        const QString ctx = QStringLiteral("%1[%2]").arg(key).arg(i);
        if (!arr[i].isObject())
            bad(QStringLiteral("\"%1\" deve ser um objeto").arg(ctx));
        out << element(arr[i].toObject(), styles, ctx);
    }
    return out;
}

TReportParamType paramType(const QString& name, const QString& ctx) {
    if (name.isEmpty() || name == QLatin1String("string"))
        return TReportParamType::String;
    if (name == QLatin1String("integer"))
        return TReportParamType::Integer;
    if (name == QLatin1String("float"))
        return TReportParamType::Float;
    if (name == QLatin1String("date"))
        return TReportParamType::Date;
    bad(QStringLiteral("\"%1.type\": string, integer, float ou date").arg(ctx));
}

TReportDefinition parse(const QJsonObject& root) {
    TReportDefinition d;
    const QString format = text(root, QStringLiteral("format"), QString(), true);
    if (format != QLatin1String("fis98100-report/1"))
        bad(QStringLiteral("formato \"%1\" desconhecido (esperado \"fis98100-report/1\")")
                .arg(format));
    d.code = text(root, QStringLiteral("code"), QString(), true);
    d.title = text(root, QStringLiteral("title"), QString());

    const QJsonValue params = root.value(QStringLiteral("parameters"));
    if (!params.isUndefined() && !params.isArray())
        bad(QStringLiteral("\"parameters\" deve ser uma lista"));
    const QJsonArray plist = params.toArray();
    for (int i = 0; i < plist.size(); ++i) {
        const QString ctx = QStringLiteral("parameters[%1]").arg(i);
        if (!plist[i].isObject())
            bad(QStringLiteral("\"%1\" deve ser um objeto").arg(ctx));
        const QJsonObject p = plist[i].toObject();
        TReportParamDef def;
        def.name = text(p, QStringLiteral("name"), ctx, true);
        if (def.name.isEmpty() || d.findParam(def.name))
            bad(QStringLiteral("\"%1.name\" vazio ou repetido").arg(ctx));
        def.type = paramType(text(p, QStringLiteral("type"), ctx), ctx);
        const QJsonValue dv = p.value(QStringLiteral("default"));
        if (!dv.isUndefined()) {
            try {
                def.defaultValue = ReportParamValue(def, dv.toVariant().toString());
            } catch (const EReportParameter& e) {
                bad(e.text());
            }
        }
        d.params << def;
    }

    const QJsonValue qv = root.value(QStringLiteral("query"));
    if (!qv.isObject())
        bad(QStringLiteral("falta \"query\" (objeto com SQL_IB, SQL_MSSQL, SQL_ORACLE)"));
    const QJsonObject q = qv.toObject();
    for (auto it = q.begin(); it != q.end(); ++it)
        if (!QStringList{"SQL_IB", "SQL_MSSQL", "SQL_ORACLE", "SQL"}.contains(it.key()))
            bad(QStringLiteral("\"query\": chave desconhecida \"%1\"").arg(it.key()));
    d.sqlIB = lines(q, QStringLiteral("SQL_IB"));
    d.sqlMSSQL = lines(q, QStringLiteral("SQL_MSSQL"));
    d.sqlOracle = lines(q, QStringLiteral("SQL_ORACLE"));
    d.sql = lines(q, QStringLiteral("SQL"));
    const QStringList texts{d.sqlIB.join(QLatin1Char('\n')), d.sqlMSSQL.join(QLatin1Char('\n')),
                            d.sqlOracle.join(QLatin1Char('\n')), d.sql.join(QLatin1Char('\n'))};
    if (texts.join(QString()).trimmed().isEmpty())
        bad(QStringLiteral("\"query\" sem texto SQL"));
    for (const QString& t : texts)
        for (const QString& name : SqlParamNames(t))
            if (!d.findParam(name))
                bad(QStringLiteral("a consulta usa o parâmetro \"%1\", que não está declarado em "
                                   "\"parameters\"")
                        .arg(name));

    const QJsonObject page = root.value(QStringLiteral("page")).toObject();
    const QString size = text(page, QStringLiteral("size"), QStringLiteral("page"));
    if (size == QLatin1String("Letter"))
        d.pageSize = QPageSize(QPageSize::Letter);
    else if (size == QLatin1String("A5"))
        d.pageSize = QPageSize(QPageSize::A5);
    else if (!size.isEmpty() && size != QLatin1String("A4"))
        bad(QStringLiteral("\"page.size\": A4, A5 ou Letter"));
    const QString orient = text(page, QStringLiteral("orientation"), QStringLiteral("page"));
    if (orient == QLatin1String("landscape"))
        d.orientation = QPageLayout::Landscape;
    else if (!orient.isEmpty() && orient != QLatin1String("portrait"))
        bad(QStringLiteral("\"page.orientation\": portrait ou landscape"));

    const QJsonValue copies = root.value(QStringLiteral("copies"));
    if (!copies.isUndefined() && !copies.isArray())
        bad(QStringLiteral("\"copies\" deve ser uma lista"));
    const QJsonArray carr = copies.toArray();
    for (int i = 0; i < carr.size(); ++i) {
        const QString ctx = QStringLiteral("copies[%1]").arg(i);
        const QJsonObject c = carr[i].toObject();
        d.copies << TReportCopy{number(c, QStringLiteral("dy"), ctx, false),
                                text(c, QStringLiteral("label"), ctx)};
    }
    if (d.copies.isEmpty())
        d.copies << TReportCopy{};

    const QJsonValue styles = root.value(QStringLiteral("styles"));
    if (!styles.isUndefined() && !styles.isObject())
        bad(QStringLiteral("\"styles\" deve ser um objeto"));
    d.elements = elements(root, QStringLiteral("elements"), styles.toObject());
    d.pageElements = elements(root, QStringLiteral("pageElements"), styles.toObject());
    if (d.elements.isEmpty() && d.pageElements.isEmpty())
        bad(QStringLiteral("a página não tem elementos"));
    return d;
}

} // namespace

const TReportParamDef* TReportDefinition::findParam(const QString& name) const {
    for (const TReportParamDef& p : params)
        if (p.name.compare(name, Qt::CaseInsensitive) == 0)
            return &p;
    return nullptr;
}

QVariant ReportParamValue(const TReportParamDef& def, const QString& value) {
    auto refuse = [&](const char* kind) -> QVariant {
        throw EReportParameter(QStringLiteral("Valor inválido para o parâmetro '%1' (%2): '%3'.")
                                   .arg(def.name, QLatin1String(kind), value));
    };
    const QString t = value.trimmed();
    switch (def.type) {
    case TReportParamType::String:
        return value;
    case TReportParamType::Integer: {
        if (t.isEmpty())
            return QVariant();
        bool ok = false;
        const qlonglong v = t.toLongLong(&ok);
        return ok ? QVariant(v) : refuse("inteiro");
    }
    case TReportParamType::Float: {
        if (t.isEmpty())
            return QVariant();
        bool ok = false;
        double v = t.toDouble(&ok);
        if (!ok)
            v = QLocale(QLocale::Portuguese, QLocale::Brazil).toDouble(t, &ok);
        return ok ? QVariant(v) : refuse("número");
    }
    case TReportParamType::Date: {
        if (t.isEmpty())
            return QVariant();
        QDate d = QDate::fromString(t, QStringLiteral("dd/MM/yyyy"));
        if (!d.isValid())
            d = QDate::fromString(t, Qt::ISODate);
        return d.isValid() ? QVariant(d) : refuse("data");
    }
    }
    return value;
}

QStringList FindReportDefinitions(const QString& dir, const QString& code) {
    if (code.isEmpty() || dir.isEmpty())
        return {};
    QDir d(dir);
    QStringList exact, variants;
    const QFileInfoList files =
        d.entryInfoList({QStringLiteral("*.json")}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo& f : files) {
        const QString base = f.completeBaseName();
        if (base.compare(code, Qt::CaseInsensitive) == 0)
            exact << f.absoluteFilePath();
        else if (base.startsWith(code + QLatin1Char('-'), Qt::CaseInsensitive))
            variants << f.absoluteFilePath();
    }
    return exact + variants;
}

TReportDefinition LoadReportDefinition(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        throw EHostError(QStringLiteral("%1: %2").arg(file, f.errorString()));
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &err);
    if (err.error != QJsonParseError::NoError)
        throw EHostError(QStringLiteral("%1: JSON inválido na posição %2: %3")
                             .arg(file)
                             .arg(err.offset)
                             .arg(err.errorString()));
    if (!doc.isObject())
        throw EHostError(QStringLiteral("%1: o arquivo deve conter um objeto JSON").arg(file));
    try {
        TReportDefinition d = parse(doc.object());
        d.file = QFileInfo(file).absoluteFilePath();
        return d;
    } catch (const TBad& b) {
        throw EHostError(QStringLiteral("%1: %2.").arg(file, b.why));
    }
}

TReportDefinition OpenReportDefinition(const QString& dir, const QString& code, const QString& file,
                                       const QString& notFoundText) {
    const QString missing = Format(notFoundText, {code, dir});
    QString path = file;
    if (path.isEmpty())
        path = FindReportDefinitions(dir, code).value(0);
    if (path.isEmpty() || !QFileInfo(path).isFile())
        throw EReportDefinition(missing, code, dir, QString());
    try {
        return LoadReportDefinition(path);
    } catch (const EHostError& e) {
        throw EReportDefinition(missing + QLatin1Char('\n') + e.text(), code, dir, e.text());
    }
}

QString DefaultReportNotFoundText() {
    return TMessages(TfrmDadosGerRel::BaseMessages()).Msg(QStringLiteral("Arq_Rel_Err"));
}
