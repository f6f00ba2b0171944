#include "DataSet.h"

#include "FieldValues.h"
#include "core/Envelope.h"
#include "core/Frame.h"
#include "core/HostExceptions.h"

#include <QCborStreamReader>
#include <QVarLengthArray>

#include <algorithm>
#include <functional>

namespace {

int expectedTypeId(TFieldType t) {
    switch (t) {
    case TFieldType::String:
    case TFieldType::FixedChar:
        return QMetaType::QString;
    case TFieldType::Float:
        return QMetaType::Double;
    case TFieldType::DateTime:
        return QMetaType::QDateTime;
    case TFieldType::Integer:
        return QMetaType::LongLong;
    }
    return QMetaType::UnknownType;
}

// Null first, then by value.
int compareValues(const QVariant& a, const QVariant& b) {
    const bool na = isNullValue(a), nb = isNullValue(b);
    if (na || nb)
        return na == nb ? 0 : (na ? -1 : 1);
    switch (a.typeId()) {
    case QMetaType::QString:
        return a.toString().compare(b.toString());
    case QMetaType::Double: {
        const double x = a.toDouble(), y = b.toDouble();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    case QMetaType::LongLong: {
        const qint64 x = a.toLongLong(), y = b.toLongLong();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    case QMetaType::QDateTime: {
        const QDateTime x = a.toDateTime(), y = b.toDateTime();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    default:
        return a.toString().compare(b.toString());
    }
}

bool sameValue(const QVariant& a, const QVariant& b) {
    const bool na = isNullValue(a), nb = isNullValue(b);
    if (na || nb)
        return na == nb;
    return a == b;
}

QString fieldTypeText(TFieldType t) {
    return fieldTypeName(t);
}

} // namespace

TDataSet::TDataSet(QObject* owner) : QObject(owner) {}

TDataSet::~TDataSet() {
    for (TDataSource* s : std::as_const(m_sources))
        s->m_dataSet = nullptr;
}

TField* TDataSet::AddField(const QString& name, TFieldType type, int size) {
    if (Active())
        throw EHostError(
            QStringLiteral("Não é possível definir campos com o conjunto de dados aberto."));
    if (name.isEmpty())
        throw EHostError(QStringLiteral("Campo sem nome."));
    if (FindField(name))
        throw EHostError(QStringLiteral("Campo '%1' duplicado.").arg(name));
    if (m_autoFields) {
        m_fields.clear();
        m_autoFields = false;
    }
    auto f = std::make_unique<TField>(this, name, type, size);
    f->m_index = int(m_fields.size());
    m_fields.push_back(std::move(f));
    refreshSortKeys();
    notify(deLayoutChange);
    return m_fields.back().get();
}

void TDataSet::ClearFields() {
    if (Active())
        throw EHostError(
            QStringLiteral("Não é possível definir campos com o conjunto de dados aberto."));
    m_fields.clear();
    m_autoFields = false;
    refreshSortKeys();
    notify(deLayoutChange);
}

TField* TDataSet::Fields(int index) const {
    if (index < 0 || index >= int(m_fields.size()))
        throw EHostError(QStringLiteral("Índice de campo fora dos limites: %1.").arg(index));
    return m_fields[size_t(index)].get();
}

TField* TDataSet::FindField(const QString& name) const {
    for (const auto& f : m_fields)
        if (f->m_name.compare(name, Qt::CaseInsensitive) == 0)
            return f.get();
    return nullptr;
}

TField* TDataSet::FieldByName(const QString& name) const {
    if (TField* f = FindField(name))
        return f;
    throw EHostError(QStringLiteral("Campo '%1' não encontrado.").arg(name));
}

void TDataSet::setActive(bool active) {
    if (active)
        Open();
    else
        Close();
}

void TDataSet::checkActive() const {
    if (!Active())
        throw EHostError(QStringLiteral("Operação não permitida com o conjunto de dados fechado."));
}

void TDataSet::setState(TDataSetState state) {
    if (state == m_state)
        return;
    m_state = state;
    notify(deUpdateState);
}

void TDataSet::notify(TDataEvent event, TField* field) {
    if (m_disableCount > 0 && event != deUpdateRecord && event != deFocusControl)
        return;
    if (event == deUpdateState)
        m_notifiedState = m_state;
    const QList<TDataSource*> sources = m_sources;
    for (TDataSource* s : sources)
        if (m_sources.contains(s))
            s->dataSetEvent(event, field);
}

void TDataSet::EnableControls() {
    if (m_disableCount == 0)
        return;
    if (--m_disableCount > 0)
        return;
    if (m_notifiedState != m_state)
        notify(deUpdateState);
    notify(deDataSetChange);
}

void TDataSet::Open() {
    if (Active())
        return;
    if (BeforeOpen)
        BeforeOpen(this);
    createEmpty();
}

void TDataSet::createEmpty() {
    if (m_fields.empty())
        throw EHostError(QStringLiteral("O conjunto de dados não tem definição de campos."));
    if (Active() && editing())
        Cancel();
    m_rows.clear();
    m_arena.clear();
    m_changed.clear();
    leaveEdit(dsBrowse);
    rebuildView(0);
    clearCursor();
    notify(deUpdateState);
    notify(deDataSetChange);
    if (AfterOpen)
        AfterOpen(this);
}

void TDataSet::Close() {
    if (!Active())
        return;
    checkBrowseMode();
    if (BeforeClose)
        BeforeClose(this);
    leaveEdit(dsInactive);
    m_rows.clear();
    m_arena.clear();
    dropRowCache();
    m_view.clear();
    m_identityView = true;
    m_changed.clear();
    clearCursor();
    if (m_autoFields) {
        m_fields.clear();
        m_autoFields = false;
        refreshSortKeys();
        notify(deLayoutChange);
    }
    notify(deUpdateState);
    notify(deDataSetChange);
    if (AfterClose)
        AfterClose(this);
}

// --- view ------------------------------------------------------------------------------------

int TDataSet::RecordCount() const {
    if (!Active())
        return 0;
    return m_identityView ? int(m_rows.size()) : int(m_view.size());
}

bool TDataSet::IsEmpty() const {
    return RecordCount() == 0;
}

bool TDataSet::Eof() const {
    return !Active() || m_eof || IsEmpty();
}

bool TDataSet::Bof() const {
    return !Active() || m_bof || IsEmpty();
}

int TDataSet::RecNo() const {
    return (Active() && m_cur >= 0) ? m_cur + 1 : 0;
}

QVariantList TDataSet::rowValues(int pos) const {
    if (pos < 0 || pos >= RecordCount())
        return QVariantList();
    return storageValues(m_identityView ? pos : m_view[pos]);
}

QVariantList TDataSet::decodeRow(const Row& row) const {
    if (row.at < 0)
        return row.values;
    // Checked when loaded: a value that still does not read gives an empty value.
    const char* base = m_arena.constData() + row.at;
    const int nf = int(m_fields.size());
    QVarLengthArray<TFieldType, 32> types;
    for (const auto& f : m_fields)
        types.append(f->m_type);
    QVariantList out(nf);
    qsizetype at = 0;
    if (FisPacketScan::scanRow(base, row.size, at, types.constData(), nf, out.data(), -1, nullptr))
        return out;
    out.clear();
    QCborStreamReader r(base, row.size);
    r.enterContainer();
    out.reserve(nf);
    for (const auto& f : m_fields) {
        QVariant v;
        if (!r.hasNext() || !readPacketValue(r, base, f->m_type, &v))
            v = QVariant();
        out.append(v);
    }
    return out;
}

QVariantList TDataSet::storageValues(int storage) const {
    const Row& row = m_rows[size_t(storage)];
    if (row.at < 0)
        return row.values;
    for (const CachedRow& c : m_rowCache)
        if (c.id == row.id)
            return c.values;
    CachedRow& c = m_rowCache[m_rowCacheNext];
    m_rowCacheNext = (m_rowCacheNext + 1) % int(std::size(m_rowCache));
    c.values = decodeRow(row);
    c.id = row.id;
    return c.values;
}

QVariant TDataSet::storageValue(int storage, int fieldIndex) const {
    const Row& row = m_rows[size_t(storage)];
    if (row.at < 0 || fieldIndex < 0 || fieldIndex >= int(m_fields.size()))
        return row.values.value(fieldIndex);
    for (const CachedRow& c : m_rowCache)
        if (c.id == row.id)
            return c.values.value(fieldIndex);
    const char* base = m_arena.constData() + row.at;
    const int nf = int(m_fields.size());
    QVarLengthArray<TFieldType, 32> types;
    for (const auto& f : m_fields)
        types.append(f->m_type);
    QVarLengthArray<QVariant, 32> one(nf);
    qsizetype at = 0;
    if (FisPacketScan::scanRow(base, row.size, at, types.constData(), nf, one.data(), fieldIndex,
                               nullptr))
        return one[fieldIndex];
    QCborStreamReader r(base, row.size);
    r.enterContainer();
    for (int i = 0; i < fieldIndex && r.hasNext(); ++i)
        r.next(FisFrame::MaxDepth);
    QVariant v;
    if (!r.hasNext() || !readPacketValue(r, base, m_fields[size_t(fieldIndex)]->m_type, &v))
        return QVariant();
    return v;
}

void TDataSet::dropRowCache() const {
    for (CachedRow& c : m_rowCache)
        c = CachedRow();
}

qint64 TDataSet::currentId() const {
    if (m_cur < 0 || m_cur >= RecordCount())
        return 0;
    const int s = m_identityView ? m_cur : m_view[m_cur];
    return m_rows[size_t(s)].id;
}

int TDataSet::posOfId(qint64 id) const {
    if (id == 0)
        return -1;
    const int n = RecordCount();
    for (int p = 0; p < n; ++p) {
        const int s = m_identityView ? p : m_view[p];
        if (m_rows[size_t(s)].id == id)
            return p;
    }
    return -1;
}

int TDataSet::posOfBookmark(TBookmark bookmark) const {
    if (const int p = posOfId(bookmark); p >= 0 || m_loads.isEmpty())
        return p;
    // A row of an earlier load: the row at its place in the latest load.
    const LoadRange& latest = m_loads.last();
    if (bookmark >= latest.firstId)
        return -1; // of this load (deleted) or inserted since
    for (int i = int(m_loads.size()) - 2; i >= 0; --i) {
        const LoadRange& l = m_loads[i];
        if (bookmark >= l.firstId && bookmark < l.firstId + l.count) {
            const qint64 k = bookmark - l.firstId;
            return k < latest.count ? posOfId(latest.firstId + k) : -1;
        }
    }
    return -1;
}

void TDataSet::refreshSortKeys() {
    // Keys follow the field definitions; an index naming a field not (yet) defined waits.
    m_sortFields.clear();
    for (const QString& f : m_indexFields.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        TField* field = FindField(f.trimmed());
        if (!field) {
            m_sortFields.clear();
            return;
        }
        m_sortFields << field->Index();
    }
}

void TDataSet::sortView() {
    if (m_sortFields.isEmpty())
        return;
    const QList<int> keys = m_sortFields;
    // Each key decoded once per sort, not per comparison.
    const size_t nk = size_t(keys.size());
    std::vector<QVariant> key(m_rows.size() * nk);
    for (int s : std::as_const(m_view))
        for (size_t i = 0; i < nk; ++i)
            key[size_t(s) * nk + i] = storageValue(s, keys[qsizetype(i)]);
    std::stable_sort(m_view.begin(), m_view.end(), [&](int a, int b) {
        for (size_t i = 0; i < nk; ++i) {
            const int c = compareValues(key[size_t(a) * nk + i], key[size_t(b) * nk + i]);
            if (c != 0)
                return c < 0;
        }
        return false;
    });
}

void TDataSet::rebuildView(qint64 keepId) {
    const bool filtering = m_filtered && OnFilterRecord;
    if (m_sortFields.isEmpty() && !filtering) {
        m_identityView = true;
        m_view.clear();
    } else {
        m_identityView = false;
        m_view.clear();
        m_view.reserve(int(m_rows.size()));
        for (int s = 0; s < int(m_rows.size()); ++s) {
            if (filtering && s != m_insertedStorage) {
                bool accept = true;
                m_probeStorage = s;
                try {
                    OnFilterRecord(this, accept);
                } catch (...) {
                    m_probeStorage = -1;
                    throw;
                }
                m_probeStorage = -1;
                if (!accept)
                    continue;
            }
            m_view.append(s);
        }
        sortView();
    }
    const int n = RecordCount();
    const int p = posOfId(keepId);
    if (p >= 0)
        m_cur = p;
    else
        m_cur = n == 0 ? -1 : std::clamp(m_cur, 0, n - 1);
}

// --- values ----------------------------------------------------------------------------------

QVariant TDataSet::currentValue(int fieldIndex) const {
    if (!Active() || fieldIndex < 0)
        return QVariant();
    if (m_probeStorage >= 0)
        return storageValues(m_probeStorage).value(fieldIndex);
    if (m_displayPos >= 0 && m_displayPos != m_cur)
        return rowValues(m_displayPos).value(fieldIndex);
    if (editing())
        return m_editBuffer.value(fieldIndex);
    return rowValues(m_cur).value(fieldIndex);
}

QVariant TDataSet::ValueAt(int pos, int fieldIndex) const {
    if (!Active())
        return QVariant();
    if (pos == m_cur && editing())
        return m_editBuffer.value(fieldIndex);
    return rowValues(pos).value(fieldIndex);
}

QString TDataSet::DisplayTextAt(int pos, TField* field, bool display) const {
    if (!field || !Active() || pos < 0 || pos >= RecordCount())
        return QString();
    const int saved = m_displayPos;
    m_displayPos = pos;
    QString text;
    try {
        text = display ? field->DisplayText() : field->Text();
    } catch (...) {
        text = field->valueText(ValueAt(pos, field->Index()), display);
    }
    m_displayPos = saved;
    return text;
}

TDisplayRow::TDisplayRow(const TDataSet* dataSet, int pos)
    : m_dataSet(dataSet), m_saved(dataSet ? dataSet->m_displayPos : -1) {
    if (m_dataSet)
        m_dataSet->m_displayPos = pos;
}

TDisplayRow::~TDisplayRow() {
    if (m_dataSet)
        m_dataSet->m_displayPos = m_saved;
}

void TDataSet::writeValue(TField* field, const QVariant& value) {
    checkActive();
    if (!editing())
        throw EHostError(
            QStringLiteral("O conjunto de dados não está em modo de edição ou inclusão."));
    if (field->m_readOnly)
        throw EHostError(
            QStringLiteral("O campo '%1' não pode ser modificado.").arg(field->DisplayLabel()));
    QVariant v = coerceFieldValue(TPacketField{field->m_name, field->m_type, field->m_size}, value);
    if (isTextType(field->m_type) && !isNullValue(v)) {
        QString s = v.toString();
        if (s.isEmpty())
            v = QVariant();
        else if (field->m_size > 0 && s.size() > field->m_size)
            v = s.left(field->m_size);
    }
    if (sameValue(m_editBuffer.value(field->m_index), v))
        return;
    m_editBuffer[field->m_index] = v;
    m_modified = true;
    notify(deFieldChange, field);
    if (field->OnChange)
        field->OnChange(field);
}

// --- edit state and cursor -------------------------------------------------------------------

void TDataSet::leaveEdit(TDataSetState next) {
    m_editBuffer.clear();
    m_modified = false;
    m_insertedStorage = -1;
    m_state = next;
}

void TDataSet::clearCursor() {
    m_cur = -1;
    m_bof = m_eof = true;
}

void TDataSet::removeStorageRow(int storage) {
    m_rows.erase(m_rows.begin() + storage);
    if (!m_identityView) {
        m_view.removeAll(storage);
        for (int& v : m_view)
            if (v > storage)
                --v;
    }
    const int n = RecordCount();
    m_cur = n == 0 ? -1 : std::min(m_cur, n - 1);
    m_eof = n == 0;
    m_bof = n == 0;
}

// --- navigation ------------------------------------------------------------------------------

void TDataSet::checkBrowseMode() {
    if (!editing())
        return;
    notify(deUpdateRecord);
    if (!editing())
        return;
    if (m_modified)
        Post();
    else
        Cancel();
}

void TDataSet::scrollTo(int pos, bool) {
    m_cur = pos;
    notify(deDataSetScroll);
}

void TDataSet::First() {
    checkActive();
    checkBrowseMode();
    if (BeforeScroll)
        BeforeScroll(this);
    scrollTo(IsEmpty() ? -1 : 0);
    m_bof = true;
    m_eof = IsEmpty();
    if (AfterScroll)
        AfterScroll(this);
}

void TDataSet::Last() {
    checkActive();
    checkBrowseMode();
    if (BeforeScroll)
        BeforeScroll(this);
    scrollTo(RecordCount() - 1);
    m_eof = true;
    m_bof = IsEmpty();
    if (AfterScroll)
        AfterScroll(this);
}

int TDataSet::MoveBy(int distance) {
    checkActive();
    checkBrowseMode();
    if (BeforeScroll)
        BeforeScroll(this);
    const int n = RecordCount();
    int moved = 0;
    if (n == 0) {
        m_bof = m_eof = true;
    } else if (distance > 0) {
        if (!m_eof) {
            const int target = std::min(m_cur + distance, n - 1);
            moved = target - m_cur;
            m_bof = false;
            m_eof = moved < distance;
            if (moved)
                scrollTo(target);
        }
    } else if (distance < 0) {
        if (!m_bof) {
            const int target = std::max(m_cur + distance, 0);
            moved = target - m_cur;
            m_eof = false;
            m_bof = moved > distance;
            if (moved)
                scrollTo(target);
        }
    }
    if (AfterScroll)
        AfterScroll(this);
    return moved;
}

void TDataSet::Next() {
    MoveBy(1);
}

void TDataSet::Prior() {
    MoveBy(-1);
}

void TDataSet::setRecNo(int recNo) {
    MoveTo(recNo - 1);
}

void TDataSet::MoveTo(int pos) {
    checkActive();
    if (pos == m_cur && m_state == dsBrowse)
        return;
    // Posting may re-sort and cancelling an insert removes a row: pos means the row that was
    // there when the move was asked for.
    const int np = RecordCount();
    qint64 target = 0;
    if (pos >= 0 && pos < np) {
        const int s = m_identityView ? pos : m_view[pos];
        target = m_rows[size_t(s)].id;
    }
    checkBrowseMode();
    if (const int p = posOfId(target); p >= 0)
        pos = p;
    const int n = RecordCount();
    if (n == 0)
        return;
    pos = std::clamp(pos, 0, n - 1);
    if (BeforeScroll)
        BeforeScroll(this);
    scrollTo(pos);
    m_bof = m_eof = false;
    if (AfterScroll)
        AfterScroll(this);
}

// --- editing ---------------------------------------------------------------------------------

void TDataSet::Edit() {
    checkActive();
    if (editing())
        return;
    if (IsEmpty()) {
        Insert();
        return;
    }
    if (!CanModify())
        throw EHostError(
            QStringLiteral("Não é possível modificar um conjunto de dados somente leitura."));
    if (BeforeEdit)
        BeforeEdit(this);
    m_editBuffer = rowValues(m_cur);
    m_modified = false;
    setState(dsEdit);
    if (AfterEdit)
        AfterEdit(this);
}

void TDataSet::beginInsert(bool append) {
    checkActive();
    if (!CanModify())
        throw EHostError(
            QStringLiteral("Não é possível modificar um conjunto de dados somente leitura."));
    checkBrowseMode();
    if (BeforeInsert)
        BeforeInsert(this);
    if (BeforeScroll)
        BeforeScroll(this);
    Row row;
    row.id = m_nextId++;
    row.values = QVariantList(int(m_fields.size()));
    int pos = append || m_cur < 0 ? RecordCount() : m_cur;
    if (m_identityView) {
        m_rows.insert(m_rows.begin() + pos, row);
        m_insertedStorage = pos;
    } else {
        m_rows.push_back(row);
        m_insertedStorage = int(m_rows.size()) - 1;
        m_view.insert(pos, m_insertedStorage);
    }
    m_cur = pos;
    m_bof = m_eof = false;
    m_editBuffer = row.values;
    m_modified = false;
    m_state = dsInsert;
    notify(deDataSetChange);
    notify(deUpdateState);
    if (OnNewRecord)
        OnNewRecord(this);
    if (AfterInsert)
        AfterInsert(this);
    if (AfterScroll)
        AfterScroll(this);
}

void TDataSet::Insert() {
    beginInsert(false);
}

void TDataSet::Append() {
    beginInsert(true);
}

void TDataSet::Post() {
    checkActive();
    if (!editing())
        return;
    notify(deUpdateRecord);
    if (!editing())
        return;
    if (BeforePost)
        BeforePost(this);
    if (!editing())
        return;
    const int s = m_identityView ? m_cur : m_view[m_cur];
    Row& row = m_rows[size_t(s)];
    row.values = m_editBuffer;
    row.at = -1;
    if (m_logChanges)
        m_changed.insert(row.id);
    const qint64 id = row.id;
    leaveEdit(dsBrowse);
    bool reordered = false;
    if (!m_identityView) {
        rebuildView(id);
        reordered = true;
    }
    notify(deUpdateState);
    notify(reordered ? deDataSetChange : deRecordChange);
    if (AfterPost)
        AfterPost(this);
}

void TDataSet::Cancel() {
    checkActive();
    if (!editing())
        return;
    if (BeforeCancel)
        BeforeCancel(this);
    if (!editing())
        return;
    const bool wasInsert = m_state == dsInsert;
    if (wasInsert && m_insertedStorage >= 0)
        removeStorageRow(m_insertedStorage);
    leaveEdit(dsBrowse);
    notify(deUpdateState);
    notify(wasInsert ? deDataSetChange : deRecordChange);
    if (AfterCancel)
        AfterCancel(this);
}

void TDataSet::Delete() {
    checkActive();
    if (m_state == dsInsert) {
        Cancel();
        return;
    }
    if (IsEmpty())
        throw EHostError(QStringLiteral("Operação não permitida com o conjunto de dados vazio."));
    if (!CanModify())
        throw EHostError(
            QStringLiteral("Não é possível modificar um conjunto de dados somente leitura."));
    if (BeforeDelete)
        BeforeDelete(this);
    const int s = m_identityView ? m_cur : m_view[m_cur];
    if (m_logChanges)
        m_changed.insert(m_rows[size_t(s)].id);
    removeStorageRow(s);
    leaveEdit(dsBrowse);
    notify(deUpdateState);
    notify(deDataSetChange);
    if (AfterDelete)
        AfterDelete(this);
    if (AfterScroll)
        AfterScroll(this);
}

// --- bookmarks -------------------------------------------------------------------------------

TDataSet::TBookmark TDataSet::GetBookmark() const {
    return Active() ? currentId() : 0;
}

bool TDataSet::BookmarkValid(TBookmark bookmark) const {
    return Active() && posOfBookmark(bookmark) >= 0;
}

void TDataSet::GotoBookmark(TBookmark bookmark) {
    if (bookmark == 0)
        return;
    checkActive();
    // The row, not the position: a post may re-sort and a cancelled insert removes a row.
    qint64 id = 0;
    if (const int p0 = posOfBookmark(bookmark); p0 >= 0) {
        const int s = m_identityView ? p0 : m_view[p0];
        id = m_rows[size_t(s)].id;
    }
    checkBrowseMode();
    const int p = posOfId(id);
    if (p < 0)
        throw EHostError(QStringLiteral("Registro não encontrado."));
    if (BeforeScroll)
        BeforeScroll(this);
    scrollTo(p);
    m_bof = m_eof = false;
    if (AfterScroll)
        AfterScroll(this);
}

// --- filter and index ------------------------------------------------------------------------

void TDataSet::setFiltered(bool filtered) {
    if (filtered == m_filtered)
        return;
    if (Active())
        checkBrowseMode();
    m_filtered = filtered;
    if (Active()) {
        rebuildView(currentId());
        notify(deDataSetChange);
    }
}

void TDataSet::addIndex(const QString& name, const QString& fields) {
    for (const QString& f : fields.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        if (!FindField(f.trimmed()) && !m_fields.empty())
            throw EHostError(QStringLiteral("Campo '%1' não encontrado.").arg(f.trimmed()));
    for (IndexDef& d : m_indexes)
        if (d.name.compare(name, Qt::CaseInsensitive) == 0) {
            d.fields = fields;
            return;
        }
    m_indexes.append({name, fields});
}

QStringList TDataSet::indexNames() const {
    QStringList names;
    for (const IndexDef& d : m_indexes)
        names << d.name;
    return names;
}

void TDataSet::setIndexName(const QString& name) {
    if (name.isEmpty()) {
        m_indexName.clear();
        setIndexFieldNames(QString());
        return;
    }
    for (const IndexDef& d : std::as_const(m_indexes))
        if (d.name.compare(name, Qt::CaseInsensitive) == 0) {
            setIndexFieldNames(d.fields);
            m_indexName = d.name;
            return;
        }
    throw EHostError(QStringLiteral("Índice '%1' não encontrado.").arg(name));
}

void TDataSet::setIndexFieldNames(const QString& fields) {
    // Before any field exists (fields taken from the first packet) the names wait for it.
    QList<int> keys;
    if (!m_fields.empty())
        for (const QString& f : fields.split(QLatin1Char(';'), Qt::SkipEmptyParts))
            keys << FieldByName(f.trimmed())->Index();
    if (Active())
        checkBrowseMode();
    m_indexName.clear();
    m_indexFields = fields;
    m_sortFields = keys;
    if (Active()) {
        rebuildView(currentId());
        notify(deDataSetChange);
    }
}

// --- packets ---------------------------------------------------------------------------------

TDataSet::LoadPlan TDataSet::planLoad(const QList<TPacketField>& packetFields) const {
    LoadPlan plan;
    plan.takeFields = m_fields.empty() || m_autoFields;
    auto indexOf = [&](const QString& name) {
        for (int i = 0; i < packetFields.size(); ++i)
            if (packetFields[i].name.compare(name, Qt::CaseInsensitive) == 0)
                return i;
        return -1;
    };
    if (plan.takeFields) {
        plan.defs = packetFields;
        for (int i = 0; i < plan.defs.size(); ++i)
            plan.source << i;
    } else {
        for (const auto& f : m_fields) {
            const int i = indexOf(f->m_name);
            if (i < 0) {
                plan.error =
                    QStringLiteral("O pacote de dados não contém o campo '%1'.").arg(f->m_name);
                return plan;
            }
            const TFieldType pt = packetFields[i].type;
            const bool compatible = pt == f->m_type || (isTextType(pt) && isTextType(f->m_type)) ||
                                    (f->m_type == TFieldType::Float && pt == TFieldType::Integer);
            if (!compatible) {
                plan.error = QStringLiteral("Tipo incompatível no campo '%1': esperado %2, "
                                            "recebido %3.")
                                 .arg(f->m_name, fieldTypeText(f->m_type), fieldTypeText(pt));
                return plan;
            }
            plan.defs << TPacketField{f->m_name, f->m_type, f->m_size};
            plan.source << i;
        }
    }
    plan.identity = plan.source.size() == packetFields.size();
    for (int j = 0; plan.identity && j < plan.source.size(); ++j)
        plan.identity = plan.source[j] == j;
    for (const QString& name : m_indexFields.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        int k = -1;
        for (int j = 0; j < plan.defs.size() && k < 0; ++j)
            if (plan.defs[j].name.compare(name.trimmed(), Qt::CaseInsensitive) == 0)
                k = j;
        if (k < 0) {
            plan.error = QStringLiteral("Campo '%1' não encontrado.").arg(name.trimmed());
            return plan;
        }
        plan.sortKeys << k;
    }
    return plan;
}

void TDataSet::loadPacket(const TDataPacket& packet) {
    // Build everything first, so that a refused packet leaves the dataset as it was.
    const LoadPlan plan = planLoad(packet.fields);
    if (!plan.error.isEmpty())
        throw EHostError(plan.error);
    const bool takeFields = plan.takeFields;
    const QList<TPacketField>& defs = plan.defs;
    const QList<int>& source = plan.source;
    const bool identity = plan.identity;
    const QList<int>& sortKeys = plan.sortKeys;
    QList<int> typeIds;
    for (const auto& d : defs)
        typeIds << expectedTypeId(d.type);

    std::vector<Row> rows;
    rows.reserve(size_t(packet.rows.size()));
    qint64 nextId = m_nextId;
    const int nf = defs.size();
    for (int r = 0; r < packet.rows.size(); ++r) {
        const QVariantList& in = packet.rows[r];
        if (in.size() != packet.fields.size())
            throw EHostError(
                QStringLiteral("Pacote inválido: linha %1 tem %2 valores, esperado %3.")
                    .arg(r + 1)
                    .arg(in.size())
                    .arg(packet.fields.size()));
        Row row;
        row.id = nextId++;
        if (identity) {
            row.values = in; // shared until a value needs converting
        } else {
            row.values.reserve(nf);
            for (int j = 0; j < nf; ++j)
                row.values.append(in[source[j]]);
        }
        for (int j = 0; j < nf; ++j) {
            const QVariant& v = row.values.at(j);
            if (!v.isValid())
                continue;
            if (v.typeId() == typeIds[j]) {
                if (typeIds[j] == QMetaType::QString &&
                    static_cast<const QString*>(v.constData())->isEmpty())
                    row.values[j] = QVariant();
                continue;
            }
            if (v.isNull()) {
                row.values[j] = QVariant();
                continue;
            }
            QVariant c;
            try {
                c = coerceFieldValue(defs[j], v);
            } catch (const EHostError& e) {
                throw EHostError(
                    QStringLiteral("Pacote inválido: linha %1: %2").arg(r + 1).arg(e.text()));
            }
            if (isTextType(defs[j].type) && c.toString().isEmpty())
                c = QVariant();
            row.values[j] = c;
        }
        rows.push_back(std::move(row));
    }

    commitLoad(takeFields, defs, std::move(rows), QByteArray(), nextId, sortKeys);
}

void TDataSet::commitLoad(bool takeFields, const QList<TPacketField>& defs, std::vector<Row>&& rows,
                          const QByteArray& arena, qint64 nextId, const QList<int>& sortKeys) {
    if (editing())
        Cancel();
    if (takeFields) {
        m_fields.clear();
        for (const auto& d : defs) {
            auto f = std::make_unique<TField>(this, d.name, d.type, d.size);
            f->m_index = int(m_fields.size());
            m_fields.push_back(std::move(f));
        }
        m_autoFields = true;
        notify(deLayoutChange);
    }
    if (BeforeOpen && !Active())
        BeforeOpen(this);
    m_rows = std::move(rows);
    m_arena = arena;
    dropRowCache();
    m_loads.append({m_nextId, int(m_rows.size())});
    if (m_loads.size() > 64)
        m_loads.removeFirst();
    m_nextId = nextId;
    m_sortFields = sortKeys;
    m_changed.clear();
    leaveEdit(dsBrowse);
    rebuildView(0);
    m_cur = IsEmpty() ? -1 : 0;
    m_bof = true;
    m_eof = IsEmpty();
    notify(deUpdateState);
    notify(deDataSetChange);
    if (AfterOpen)
        AfterOpen(this);
    if (!IsEmpty() && AfterScroll)
        AfterScroll(this);
}

namespace {

// One item's bytes decoded; undefined when they do not decode (QCborValue must never see a
// text that is not UTF-8).
QCborValue decodeSpan(const char* p, qsizetype size) {
    QCborStreamReader r(p, size);
    QCborValue v = QCborValue::fromCbor(r);
    return r.lastError() == QCborError::NoError ? v : QCborValue();
}

void appendArrayHeader(QByteArray& out, quint64 n) {
    if (n < 24) {
        out.append(char(0x80 | n));
        return;
    }
    const int bytes = n <= 0xff ? 1 : n <= 0xffff ? 2 : n <= 0xffffffffu ? 4 : 8;
    out.append(char(0x80 | (bytes == 1 ? 24 : bytes == 2 ? 25 : bytes == 4 ? 26 : 27)));
    for (int i = bytes - 1; i >= 0; --i)
        out.append(char(n >> (8 * i)));
}

} // namespace

// The texts and their order are those of TDataPacket::fromCbor then loadPacket: the packet's
// structure (fields, then rows in order), then how its fields meet the dataset's. Nothing in the
// dataset changes while a packet is read. The usual rows are scanned in place (FisPacketScan);
// any other goes through QCborStreamReader, which tells the errors.
class TDataSet::EncodedLoad {
public:
    EncodedLoad(const TDataSet& dataSet, const QByteArray& bytes, qsizetype begin, qsizetype end)
        : m_dataSet(dataSet), m_bytes(bytes), m_begin(begin), m_data(bytes.constData() + begin),
          m_size(end - begin) {
        nextId = dataSet.m_nextId;
    }

    // Reads the whole packet; throws EHostError. Then plan, rows, arena and nextId are the load.
    void run() {
        readMap();
        if (!plan.error.isEmpty())
            throw EHostError(plan.error);
        settleArena();
    }

    LoadPlan plan;
    std::vector<Row> rows;
    QByteArray arena;
    qint64 nextId = 0;

private:
    static EHostError malformed(const QString& why) {
        return EHostError(QStringLiteral("Pacote inválido: CBOR inválido: %1").arg(why));
    }
    static EHostError cut() { return malformed(QStringLiteral("item malformado ou cortado")); }
    static void checked(QCborStreamReader& r) {
        if (r.lastError() != QCborError::NoError)
            throw malformed(r.lastError().toString());
    }

    void readMap();
    void readFields(qsizetype valueAt, qsizetype valueEnd);
    void readRows(qsizetype& pos);
    void readRow(QCborStreamReader& rr, const char* base, qsizetype baseAt, int rowNo);
    void keepRow(const char* base, qsizetype baseAt, qsizetype rowBegin, qsizetype rowEnd,
                 const qsizetype* starts);
    void settleArena();

    const TDataSet& m_dataSet;
    const QByteArray& m_bytes;
    const qsizetype m_begin;
    const char* const m_data;
    const qsizetype m_size;
    QCborValue m_fieldsValue;
    QList<TPacketField> m_packetFields;
    QList<TFieldType> m_packetTypes;
    QString m_fieldsError;
    bool m_fieldsRead = false;
    // Rows that are not in the bytes as the dataset reads them (other columns or order, an
    // unusual encoding) are written here; their at is then -2 - their place here.
    QByteArray m_written;
};

void TDataSet::EncodedLoad::readMap() {
    using namespace FisPacketScan;
    Head top;
    if (!readHead(m_data, m_size, 0, top))
        throw cut();
    if (top.major != 5) {
        qsizetype at = 0;
        if (!skipItem(m_data, m_size, at, FisFrame::MaxDepth))
            throw cut();
        throw EHostError(QStringLiteral("Pacote inválido: esperado um mapa com fields e rows."));
    }
    bool rowsSeen = false, rowsIsArray = false, rowsRead = false;
    qsizetype rowsBegin = 0, rowsEnd = 0;
    qsizetype pos = top.size;
    for (quint64 k = 0;; ++k) {
        if (top.indefinite) {
            if (pos >= m_size)
                throw cut();
            if (quint8(m_data[pos]) == 0xff) {
                ++pos;
                break;
            }
        } else if (k == top.value) {
            break;
        }
        // The key: a text compared as it is written; anything else is no key of ours.
        const qsizetype keyAt = pos;
        if (!skipItem(m_data, m_size, pos, FisFrame::MaxDepth))
            throw cut();
        const QCborValue key = decodeSpan(m_data + keyAt, pos - keyAt);
        const bool isFields = key.isString() && key.toString() == FisProtocol::Key::Fields;
        const bool isRows = key.isString() && key.toString() == FisProtocol::Key::Rows;
        const qsizetype valueAt = pos;
        Head value;
        if (!readHead(m_data, m_size, pos, value))
            throw cut();
        if (isRows && !rowsSeen) {
            rowsSeen = true;
            rowsIsArray = value.major == 4;
            rowsBegin = valueAt;
            if (rowsIsArray && m_fieldsRead) {
                // Fields first, as the server writes them: the rows are read where they lie.
                readRows(pos);
                rowsRead = true;
            } else if (!skipItem(m_data, m_size, pos, FisFrame::MaxDepth)) {
                throw cut();
            }
            rowsEnd = pos;
            continue;
        }
        if (!skipItem(m_data, m_size, pos, FisFrame::MaxDepth))
            throw cut();
        if (isFields && m_fieldsValue.isUndefined())
            readFields(valueAt, pos);
    }
    if (pos != m_size)
        throw EHostError(QStringLiteral("Pacote inválido: bytes sobrando depois do pacote."));
    if (!m_fieldsValue.isArray() || !rowsIsArray)
        throw EHostError(QStringLiteral("Pacote inválido: fields e rows devem ser listas."));
    if (!m_fieldsError.isEmpty())
        throw EHostError(m_fieldsError);
    if (!rowsRead) {
        qsizetype at = rowsBegin;
        readRows(at);
        Q_ASSERT(at == rowsEnd);
    }
}

// The fields list at m_data[valueAt, valueEnd); what is wrong with it is told once the packet's
// structure has been checked.
void TDataSet::EncodedLoad::readFields(qsizetype valueAt, qsizetype valueEnd) {
    m_fieldsValue = decodeSpan(m_data + valueAt, valueEnd - valueAt);
    if (m_fieldsValue.isUndefined())
        m_fieldsValue = QCborValue(QCborValue::Null); // present, and no list
    if (!m_fieldsValue.isArray())
        return;
    try {
        for (const QCborValue& f : m_fieldsValue.toArray()) {
            m_packetFields.append(packetFieldFromCbor(f));
            m_packetTypes.append(m_packetFields.last().type);
        }
        plan = m_dataSet.planLoad(m_packetFields);
        m_fieldsRead = true;
    } catch (const EHostError& e) {
        m_fieldsError = e.text();
    }
}

// The rows list at m_data[pos]; pos ends past it.
void TDataSet::EncodedLoad::readRows(qsizetype& pos) {
    using namespace FisPacketScan;
    Head list;
    if (!readHead(m_data, m_size, pos, list) || list.major != 4)
        throw cut();
    pos += list.size;
    if (!list.indefinite && plan.error.isEmpty())
        rows.reserve(size_t(std::min<quint64>(list.value, quint64(m_size))));
    const int npf = int(m_packetFields.size());
    QVarLengthArray<qsizetype, 32> starts(npf + 1);
    for (quint64 rowNo = 0;; ++rowNo) {
        if (list.indefinite) {
            if (pos >= m_size)
                throw cut();
            if (quint8(m_data[pos]) == 0xff) {
                ++pos;
                break;
            }
        } else if (rowNo == list.value) {
            break;
        }
        const qsizetype rowBegin = pos;
        if (scanRow(m_data, m_size, pos, m_packetTypes.constData(), npf, nullptr, -1,
                    starts.data())) {
            keepRow(m_data, m_begin, rowBegin, pos, starts.data());
            continue;
        }
        QCborStreamReader rr(m_data + pos, m_size - pos);
        readRow(rr, m_data + pos, m_begin + pos, int(rowNo));
        pos += qsizetype(rr.currentOffset());
    }
}

// The slow way for one row: rr is on it, in the bytes at base (which are m_bytes[baseAt...],
// -1 when not in m_bytes).
void TDataSet::EncodedLoad::readRow(QCborStreamReader& rr, const char* base, qsizetype baseAt,
                                    int rowNo) {
    const int npf = int(m_packetFields.size());
    auto widthError = [&](qsizetype width) {
        return EHostError(QStringLiteral("Pacote inválido: linha %1 tem %2 valores, esperado %3.")
                              .arg(rowNo + 1)
                              .arg(width)
                              .arg(npf));
    };
    if (!rr.isArray()) {
        checked(rr);
        throw widthError(0);
    }
    if (!rr.isLengthKnown()) {
        // A row of unknown length is read as if written whole.
        const QByteArray whole = QCborValue::fromCbor(rr).toCbor();
        checked(rr);
        QCborStreamReader one(whole);
        readRow(one, whole.constData(), -1, rowNo);
        return;
    }
    if (rr.length() != quint64(npf))
        throw widthError(qsizetype(rr.length()));
    const qsizetype rowBegin = qsizetype(rr.currentOffset());
    QVarLengthArray<qsizetype, 32> at(npf + 1);
    rr.enterContainer();
    checked(rr);
    for (int j = 0; j < npf; ++j) {
        at[j] = qsizetype(rr.currentOffset());
        const bool fits = readPacketValue(rr, base, m_packetFields[j].type, nullptr);
        checked(rr);
        if (!fits)
            throw EHostError(
                QStringLiteral("Pacote inválido: linha %1, campo %2: esperado %3.")
                    .arg(rowNo + 1)
                    .arg(m_packetFields[j].name, fieldTypeExpected(m_packetFields[j].type)));
    }
    at[npf] = qsizetype(rr.currentOffset());
    rr.leaveContainer();
    checked(rr);
    keepRow(base, baseAt, rowBegin, qsizetype(rr.currentOffset()), at.data());
}

// A checked row at base[rowBegin, rowEnd), its values starting at starts (offsets in base):
// kept where it lies when the dataset reads it as it is, else written in the fields' order.
void TDataSet::EncodedLoad::keepRow(const char* base, qsizetype baseAt, qsizetype rowBegin,
                                    qsizetype rowEnd, const qsizetype* starts) {
    if (!plan.error.isEmpty())
        return; // refused once every row has been checked
    Row row;
    row.id = nextId++;
    if (plan.identity && baseAt >= 0) {
        row.at = baseAt + rowBegin;
        row.size = rowEnd - rowBegin;
    } else {
        const qsizetype from = m_written.size();
        if (plan.identity) {
            m_written.append(base + rowBegin, rowEnd - rowBegin);
        } else {
            appendArrayHeader(m_written, quint64(plan.defs.size()));
            for (int src : std::as_const(plan.source))
                m_written.append(base + starts[src], starts[src + 1] - starts[src]);
        }
        row.at = -2 - from;
        row.size = m_written.size() - from;
    }
    rows.push_back(std::move(row));
}

// The rows stay in the answer's bytes when all of them are there; otherwise all go to the
// written ones, which then hold nothing else.
void TDataSet::EncodedLoad::settleArena() {
    arena = rows.empty() ? QByteArray() : m_bytes;
    if (m_written.isEmpty())
        return;
    bool mixed = false;
    for (const Row& row : rows)
        mixed = mixed || row.at >= 0;
    if (!mixed) {
        for (Row& row : rows)
            row.at = -2 - row.at;
        arena = m_written;
        return;
    }
    QByteArray all;
    for (Row& row : rows) {
        const char* from =
            row.at >= 0 ? m_bytes.constData() + row.at : m_written.constData() + (-2 - row.at);
        const qsizetype at = all.size();
        all.append(from, row.size);
        row.at = at;
    }
    arena = all;
}

void TDataSet::loadEncoded(const QByteArray& bytes, qsizetype begin, qsizetype end) {
    EncodedLoad load(*this, bytes, begin, end);
    load.run();
    commitLoad(load.plan.takeFields, load.plan.defs, std::move(load.rows), load.arena, load.nextId,
               load.plan.sortKeys);
}

TDataPacket TDataSet::packet() const {
    TDataPacket p;
    for (const auto& f : m_fields)
        p.fields.append({f->m_name, f->m_type, f->m_size});
    p.rows.reserve(int(m_rows.size()));
    for (int s = 0; s < int(m_rows.size()); ++s)
        if (s != m_insertedStorage)
            p.rows.append(decodeRow(m_rows[size_t(s)]));
    return p;
}

void TDataSet::emptyRows() {
    checkActive();
    if (editing())
        Cancel();
    m_rows.clear();
    m_arena.clear();
    m_view.clear();
    m_changed.clear();
    clearCursor();
    notify(deDataSetChange);
}

// --- TClientDataSet ----------------------------------------------------------------------------

void TClientDataSet::CreateDataSet() {
    if (FieldCount() == 0)
        throw EHostError(QStringLiteral("O conjunto de dados não tem definição de campos."));
    if (Active())
        Close();
    if (BeforeOpen)
        BeforeOpen(this);
    createEmpty();
}

void TClientDataSet::Open() {
    if (Active())
        return;
    CreateDataSet();
}

void TClientDataSet::EmptyDataSet() {
    emptyRows();
}

void TClientDataSet::SetData(const TDataPacket& packet) {
    loadPacket(packet); // cancels a pending edit only once the packet is accepted
}

void TClientDataSet::SetData(const QCborValue& packet) {
    SetData(TDataPacket::fromCbor(packet));
}

void TClientDataSet::SetData(const TAnswerPayload& packet) {
    if (!packet.isEncoded())
        return SetData(packet.value());
    loadEncoded(packet.encodedBytes(), packet.encodedBegin(), packet.encodedEnd());
}

TDataPacket TClientDataSet::GetData() const {
    return packet();
}
