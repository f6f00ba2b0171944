#pragma once
// Demo data for a fresh database, and the check digits of Brazilian registrations it needs.
//
// The data set is deterministic: the same options give the same rows. Dates are laid out
// backwards from options.anchor (default: today), so a clerk's default filter (the current
// month) finds notes whatever day the database is made: every company has entry and exit notes
// of every tax the filter offers between the first of the anchor's month and the anchor.
#include <QDate>
#include <QSqlDatabase>
#include <QString>

namespace FisDb {

// The two check digits of a CNPJ from its first 12 digits, or of a CPF from its first 9
// (modulo-11 rules of the federal registries). Empty text when the input is not all digits of
// that length.
QString cnpjCheckDigits(const QString& first12);
QString cpfCheckDigits(const QString& first9);

// Whether text (digits, optionally with ".", "/", "-") is a CNPJ / CPF with correct check
// digits. Numbers made of one repeated digit pass the arithmetic but are not issued, so they
// are refused.
bool isValidCnpj(const QString& text);
bool isValidCpf(const QString& text);

// "12345678000195" -> "12.345.678/0001-95"; other lengths come back unchanged.
QString formatCnpj(const QString& digits);

struct DemoOptions {
    int notes = 300;      // fiscal notes to generate
    quint32 seed = 98100; // same seed, same data
    QDate anchor;         // last day with notes; invalid means today
};

struct DemoSummary {
    int companies = 0;
    int customers = 0;
    int suppliers = 0;
    int notes = 0;
    int noteTaxes = 0; // rows of IMPOSTONF
    int payables = 0;  // guides already issued
    qint64 elapsedMs = 0;
};

// Fills an empty schema in one transaction (rolled back on failure). Throws EHostError with
// the driver's and the database's text.
DemoSummary fillDemoData(QSqlDatabase db, const DemoOptions& options = {});

// Reference dates of the fiscal parameters the demo data uses (payment, due): the day counts
// of the DARF barcode stay within 0..9999 for notes between 2022 and the 2040s.
QDate demoRefPagDarf();
QDate demoRefVencDarf();

} // namespace FisDb
