#pragma once
// In-memory datasets. Their fields are in Field.h, the data source that data-aware controls
// listen to in DataSource.h; this header brings all three.
//
// TDataSet holds its rows in memory and guarantees:
//  - States dsInactive, dsBrowse, dsEdit, dsInsert. Field values can be written only in dsEdit or
//    dsInsert; a read-only field refuses writes (EHostError), except while rows are loaded.
//  - Leaving a row (First, Next, Prior, Last, MoveBy, setRecNo, MoveTo, GotoBookmark, Close,
//    Insert, Append, a new index or filter) while it is in dsEdit/dsInsert posts it when a field
//    changed and cancels it when nothing changed. Loading a packet (SetData) replaces the rows
//    and cancels a pending edit: the new data wins. "Changed" means a written value differs from
//    the row's value before the edit. When that post fails (a check in BeforePost), the move does
//    not happen and the error goes on.
//  - Before-events run before anything changes: an exception thrown there (EAbort included)
//    cancels the operation and propagates to the caller. After-events run once the change is done.
//  - Edit on an empty dataset inserts (so BeforeInsert governs it).
//  - Reading a field of an inactive or empty dataset gives an empty (null) value, never a crash.
//  - Data sources are told of every state change, scroll and value change, except between
//    DisableControls and the matching EnableControls (nesting is counted); the last
//    EnableControls tells them once that everything may have changed.
//  - Bookmarks identify a row for as long as it exists (edits and index changes keep them valid).
//    Once the rows are replaced by a load (SetData, a query's Open), a bookmark of an earlier
//    load means the row at the same place in storage order, as a refresh that keeps the
//    clerk's position expects; when the new rows are fewer it is no longer valid. Bookmark 0
//    (none taken) is ignored by GotoBookmark.
//  - An active index (AddIndex + setIndexName, or setIndexFieldNames) orders the rows by its
//    fields (ascending, empty first, stable); a post that changes an index field re-sorts and
//    keeps the cursor on the posted row.
//  - Every text field stores an empty text as null, so "" and null are the same value.
//
// TClientDataSet adds packets (SetData / GetData), CreateDataSet, EmptyDataSet and the change log.
#include "DataSource.h"
#include "Field.h"
#include "core/DataPacket.h"
#include "core/HostExport.h"
#include "core/ServerAnswer.h"

#include <QCborValue>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <vector>

class FIS_EXPORT TDataSet : public QObject {
    Q_OBJECT
public:
    using TDataSetNotifyEvent = std::function<void(TDataSet*)>;
    using TFilterRecordEvent = std::function<void(TDataSet*, bool& accept)>;
    using TBookmark = qint64; // 0 is no bookmark

    explicit TDataSet(QObject* owner = nullptr);
    ~TDataSet() override;

    // --- Field definitions (persistent fields). Changing them needs an inactive dataset.
    TField* AddField(const QString& name, TFieldType type, int size = 0);
    void ClearFields();
    int FieldCount() const { return int(m_fields.size()); }
    TField* Fields(int index) const;
    TField* FindField(const QString& name) const;   // case-insensitive; nullptr when absent
    TField* FieldByName(const QString& name) const; // EHostError "Campo 'X' não encontrado."

    // --- State
    TDataSetState State() const { return m_state; }
    bool Active() const { return m_state != dsInactive; }
    void setActive(bool active);
    virtual void Open();
    virtual void Close(); // posts or cancels a pending edit first
    virtual bool CanModify() const { return !m_readOnlyDataSet; }
    bool Modified() const { return m_modified; }

    // --- Navigation (positions are over the rows in the active order and filter)
    void First();
    void Last();
    void Next();
    void Prior();
    int MoveBy(int distance); // returns how far it moved
    bool Eof() const;
    bool Bof() const;
    bool IsEmpty() const;
    int RecordCount() const; // 0 when inactive
    int RecNo() const;       // 1-based; 0 when no row
    void setRecNo(int recNo);

    // --- Editing
    void Edit();
    void Insert(); // a new row before the current one
    void Append(); // a new row at the end
    void Post();
    void Cancel();
    void Delete();

    // --- Bookmarks
    TBookmark GetBookmark() const;
    // EHostError "Registro não encontrado." when gone; bookmark 0 does nothing.
    void GotoBookmark(TBookmark bookmark);
    void FreeBookmark(TBookmark) {}
    bool BookmarkValid(TBookmark bookmark) const;

    // --- Data-aware controls
    void DisableControls() { ++m_disableCount; }
    void EnableControls();
    bool ControlsDisabled() const { return m_disableCount > 0; }

