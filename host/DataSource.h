#pragma once
// The link between a dataset and the data-aware controls that show it, and what it tells them.
#include "core/HostExport.h"

#include <QObject>
#include <exception>
#include <functional>

class TDataSet;
class TField;

enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };

// What a data source is told (the info argument of TDataSource::dataEvent).
enum TDataEvent {
    deFieldChange,   // a value of the current row changed (field given)
    deRecordChange,  // the current row was replaced as a whole (cancel, post)
    deDataSetChange, // rows, order or count may have changed: re-read everything
    deDataSetScroll, // the current row moved
    deLayoutChange,  // fields or their visibility changed
    deUpdateState,   // the state changed
    deUpdateRecord,  // the row is about to be posted: controls write their pending text now
    deFocusControl   // a control showing the field given should take the focus
};

// The link between a dataset and data-aware controls.
class FIS_EXPORT TDataSource : public QObject {
    Q_OBJECT
public:
    explicit TDataSource(QObject* owner = nullptr);
    ~TDataSource() override;

    TDataSet* DataSet() const { return m_dataSet; }
    void setDataSet(TDataSet* dataSet);
    TDataSetState State() const; // dsInactive without a dataset
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool enabled);

    // Run synchronously inside the dataset operation that caused them; what they throw goes
    // on to that operation's caller. OnDataChange gets the field for a value change, nullptr
    // for a scroll or a whole change.
    std::function<void(TDataSource*)> OnStateChange;
    std::function<void(TDataSource*, TField*)> OnDataChange;

    // A data-aware control that fails while handling deUpdateRecord (its typed text does not
    // fit the field) leaves the error here; the dataset operation then raises it, so the post
    // stops with the control's message.
    void setPendingError(std::exception_ptr error) { m_pendingError = error; }

signals:
    // For data-aware controls; emitted before the handlers above. Slots must not throw.
    void dataEvent(int event, TField* field);

private:
    friend class TDataSet;
    void dataSetEvent(TDataEvent event, TField* field);
    std::exception_ptr m_pendingError;
    TDataSet* m_dataSet = nullptr;
    bool m_enabled = true;
};
