#pragma once
// DARF collection barcode (FEBRABAN arrecadação layout, segment 5, body code 0064) and its
// typable line. Pure: no dataset, no screen; the issue run copies the note's values in.
#include <QDate>
#include <QString>
#include <QStringList>
#include <optional>

// The values one composition reads: the note's amounts, dates and revenue code, the fiscal
// parameters' reference dates and the chosen company's registration.
struct TDarfInput {
    std::optional<double> VRIMPOSTONF; // tax; empty counts as 0
    std::optional<double> VRJUROGUIA;  // interest; empty counts as 0
    std::optional<double> VRMULTAGUIA; // fine; empty counts as 0
    QDate DTVENCGUIA;                  // due date
    QDate DTENTRSAID;                  // entry/exit date
    QString CDRECEGUIA;                // revenue code, four digits
    QDate DTREFPAGDARF;                // payment reference date (fiscal parameters)
    QDate DTREFVENCDARF;               // due reference date (fiscal parameters)
    QString NRINSJUREMPR;              // company registration, CNPJ or CPF, punctuation allowed
};

struct TDarfBarcode {
    QString STBARRAGUIA;      // 44 digits
    QString STLINHADIGI;      // 55 characters: four "ddddddddddd.d" groups, one blank apart
    double VRIMPOSTONF = 0;   // tax + interest + fine rounded to the centavo
    qint64 totalCentavos = 0; // the same total in whole centavos, as positions 5-15 carry it
};

// Composes the barcode and typable line of one note. Refuses (EHostError, Portuguese text naming
// the value) anything that would not fit its field or that a bank would misread: a negative
// total or one over 11 digits of centavos, a missing date, a day count outside 0..9999, a
// registration that is empty, longer than 14 digits or not numeric, a revenue code that is not
// exactly four digits.
TDarfBarcode MontaBarraDarf(const TDarfInput& input);

// The mask that lays the 48 digits of TransformaBarraLinhaDigi into the typable line.
QString DarfLineMask();

// Verification of a barcode (44 digits) or typable line (48 digits once blanks, "." and "-" are
// removed) as support staff type it.
struct TDarfCheck {
    bool isLine = false;
    QString barcode;    // 44 digits (from the line: its groups without their check digits)
    QString line;       // 55-character form recomposed from barcode, with correct check digits
    QStringList faults; // one Portuguese text per wrong digit; empty when all are right
};

// Throws EHostError when text holds other characters or the wrong number of digits.
TDarfCheck ConfereBarraDarf(const QString& text);