    // --- Record filter: rows for which OnFilterRecord says false are hidden while Filtered.
    // An empty Filter text with no OnFilterRecord shows every row.
    const QString& Filter() const { return m_filter; }
    void setFilter(const QString& filter) { m_filter = filter; }
    bool Filtered() const { return m_filtered; }
    void setFiltered(bool filtered);
    TFilterRecordEvent OnFilterRecord;

    // --- Events
    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent OnNewRecord;

    // --- Row access for data-aware controls, without moving the cursor and without events.
    // pos is 0-based over the visible rows. The current row in edit shows its pending values.
    QVariant ValueAt(int pos, int fieldIndex) const;
    // The field's DisplayText (or Text when display is false) as if row pos were current, so
    // that get-text handlers reading other fields see that row. Never throws: a handler that
    // throws gives the plain text.
    QString DisplayTextAt(int pos, TField* field, bool display = true) const;
    int CurrentPos() const { return m_cur; } // 0-based, -1 when no row
    // Moves to row pos (0-based) as setRecNo does.
    void MoveTo(int pos);

protected:
    friend class TField;
    friend class TDataSource;
    friend class TDisplayRow;
    // A loaded row is its values' CBOR (an array in field order) in m_arena, decoded when read;
    // a posted or inserted row keeps its values.
    struct Row {
        qint64 id = 0;
        qsizetype at = -1; // in m_arena; -1 when values holds the row
        qsizetype size = 0;
        QVariantList values;
    };

    // Replaces the rows with those of packet (see TClientDataSet::SetData for the rules).
    void loadPacket(const TDataPacket& packet);
    // The same from a packet's CBOR, bytes[begin, end), read without decoding it whole. Rows
    // written in field order stay in those bytes (an answer's frame), which the dataset keeps.
    void loadEncoded(const QByteArray& bytes, qsizetype begin, qsizetype end);
    TDataPacket packet() const;
    void createEmpty();
    void emptyRows();
    void setReadOnlyDataSet(bool ro) { m_readOnlyDataSet = ro; }

    // Index and change log (made public by TClientDataSet).
    void addIndex(const QString& name, const QString& fields);
    void setIndexName(const QString& name);
    QString indexName() const { return m_indexName; }
    void setIndexFieldNames(const QString& fields);
    QString indexFieldNames() const { return m_indexFields; }
    QStringList indexNames() const;
    int changeCount() const { return int(m_changed.size()); }
    void mergeChangeLog() { m_changed.clear(); }
    bool m_logChanges = true;

    void notify(TDataEvent event, TField* field = nullptr);

private:
    void checkActive() const;
    void checkBrowseMode(); // post or cancel a pending edit
    void setState(TDataSetState state);
    bool editing() const { return m_state == dsEdit || m_state == dsInsert; }
    // Drops the pending edit (buffer, modified flag, unposted inserted row's place) and takes
    // state next, without telling the data sources.
    void leaveEdit(TDataSetState next);
    void clearCursor(); // no current row; Bof and Eof
    // Removes a row by storage index, keeping the view and the cursor on the rows left.
    void removeStorageRow(int storage);
    void rebuildView(qint64 keepId);
    void scrollTo(int pos, bool fireEvents = true);
    void beginInsert(bool append);
    QVariantList rowValues(int pos) const; // empty when no row there
    QVariantList storageValues(int storage) const;
    QVariant storageValue(int storage, int fieldIndex) const;
    QVariantList decodeRow(const Row& row) const;
    // The new rows replace the old ones, the dataset opens on the first: the end of every load.
    void commitLoad(bool takeFields, const QList<TPacketField>& defs, std::vector<Row>&& rows,
                    const QByteArray& arena, qint64 nextId, const QList<int>& sortKeys);
    void dropRowCache() const;
    // How a packet's columns become the rows' fields; error (not thrown) tells why they cannot.
    struct LoadPlan {
        bool takeFields = false;
        QList<TPacketField> defs;
        QList<int> source; // packet column of each field
        bool identity = false;
        QList<int> sortKeys;
        QString error;
    };
    LoadPlan planLoad(const QList<TPacketField>& packetFields) const;
    class EncodedLoad; // reads a packet's bytes into rows for loadEncoded
    QVariant currentValue(int fieldIndex) const;
    void writeValue(TField* field, const QVariant& value);
    qint64 currentId() const;
    int posOfId(qint64 id) const;
    void sortView();
    int posOfBookmark(TBookmark bookmark) const;
    void refreshSortKeys();

