#include "DataSet.h"

#include "FieldValues.h"
#include "core/HostExceptions.h"

#include <algorithm>

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

const QVariantList* TDataSet::rowValues(int pos) const {
    if (pos < 0 || pos >= RecordCount())
        return nullptr;
    const int s = m_identityView ? pos : m_view[pos];
    return &m_rows[size_t(s)].values;
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
    std::stable_sort(m_view.begin(), m_view.end(), [&](int a, int b) {
        const QVariantList& ra = m_rows[size_t(a)].values;
        const QVariantList& rb = m_rows[size_t(b)].values;
        for (int k : keys) {
            const int c = compareValues(ra.value(k), rb.value(k));
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
        return m_rows[size_t(m_probeStorage)].values.value(fieldIndex);
    if (m_displayPos >= 0 && m_displayPos != m_cur) {
        const QVariantList* r = rowValues(m_displayPos);
        return r ? r->value(fieldIndex) : QVariant();
    }
    if (editing())
        return m_editBuffer.value(fieldIndex);
    const QVariantList* r = rowValues(m_cur);
    return r ? r->value(fieldIndex) : QVariant();
}

QVariant TDataSet::ValueAt(int pos, int fieldIndex) const {
    if (!Active())
        return QVariant();
    if (pos == m_cur && editing())
        return m_editBuffer.value(fieldIndex);
    const QVariantList* r = rowValues(pos);
    return r ? r->value(fieldIndex) : QVariant();
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
    m_editBuffer = *rowValues(m_cur);
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

void TDataSet::loadPacket(const TDataPacket& packet) {
    // Build everything first, so that a refused packet leaves the dataset as it was.
    const bool takeFields = m_fields.empty() || m_autoFields;
    QList<TPacketField> defs;
    QList<int> source; // packet column of each field
    if (takeFields) {
        defs = packet.fields;
        for (int i = 0; i < defs.size(); ++i)
            source << i;
    } else {
        for (const auto& f : m_fields) {
            const int i = packet.indexOf(f->m_name);
            if (i < 0)
                throw EHostError(
                    QStringLiteral("O pacote de dados não contém o campo '%1'.").arg(f->m_name));
            const TFieldType pt = packet.fields[i].type;
            const bool compatible = pt == f->m_type || (isTextType(pt) && isTextType(f->m_type)) ||
                                    (f->m_type == TFieldType::Float && pt == TFieldType::Integer);
            if (!compatible)
                throw EHostError(QStringLiteral("Tipo incompatível no campo '%1': esperado %2, "
                                                "recebido %3.")
                                     .arg(f->m_name, fieldTypeText(f->m_type), fieldTypeText(pt)));
            defs << TPacketField{f->m_name, f->m_type, f->m_size};
            source << i;
        }
    }
    bool identity = source.size() == packet.fields.size();
    for (int j = 0; identity && j < source.size(); ++j)
        identity = source[j] == j;
    QList<int> typeIds;
    for (const auto& d : defs)
        typeIds << expectedTypeId(d.type);
    QList<int> sortKeys;
    for (const QString& name : m_indexFields.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        int k = -1;
        for (int j = 0; j < defs.size() && k < 0; ++j)
            if (defs[j].name.compare(name.trimmed(), Qt::CaseInsensitive) == 0)
                k = j;
        if (k < 0)
            throw EHostError(QStringLiteral("Campo '%1' não encontrado.").arg(name.trimmed()));
        sortKeys << k;
    }

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

    // Commit.
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

TDataPacket TDataSet::packet() const {
    TDataPacket p;
    for (const auto& f : m_fields)
        p.fields.append({f->m_name, f->m_type, f->m_size});
    p.rows.reserve(int(m_rows.size()));
    for (int s = 0; s < int(m_rows.size()); ++s)
        if (s != m_insertedStorage)
            p.rows.append(m_rows[size_t(s)].values);
    return p;
}

void TDataSet::emptyRows() {
    checkActive();
    if (editing())
        Cancel();
    m_rows.clear();
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

TDataPacket TClientDataSet::GetData() const {
    return packet();
}
