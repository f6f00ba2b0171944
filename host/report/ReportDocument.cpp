#include "ReportDocument.h"

#include "core/Services.h"

#include <QDir>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QPrinter>
#include <QSaveFile>
#include <cmath>
#include <limits>
#include <memory>
#include <zint.h>

namespace {

QString digitsOf(const QString& s) {
    QString out;
    for (const QChar c : s)
        if (c.isDigit())
            out += c;
    return out;
}

QDateTime asDateTime(const QVariant& v) {
    if (v.typeId() == QMetaType::QDate)
        return QDateTime(v.toDate(), QTime(0, 0));
    return v.toDateTime();
}

bool isBlank(const QVariant& v) {
    return !v.isValid() || v.isNull() || v.toString().trimmed().isEmpty();
}

} // namespace

QString ReportFormat(const QVariant& value, const QString& format) {
    const QString f = format.trimmed().toLower();
    static const QStringList known{"",      "money", "date",  "datetime",
                                   "month", "cnpj",  "upper", "int"};
    if (!known.contains(f))
        throw EHostError(QStringLiteral("Formato desconhecido '%1' no relatório.").arg(format));
    if (!value.isValid() || value.isNull())
        return QString();
    const int type = value.typeId();
    const bool isDate = type == QMetaType::QDate || type == QMetaType::QDateTime;
    if (f == QLatin1String("money"))
        return FormatBR(value.toDouble(), 2);
    if (f == QLatin1String("date"))
        return asDateTime(value).date().toString(QStringLiteral("dd/MM/yyyy"));
    if (f == QLatin1String("datetime"))
        return asDateTime(value).toString(QStringLiteral("dd/MM/yyyy HH:mm"));
    if (f == QLatin1String("month"))
        return asDateTime(value).date().toString(QStringLiteral("MM/yyyy"));
    if (f == QLatin1String("cnpj")) {
        const QString d = digitsOf(value.toString());
        if (d.size() == 14)
            return FormatMaskText(QStringLiteral("99.999.999/9999-99;0; "), d);
        if (d.size() == 11)
            return FormatMaskText(QStringLiteral("999.999.999-99;0; "), d);
        return value.toString();
    }
    if (f == QLatin1String("upper"))
        return value.toString().toUpper();
    if (f == QLatin1String("int"))
        return QString::number(value.toLongLong());
    if (type == QMetaType::Double || type == QMetaType::Float)
        return FormatBR(value.toDouble(), 2);
    if (isDate) {
        const QDateTime dt = asDateTime(value);
        return dt.time() == QTime(0, 0) ? dt.date().toString(QStringLiteral("dd/MM/yyyy"))
                                        : dt.toString(QStringLiteral("dd/MM/yyyy HH:mm"));
    }
    return value.toString();
}

