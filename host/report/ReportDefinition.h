#pragma once
// Report definitions: one JSON file per report, kept in the report directory and found by the
// report code ("FIS981.json", variants "FIS981-<name>.json"). A definition holds the query in
// each SQL dialect, the parameters it declares and the page layout. database/reports/README.md
// documents the format; LoadReportDefinition refuses a file that does not follow it, so that a
// wrong definition fails when it is opened and never half-way through a printed page.
#include "core/HostExceptions.h"

#include <QColor>
#include <QLineF>
#include <QList>
#include <QPageLayout>
#include <QPageSize>
#include <QRectF>
#include <QStringList>
#include <QVariant>

// A definition that is missing or cannot be read. text() is what the clerk reads (the screen's
// "Arq_Rel_Err" text, then the reason on a second line when the file exists but is unreadable).
class FIS_EXPORT EReportDefinition : public EHostError {
public:
    EReportDefinition(const QString& text, const QString& code, const QString& dir,
                      const QString& detail)
        : EHostError(text), m_code(code), m_dir(dir), m_detail(detail) {}
    const QString& code() const { return m_code; }
    const QString& dir() const { return m_dir; }
    // Empty when no definition file was found; else why the file was refused.
    const QString& detail() const { return m_detail; }

private:
    QString m_code, m_dir, m_detail;
};

// A parameter value the definition does not declare, or one that does not fit its type.
class FIS_EXPORT EReportParameter : public EHostError {
public:
    using EHostError::EHostError;
};

enum class TReportParamType { String, Integer, Float, Date };

struct TReportParamDef {
    QString name;
    TReportParamType type = TReportParamType::String;
    QVariant defaultValue; // invalid when none
};

// Converts text to a parameter's type (dates dd/MM/yyyy or yyyy-MM-dd, numbers with "." or ",");
// EReportParameter naming the parameter when it does not fit.
FIS_EXPORT QVariant ReportParamValue(const TReportParamDef& def, const QString& text);

struct TReportFont {
    QString family = QStringLiteral("DejaVu Sans");
    double size = 8; // points
    bool bold = false;
    bool italic = false;
    bool mono = false;
};

// When an element is drawn: always, or by the value of a column or parameter.
struct TReportCondition {
    enum Op { Always, Equals, NotEquals, Empty, NotEmpty };
    Op op = Always;
    QString name;
    QString value;
};

enum class TReportElementKind { Text, Box, Line, Image, Barcode };

struct TReportElement {
    TReportElementKind kind = TReportElementKind::Text;
    QRectF rect;  // millimetres from the page's top-left corner (text, box, image, barcode)
    QLineF line;  // millimetres (line)
    QString text; // text: template; image: file template; barcode: value template
    TReportFont font;
    Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter;
    bool wrap = false;
    bool shrink = false; // a single-line text too wide for its rectangle gets a smaller font
    QColor color = Qt::black;
    QColor fill;      // invalid: no fill
    double pen = 0.2; // line width, mm (0: no outline)
    bool dash = false;
    // Barcode: Interleaved 2 of 5 without an added check digit. rect.topLeft is where the first
    // bar starts; the width follows from the module and the digits; rect.height the bar height.
    double module = 0.254; // narrow element, mm
    double quiet = 5;      // blank kept before the first and after the last bar, mm
    int length = 0;        // digits required (0: any even count)
    double rules = 0;      // > 0: horizontal rules this far above and below the bars, mm
    TReportCondition when;
};

struct TReportCopy {
    double dy = 0; // the copy's elements move down by this, mm
    QString label; // {COPY} in its texts
};

struct TReportDefinition {
    QString file;
    QString code;
    QString title;
    QList<TReportParamDef> params;
    QStringList sqlIB, sqlMSSQL, sqlOracle, sql;
    QPageSize pageSize = QPageSize(QPageSize::A4);
    QPageLayout::Orientation orientation = QPageLayout::Portrait;
    QList<TReportCopy> copies;          // at least one
    QList<TReportElement> elements;     // drawn once per copy on every page
    QList<TReportElement> pageElements; // drawn once on every page

    const TReportParamDef* findParam(const QString& name) const; // case-insensitive
};

// The definition files of code in dir: "<code>.json" first, then "<code>-*.json" by name (the
// base name compares without case). Empty when the directory or the files are missing.
FIS_EXPORT QStringList FindReportDefinitions(const QString& dir, const QString& code);

// Reads and checks one definition. Throws EHostError with the reason (file not readable, not
// JSON, a missing or wrong value, a query parameter that is not declared).
FIS_EXPORT TReportDefinition LoadReportDefinition(const QString& file);

// The definition of code in dir: file when given (it must exist), else the first found.
// Missing or unreadable: EReportDefinition with notFoundText ("...'%s'...'%s'.", code and dir
// in that order) and, for an unreadable file, the reason on a second line.
FIS_EXPORT TReportDefinition OpenReportDefinition(const QString& dir, const QString& code,
                                                  const QString& file, const QString& notFoundText);

// The text of "Arq_Rel_Err" of the report base form's table.
FIS_EXPORT QString DefaultReportNotFoundText();