    std::vector<std::unique_ptr<TField>> m_fields;
    std::vector<Row> m_rows; // storage order
    QByteArray m_arena;      // the loaded rows' CBOR
    // Rows decoded lately (painting reads a row's cells one after another), by row id.
    struct CachedRow {
        qint64 id = 0;
        QVariantList values;
    };
    mutable CachedRow m_rowCache[4];
    mutable int m_rowCacheNext = 0;
    QList<int> m_view;          // visible position -> storage index
    bool m_identityView = true; // m_view is 0..n-1 (kept implicit for speed)
    int m_cur = -1;
    bool m_eof = true;
    bool m_bof = true;
    TDataSetState m_state = dsInactive;
    bool m_modified = false;
    QVariantList m_editBuffer;
    QVariantList m_oldValues;
    int m_insertedStorage = -1; // storage index of an unposted inserted row
    qint64 m_nextId = 1;
    mutable int m_displayPos = -1; // row read by fields while drawing
    int m_disableCount = 0;
    bool m_readOnlyDataSet = false;
    QString m_filter;
    bool m_filtered = false;
    struct IndexDef {
        QString name;
        QString fields;
    };
    QList<IndexDef> m_indexes;
    QString m_indexName;
    QString m_indexFields;
    QList<int> m_sortFields;
    QSet<qint64> m_changed; // ids of rows changed since the last merge
    // Row ids of each load: a load numbers its rows from firstId in storage order.
    struct LoadRange {
        qint64 firstId;
        int count;
    };
    QList<LoadRange> m_loads;        // the latest last
    mutable int m_probeStorage = -1; // storage row read by fields while filtering
    bool m_autoFields = false;       // fields taken from a packet, dropped on Close
    QList<TDataSource*> m_sources;
    TDataSetState m_notifiedState = dsInactive;
};

// While it lives, the fields of dataSet read row pos (0-based, as DisplayTextAt does), so that
// a drawing hook reading Column->Field() sees the row being drawn. Writes are not affected.
class FIS_EXPORT TDisplayRow {
public:
    TDisplayRow(const TDataSet* dataSet, int pos);
    ~TDisplayRow();
    TDisplayRow(const TDisplayRow&) = delete;
    TDisplayRow& operator=(const TDisplayRow&) = delete;

private:
    const TDataSet* m_dataSet;
    int m_saved;
};

class FIS_EXPORT TClientDataSet : public TDataSet {
    Q_OBJECT
public:
    explicit TClientDataSet(QObject* owner = nullptr) : TDataSet(owner) {}

    // Opens the dataset empty from its field definitions (EHostError when it has none).
    void CreateDataSet();
    // Opening a client dataset with no rows loaded opens it empty; closing discards its rows.
    void Open() override;
    // Removes every row (the change log too); the dataset stays open.
    void EmptyDataSet();

    // Loads a packet whole, replacing the rows and the change log; the dataset is then open
    // on its first row (AfterOpen, AfterScroll run). With field definitions, each must appear in
    // the packet by name (case-insensitive) with a compatible type (text with text, a float
    // field also takes integers); packet fields without a definition are ignored. A dataset
    // with no definitions takes the packet's fields. A missing field, a type mismatch or a
    // value that does not fit its type is an EHostError naming the field; the dataset is then
    // left as it was.
    void SetData(const TDataPacket& packet);
    void SetData(const QCborValue& packet); // decoded with TDataPacket::fromCbor
    // A call's answer: read straight from the frame's bytes into the rows when it came in one,
    // with the same rules and texts.
    void SetData(const TAnswerPayload& packet);
    // Every row in storage order (a pending edit is not included), fields as defined.
    TDataPacket GetData() const;

    // Change log: the number of distinct rows posted, inserted or deleted since the last load
    // or merge, while LogChanges is true.
    int ChangeCount() const { return changeCount(); }
    void MergeChangeLog() { mergeChangeLog(); }
    bool LogChanges() const { return m_logChanges; }
    void setLogChanges(bool log) { m_logChanges = log; }

    // Indexes: fields separated by ';'. IndexName selects one as the active order ("" none).
    void AddIndex(const QString& name, const QString& fields) { addIndex(name, fields); }
    QString IndexName() const { return indexName(); }
    void setIndexName(const QString& name) { TDataSet::setIndexName(name); }
    QString IndexFieldNames() const { return indexFieldNames(); }
    void setIndexFieldNames(const QString& fields) { TDataSet::setIndexFieldNames(fields); }
    QStringList IndexNames() const { return indexNames(); }
};