TBarcodeBars InterleavedBars(const QString& digits) {
    if (digits.isEmpty() || digits.size() % 2 != 0 ||
        !std::all_of(digits.begin(), digits.end(),
                     [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
        throw EHostError(
            QStringLiteral("Código de barras inválido: '%1' (2 de 5 intercalado pede um número "
                           "par de dígitos).")
                .arg(digits));
    std::unique_ptr<zint_symbol, decltype(&ZBarcode_Delete)> sym(ZBarcode_Create(),
                                                                 &ZBarcode_Delete);
    if (!sym)
        throw EHostError(QStringLiteral("Sem memória para o código de barras."));
    sym->symbology = BARCODE_C25INTER;
    sym->option_2 = 0; // no added check digit: the 44 digits carry their own
    sym->show_hrt = 0;
    sym->whitespace_width = 0;
    sym->border_width = 0;
    const QByteArray data = digits.toLatin1();
    const int rc = ZBarcode_Encode_and_Buffer_Vector(
        sym.get(), reinterpret_cast<const unsigned char*>(data.constData()), int(data.size()), 0);
    if (rc >= ZINT_ERROR || !sym->vector || sym->width <= 0)
        throw EHostError(QStringLiteral("Zint recusou o código de barras '%1': %2")
                             .arg(digits, QString::fromLatin1(sym->errtxt)));
    // Zint's vector units depend on its scale; the symbol spans exactly sym->width modules
    // from the first bar's left edge to the last bar's right edge.
    double minX = std::numeric_limits<double>::max(), maxX = std::numeric_limits<double>::lowest();
    for (const zint_vector_rect* r = sym->vector->rectangles; r; r = r->next) {
        minX = std::min(minX, double(r->x));
        maxX = std::max(maxX, double(r->x + r->width));
    }
    const double unit = (maxX - minX) / sym->width;
    if (!(unit > 0))
        throw EHostError(QStringLiteral("Zint não desenhou o código de barras '%1'.").arg(digits));
    TBarcodeBars out;
    out.total = sym->width;
    for (const zint_vector_rect* r = sym->vector->rectangles; r; r = r->next)
        out.bars.append(
            {int(std::lround((r->x - minX) / unit)), int(std::lround(r->width / unit))});
    std::sort(out.bars.begin(), out.bars.end());
    return out;
}

TReportDocument::TReportDocument(TReportDefinition definition, QVariantMap params,
                                 QList<TReportRow> rows)
    : m_def(std::move(definition)), m_rows(std::move(rows)) {
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        m_params.insert(it.key().toUpper(), it.value());
    // Everything a page will need, checked now: painting must not fail half-way.
    for (int page = 0; page < PageCount(); ++page) {
        auto check = [&](const TReportElement& e, int copy) {
            if (!Visible(e, page))
                return;
            const QString value = Expand(e.text, page, copy);
            if (e.kind == TReportElementKind::Barcode && !value.isEmpty()) {
                if (e.length > 0 && value.size() != e.length)
                    throw EHostError(QStringLiteral("Código de barras com %1 dígitos ('%2'); o "
                                                    "relatório pede %3.")
                                         .arg(value.size())
                                         .arg(value)
                                         .arg(e.length));
                InterleavedBars(value);
            }
        };
        for (int c = 0; c < m_def.copies.size(); ++c)
            for (const TReportElement& e : m_def.elements)
                check(e, c);
        for (const TReportElement& e : m_def.pageElements)
            check(e, -1);
    }
}

QVariant TReportDocument::lookup(const QString& name, int page, int copy, bool* found) const {
    const QString key = name.trimmed().toUpper();
    *found = true;
    if (page >= 0 && page < m_rows.size()) {
        const auto it = m_rows[page].constFind(key);
        if (it != m_rows[page].cend())
            return it.value();
    }
    const auto p = m_params.constFind(key);
    if (p != m_params.cend())
        return p.value();
    if (key == QLatin1String("COPY"))
        return copy >= 0 && copy < m_def.copies.size() ? m_def.copies[copy].label : QString();
    if (key == QLatin1String("PAGE"))
        return page + 1;
    if (key == QLatin1String("PAGES"))
        return PageCount();
    // A declared parameter without a value is empty, not an error.
    if (m_def.findParam(key))
        return QVariant();
    *found = false;
    return QVariant();
}

QString TReportDocument::Expand(const QString& tmpl, int page, int copy) const {
    QString out;
    for (int i = 0; i < tmpl.size(); ++i) {
        const QChar c = tmpl[i];
        if ((c == QLatin1Char('{') || c == QLatin1Char('}')) && i + 1 < tmpl.size() &&
            tmpl[i + 1] == c) {
            out += c;
            ++i;
            continue;
        }
        if (c != QLatin1Char('{')) {
            out += c;
            continue;
        }
        const int end = tmpl.indexOf(QLatin1Char('}'), i + 1);
        if (end < 0)
            throw EHostError(
                QStringLiteral("Relatório '%1': '{' sem '}' em \"%2\".").arg(m_def.code, tmpl));
        const QString field = tmpl.mid(i + 1, end - i - 1);
        const int colon = field.indexOf(QLatin1Char(':'));
        const QString name = colon < 0 ? field : field.left(colon);
        const QString format = colon < 0 ? QString() : field.mid(colon + 1);
        bool found = false;
        const QVariant v = lookup(name, page, copy, &found);
        if (!found)
            throw EHostError(QStringLiteral("Relatório '%1': \"%2\" não é coluna da consulta nem "
                                            "parâmetro declarado.")
                                 .arg(m_def.code, name));
        out += ReportFormat(v, format);
        i = end;
    }
    return out;
}

bool TReportDocument::Visible(const TReportElement& e, int page) const {
    if (e.when.op == TReportCondition::Always)
        return true;
    bool found = false;
    const QVariant v = lookup(e.when.name, page, -1, &found);
    if (!found)
        throw EHostError(QStringLiteral("Relatório '%1': \"%2\" não é coluna da consulta nem "
                                        "parâmetro declarado.")
                             .arg(m_def.code, e.when.name));
    switch (e.when.op) {
    case TReportCondition::Equals:
        return ReportFormat(v, QString()) == e.when.value;
    case TReportCondition::NotEquals:
        return ReportFormat(v, QString()) != e.when.value;
    case TReportCondition::Empty:
        return isBlank(v);
    case TReportCondition::NotEmpty:
        return !isBlank(v);
    case TReportCondition::Always:
        break;
    }
    return true;
}

QPageLayout TReportDocument::PageLayout() const {
    QPageLayout layout(m_def.pageSize, m_def.orientation, QMarginsF(0, 0, 0, 0),
                       QPageLayout::Millimeter);
    layout.setMode(QPageLayout::FullPageMode);
    return layout;
}

QString TReportDocument::imagePath(const QString& source) const {
    if (source.isEmpty())
        return QString();
    // The screens build the image path with the platform's separator; a Windows-style one in a
    // definition is accepted too. A relative path belongs to the definition's folder.
    QString path = source;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (QFileInfo(path).isRelative())
        path = QFileInfo(m_def.file).absoluteDir().filePath(path);
    return path;
}

void TReportDocument::PaintPage(QPainter& p, int page) const {
    const double k = p.device()->logicalDpiX() / 25.4; // device units per millimetre
    const double dpi = p.device()->logicalDpiX();
    auto mm = [k](const QRectF& r, double dy) {
        return QRectF(r.x() * k, (r.y() + dy) * k, r.width() * k, r.height() * k);
    };
    auto penOf = [k](const TReportElement& e) {
        if (e.pen <= 0)
            return QPen(Qt::NoPen);
        QPen pen(e.color, e.pen * k);
        if (e.dash)
            pen.setDashPattern({8, 5});
        pen.setCapStyle(Qt::FlatCap);
        pen.setJoinStyle(Qt::MiterJoin);
        return pen;
    };

    auto draw = [&](const TReportElement& e, int copy, double dy) {
        if (!Visible(e, page))
            return;
        switch (e.kind) {
        case TReportElementKind::Text: {
            const QString text = Expand(e.text, page, copy);
            const QRectF r = mm(e.rect, dy);
            if (e.fill.isValid())
                p.fillRect(r, e.fill);
            if (text.isEmpty())
                return;
            QFont f(e.font.family);
            if (e.font.mono) {
                f.setStyleHint(QFont::Monospace);
                f.setFixedPitch(true);
            }
            f.setBold(e.font.bold);
            f.setItalic(e.font.italic);
            double size = e.font.size;
            f.setPointSizeF(size);
            if (e.shrink && !e.wrap) {
                while (size > 4 &&
                       QFontMetricsF(f, p.device()).horizontalAdvance(text) > r.width()) {
                    size -= 0.25;
                    f.setPointSizeF(size);
                }
            }
            p.setFont(f);
            p.setPen(e.color);
            p.drawText(r, int(e.align) | (e.wrap ? Qt::TextWordWrap : Qt::TextSingleLine), text);
            break;
        }
        case TReportElementKind::Box:
            p.setPen(penOf(e));
            p.setBrush(e.fill.isValid() ? QBrush(e.fill) : QBrush(Qt::NoBrush));
            p.drawRect(mm(e.rect, dy));
            break;
        case TReportElementKind::Line:
            p.setPen(penOf(e));
            p.drawLine(QLineF(e.line.x1() * k, (e.line.y1() + dy) * k, e.line.x2() * k,
                              (e.line.y2() + dy) * k));
            break;
        case TReportElementKind::Image: {
            const QString path = imagePath(Expand(e.text, page, copy));
            if (path.isEmpty() || !QFileInfo(path).isFile())
                return; // the page without it
            auto cached = m_images.find(path);
            if (cached == m_images.end())
                cached = m_images.insert(path, QImage(path));
            const QImage& img = cached.value();
            if (img.isNull())
                return;
            const QRectF r = mm(e.rect, dy);
            QSizeF s = QSizeF(img.size()).scaled(r.size(), Qt::KeepAspectRatio);
            const QRectF target(r.x() + (r.width() - s.width()) / 2,
                                r.y() + (r.height() - s.height()) / 2, s.width(), s.height());
            p.setRenderHint(QPainter::SmoothPixmapTransform, true);
            p.drawImage(target, img);
            break;
        }
        case TReportElementKind::Barcode: {
            const QString digits = Expand(e.text, page, copy);
            if (digits.isEmpty())
                return;
            const TBarcodeBars bars = InterleavedBars(digits);
            double x0 = e.rect.x() * k;
            const double y0 = (e.rect.y() + dy) * k;
            const double h = e.rect.height() * k;
            double m = e.module * k;
            // On a raster device every bar edge falls on a whole dot, so that the printer
            // never rounds one bar wider than another.
            if (dpi >= 300) {
                m = std::max(1.0, std::round(m));
                x0 = std::round(x0);
            }
            const double quiet = e.quiet * k, gap = e.rules * k, width = bars.total * m;
            p.fillRect(QRectF(x0 - quiet, y0 - gap, width + 2 * quiet, h + 2 * gap), Qt::white);
            p.setPen(Qt::NoPen);
            for (const auto& bar : bars.bars)
                p.fillRect(QRectF(x0 + bar.first * m, y0, bar.second * m, h), Qt::black);
            if (e.rules > 0) {
                QPen pen(Qt::black, std::max(0.2 * k, 1.0));
                pen.setCapStyle(Qt::FlatCap);
                p.setPen(pen);
                p.drawLine(QLineF(x0 - quiet, y0 - gap, x0 + width + quiet, y0 - gap));
                p.drawLine(QLineF(x0 - quiet, y0 + h + gap, x0 + width + quiet, y0 + h + gap));
            }
            break;
        }
        }
    };

    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    for (const TReportElement& e : m_def.pageElements)
        draw(e, -1, 0);
    for (int c = 0; c < m_def.copies.size(); ++c)
        for (const TReportElement& e : m_def.elements)
            draw(e, c, m_def.copies[c].dy);
    p.restore();
}

void TReportDocument::PaintAll(QPagedPaintDevice& device) const {
    QPainter painter;
    if (!painter.begin(&device))
        throw EHostError(QStringLiteral("Não foi possível iniciar a impressão do relatório '%1'.")
                             .arg(m_def.code));
    try {
        for (int i = 0; i < PageCount(); ++i) {
            if (i > 0)
                device.newPage();
            PaintPage(painter, i);
        }
    } catch (...) {
        painter.end();
        throw;
    }
    painter.end();
}

void TReportDocument::Print(QPrinter& printer) const {
    printer.setFullPage(true);
    printer.setPageLayout(PageLayout());
    printer.setDocName(m_def.title.isEmpty() ? m_def.code : m_def.title);
    PaintAll(printer);
}

void TReportDocument::WritePdf(const QString& file) const {
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        throw EHostError(QStringLiteral("Não foi possível gravar o arquivo '%1': %2")
                             .arg(file, out.errorString()));
    {
        QPdfWriter writer(&out);
        writer.setResolution(1200);
        writer.setPageLayout(PageLayout());
        writer.setTitle(m_def.title.isEmpty() ? m_def.code : m_def.title);
        writer.setCreator(QStringLiteral("fis98100"));
        PaintAll(writer);
    }
    if (!out.commit())
        throw EHostError(QStringLiteral("Não foi possível gravar o arquivo '%1': %2")
                             .arg(file, out.errorString()));
}
