#pragma once
// Pure host services: padding, rounding, masks, dates and check digits.
// None of them touches the screen; all are safe to call from any thread.
#include "HostExport.h"

#include <QDate>
#include <QString>

// Left-pads text with '0' up to width. Text already as long or longer comes back unchanged:
// callers that need a bounded width check the length themselves.
FIS_EXPORT QString Ajusta(const QString& text, int width);

// True when text is empty or holds only white space.
FIS_EXPORT bool EmptyString(const QString& text);

// Rounds value to places decimals as the decimal number it prints as (2.675 -> 2.68),
// halves away from zero. places is clamped to 0..10.
FIS_EXPORT double RoundDec(double value, int places);

// Whole centavos of an amount in reais, rounded to the nearest centavo (halves away from zero).
// Throws EHostError for a value that is not finite or whose centavos do not fit in 64 bits.
FIS_EXPORT qint64 ToCentavos(double reais);

// The host's date edit mask; its empty text is "  /  /    ".
FIS_EXPORT QString DateMask();
// The text a date field shows when no date is typed.
FIS_EXPORT QString EmptyDateText();

// First day of the month of date (invalid stays invalid).
FIS_EXPORT QDate PriDiaMes(const QDate& date);

// Edit mask of a registration of the given person type: "F" (CPF, 11 digits),
// "J" (CNPJ, 14 digits). Any other type has no mask (empty text).
FIS_EXPORT QString PictPess(const QString& personType);

// Lays text into an edit mask ("body;save;blank"), like a masked edit shows it: see
// TEditMask::Format. An empty mask returns text.
FIS_EXPORT QString FormatMaskText(const QString& mask, const QString& text);

// Modulo-10 check digit of a digit string (from the right, weights 2,1,2,...; digits of each
// product summed; 10 - sum%10, 0 when the remainder is 0). Throws EHostError on a non-digit.
FIS_EXPORT QChar Mod10(const QString& digits);

// The 48 digits of the typable line of a 44-digit collection barcode: four blocks of eleven
// digits, each followed by its Mod10. Throws EHostError when barcode is not 44 digits.
FIS_EXPORT QString TransformaBarraLinhaDigi(const QString& barcode);

// Brazilian number text: 1234.5 -> "1.234,50" with the given decimals.
FIS_EXPORT QString FormatBR(double value, int decimals = 2);
