#pragma once
// Bringing a database made by an earlier schema up to this one.
#include <QSqlDatabase>
#include <QString>

namespace FisDb {

// Issuing a guide writes fewer index pages since the payable's references (company, supplier,
// the note's tax row, the guide's payable) moved from foreign keys, an index each, to the
// triggers of schema.sql, and the guide history's key became the index its audit reads. On a
// database that still has the older keys this creates the triggers and swaps the keys, in one
// transaction. Empty when done or when there was nothing to do; otherwise the reason, and the
// database is left as it was (its keys keep the same rules, at a higher cost per issue).
QString upgradeSchema(QSqlDatabase& db);

} // namespace FisDb
