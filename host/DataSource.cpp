#include "DataSource.h"

#include "DataSet.h"

TDataSource::TDataSource(QObject* owner) : QObject(owner) {}

TDataSetState TDataSource::State() const {
    return m_dataSet ? m_dataSet->State() : dsInactive;
}

TDataSource::~TDataSource() {
    if (m_dataSet)
        m_dataSet->m_sources.removeAll(this);
}

void TDataSource::setDataSet(TDataSet* dataSet) {
    if (dataSet == m_dataSet)
        return;
    if (m_dataSet)
        m_dataSet->m_sources.removeAll(this);
    m_dataSet = dataSet;
    if (m_dataSet)
        m_dataSet->m_sources.append(this);
    emit dataEvent(deLayoutChange, nullptr);
    emit dataEvent(deDataSetChange, nullptr);
}

void TDataSource::setEnabled(bool enabled) {
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    emit dataEvent(deDataSetChange, nullptr);
}

void TDataSource::dataSetEvent(TDataEvent event, TField* field) {
    if (!m_enabled && event != deUpdateRecord)
        return;
    emit dataEvent(event, field);
    if (m_pendingError) {
        const std::exception_ptr e = m_pendingError;
        m_pendingError = nullptr;
        std::rethrow_exception(e);
    }
    switch (event) {
    case deUpdateState:
        if (OnStateChange)
            OnStateChange(this);
        break;
    case deFieldChange:
        if (OnDataChange)
            OnDataChange(this, field);
        break;
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
        if (OnDataChange)
            OnDataChange(this, nullptr);
        break;
    case deUpdateRecord:
    case deFocusControl:
        break;
    }
}
