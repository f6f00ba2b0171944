#pragma once
// One run of a report definition: the parameter values and the rows its query returned, laid
// out one page per row. The constructor checks everything a page will need (every name a
// template uses, every barcode's digits), so that painting cannot fail half-way: a wrong value
// stops the report before anything reaches the printer.
#include "ReportDefinition.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QVariantMap>

class QPagedPaintDevice;
class QPainter;
class QPrinter;

using TReportRow = QHash<QString, QVariant>; // column (upper case) -> value

// Texts of templates: "{NAME}" or "{NAME:format}" is replaced by the value of a column of the
// row, else of a parameter, else of COPY (the copy's label), PAGE or PAGES; "{{" and "}}" are
// braces. Formats: money (1.234,56), date (dd/MM/yyyy), datetime (dd/MM/yyyy HH:mm), month
// (MM/yyyy), cnpj (CNPJ or CPF mask by the number of digits), upper, int. Without a format an
// amount shows as money and a date as a date.
class FIS_EXPORT TReportDocument {
public:
    // Throws EHostError for a template name that is neither column nor parameter, or a barcode
    // value that is not an even count of digits (or not the count the definition asks for).
    TReportDocument(TReportDefinition definition, QVariantMap params, QList<TReportRow> rows);

    const TReportDefinition& Definition() const { return m_def; }
    const QVariantMap& Params() const { return m_params; }
    const QList<TReportRow>& Rows() const { return m_rows; }
    int PageCount() const { return int(m_rows.size()); }

    QString Expand(const QString& tmpl, int page, int copy) const;
    bool Visible(const TReportElement& e, int page) const;

    // The definition's page size and orientation with no margins: positions are measured from
    // the paper's corner.
    QPageLayout PageLayout() const;
    // Sets the layout on printer (full page) and prints every page; EHostError when the printer
    // cannot be opened.
    void Print(QPrinter& printer) const;
    // Writes every page to a PDF file, replacing it only once the whole file is written.
    void WritePdf(const QString& file) const;
    // Paints every page on a device whose page layout is already set (begins and ends painter).
    void PaintAll(QPagedPaintDevice& device) const;
    // Paints one page (0-based) with painter already active on a page of the layout.
    void PaintPage(QPainter& painter, int page) const;

private:
    QVariant lookup(const QString& name, int page, int copy, bool* found) const;
    QString imagePath(const QString& source) const;
    TReportDefinition m_def;
    QVariantMap m_params;
    QList<TReportRow> m_rows;
    // One image object per file: a PDF then holds each picture once, however many pages use it.
    mutable QHash<QString, QImage> m_images;
};

// The bars of an Interleaved 2 of 5 symbol of digits as Zint encodes it (no added check
// digit): each bar's start and width in narrow-element modules. total is the symbol's width in
// modules. EHostError when digits are not an even, non-empty count of digits.
struct TBarcodeBars {
    QList<QPair<int, int>> bars;
    int total = 0;
};
FIS_EXPORT TBarcodeBars InterleavedBars(const QString& digits);

// Money in Brazilian form, dates dd/MM/yyyy and the other template formats.
FIS_EXPORT QString ReportFormat(const QVariant& value, const QString& format);
