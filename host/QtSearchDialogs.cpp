// The Qt forms of the data-aware dialogs: search list, multi-select list and find.
#include "HostGuard.h"
#include "QtHostDialogs.h"
#include "SearchDialogs.h"
#include "core/HostExceptions.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {
constexpr int PosRole = Qt::UserRole + 1;

// The mark column of a multi-select list's dataset.
const QString kMarkField = QStringLiteral("IDMARCADO");
const QString kMarked = QStringLiteral("X");

QList<TField*> listedFields(TDataSet* ds, TField* except = nullptr) {
    QList<TField*> list;
    for (int i = 0; i < ds->FieldCount(); ++i)
        if (ds->Fields(i)->Visible() && ds->Fields(i) != except)
            list << ds->Fields(i);
    return list;
}

// Writes the marks into the dataset's mark column, leaving the cursor where it was.
void storeMarks(TDataSet* ds, TField* mark, const QList<bool>& marked) {
    if (!mark || !ds->CanModify() || mark->ReadOnly())
        return;
    const TDataSet::TBookmark bm = ds->GetBookmark();
    ds->DisableControls();
    try {
        for (int pos = 0; pos < marked.size() && pos < ds->RecordCount(); ++pos) {
            const QString want = marked[pos] ? kMarked : QString();
            if (ds->ValueAt(pos, mark->Index()).toString().trimmed() == want)
                continue;
            ds->MoveTo(pos);
            ds->Edit();
            mark->setAsString(want);
            ds->Post();
        }
        ds->GotoBookmark(bm);
    } catch (...) {
        ds->EnableControls();
        throw;
    }
    ds->EnableControls();
}
} // namespace

QString FormatKeyList(const QStringList& keys) {
    QStringList quoted;
    for (const QString& k : keys)
        quoted << QLatin1Char('\'') + QString(k).replace(QLatin1Char('\''), QStringLiteral("''")) +
                      QLatin1Char('\'');
    return quoted.join(QLatin1Char(','));
}

QStringList ParseKeyList(const QString& text) {
    QStringList keys;
    const int n = text.size();
    int i = 0;
    while (i < n) {
        while (i < n && (text[i] == QLatin1Char(',') || text[i].isSpace()))
            ++i;
        if (i >= n)
            break;
        QString key;
        if (text[i] == QLatin1Char('\'')) {
            ++i;
            while (i < n) {
                if (text[i] == QLatin1Char('\'')) {
                    if (i + 1 < n && text[i + 1] == QLatin1Char('\'')) {
                        key += QLatin1Char('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                key += text[i++];
            }
            while (i < n && text[i] != QLatin1Char(','))
                ++i;
        } else {
            while (i < n && text[i] != QLatin1Char(','))
                key += text[i++];
            key = key.trimmed();
        }
        keys << key;
    }
    return keys;
}

// ---------------------------------------------------------------------------------------------

TPesquisaDialog::TPesquisaDialog(TDataSet* dataSet, const QString& title, bool checkable,
                                 const QString& keyField, QWidget* parent)
    : QDialog(parent), m_ds(dataSet), m_keyField(keyField), m_checkable(checkable) {
    setWindowTitle(title.isEmpty() ? QStringLiteral("Pesquisa") : title);
    auto* lay = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Localizar:"), this));
    m_filter = new QLineEdit(this);
    top->addWidget(m_filter);
    lay->addLayout(top);

    m_model = new QStandardItemModel(this);
    m_proxy = new QSortFilterProxyModel(this);
    m_proxy->setSourceModel(m_model);
    m_proxy->setFilterCaseSensitivity(Qt::CaseInsensitive);
    m_proxy->setFilterKeyColumn(-1);
    m_view = new QTableView(this);
    m_view->setModel(m_proxy);
    m_view->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_view->setSelectionMode(QAbstractItemView::SingleSelection);
    m_view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_view->verticalHeader()->hide();
    m_view->horizontalHeader()->setStretchLastSection(true);
    lay->addWidget(m_view);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancelar"));
    if (m_checkable) {
        auto* all =
            buttons->addButton(QStringLiteral("Marcar todos"), QDialogButtonBox::ActionRole);
        auto* none =
            buttons->addButton(QStringLiteral("Desmarcar todos"), QDialogButtonBox::ActionRole);
        connect(all, &QPushButton::clicked, this, [this] {
            for (int r = 0; r < m_proxy->rowCount(); ++r)
                m_proxy->setData(m_proxy->index(r, 0), Qt::Checked, Qt::CheckStateRole);
        });
        connect(none, &QPushButton::clicked, this, [this] {
            for (int r = 0; r < m_proxy->rowCount(); ++r)
                m_proxy->setData(m_proxy->index(r, 0), Qt::Unchecked, Qt::CheckStateRole);
        });
    }
    lay->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // Rows as the clerk sees them, read without moving the dataset.
    // A multi-select list shows its check marks in place of the dataset's mark column.
    m_markField = m_checkable ? m_ds->FindField(kMarkField) : nullptr;
    const QList<TField*> fields = listedFields(m_ds, m_markField);
    QStringList headers;
    for (TField* f : fields)
        headers << f->DisplayLabel();
    m_model->setHorizontalHeaderLabels(headers);
    TField* key = m_keyField.isEmpty() ? nullptr : m_ds->FindField(m_keyField);
    if (m_checkable && !key)
        throw EHostError(QStringLiteral("Campo '%1' não encontrado.").arg(m_keyField));
    const int n = m_ds->Active() ? m_ds->RecordCount() : 0;
    for (int pos = 0; pos < n; ++pos) {
        QList<QStandardItem*> items;
        for (TField* f : fields) {
            auto* it = new QStandardItem(m_ds->DisplayTextAt(pos, f, true));
            it->setData(pos, PosRole);
            it->setTextAlignment(f->Alignment());
            items << it;
        }
        if (items.isEmpty())
            items << new QStandardItem();
        items[0]->setData(pos, PosRole);
        if (m_checkable) {
            items[0]->setCheckable(true);
            items[0]->setCheckState(Qt::Unchecked);
            m_keyValues << m_ds->DisplayTextAt(pos, key, false);
        }
        m_model->appendRow(items);
    }
    m_view->resizeColumnsToContents();
    if (m_checkable) {
        // Space and double-click toggle the mark; Enter confirms.
        connect(m_view, &QTableView::doubleClicked, this, [this](const QModelIndex& idx) {
            const QModelIndex first = m_proxy->index(idx.row(), 0);
            const bool on = first.data(Qt::CheckStateRole).toInt() == Qt::Checked;
            m_proxy->setData(first, on ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
        });
    } else {
        connect(m_view, &QTableView::doubleClicked, this, [this] { accept(); });
        // Start on the dataset's current row.
        const int cur = m_ds->CurrentPos();
        if (cur >= 0 && cur < m_proxy->rowCount())
            m_view->selectRow(cur);
    }
    if (!m_view->currentIndex().isValid() && m_proxy->rowCount() > 0)
        m_view->selectRow(0);
    connect(m_filter, &QLineEdit::textChanged, this, &TPesquisaDialog::applyFilter);
    m_filter->installEventFilter(this);
    m_filter->setFocus();
    resize(560, 380);
}

void TPesquisaDialog::applyFilter(const QString& text) {
    m_proxy->setFilterFixedString(text);
    if (m_proxy->rowCount() > 0)
        m_view->selectRow(0);
}

int TPesquisaDialog::visibleRowCount() const {
    return m_proxy->rowCount();
}

int TPesquisaDialog::chosenPosition() const {
    const QModelIndex idx = m_view->currentIndex();
    if (!idx.isValid())
        return -1;
    return m_proxy->index(idx.row(), 0).data(PosRole).toInt();
}

void TPesquisaDialog::setChecked(int datasetPos, bool checked) {
    if (QStandardItem* it = m_model->item(datasetPos, 0))
        it->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

void TPesquisaDialog::setKeys(const QString& keys) {
    const QStringList wanted = ParseKeyList(keys);
    for (int pos = 0; pos < m_keyValues.size(); ++pos) {
        const bool markedInDataSet =
            m_markField && !m_ds->ValueAt(pos, m_markField->Index()).toString().trimmed().isEmpty();
        setChecked(pos, markedInDataSet || wanted.contains(m_keyValues[pos]));
    }
}

QList<bool> TPesquisaDialog::marks() const {
    QList<bool> marked;
    for (int pos = 0; pos < m_keyValues.size(); ++pos)
        marked << (m_model->item(pos, 0)->checkState() == Qt::Checked);
    return marked;
}

QString TPesquisaDialog::keys() const {
    QStringList chosen;
    for (int pos = 0; pos < m_keyValues.size(); ++pos)
        if (m_model->item(pos, 0)->checkState() == Qt::Checked)
            chosen << m_keyValues[pos];
    return FormatKeyList(chosen);
}

bool TPesquisaDialog::eventFilter(QObject* watched, QEvent* event) {
    // Arrows and page keys typed in the filter move the list; space marks in the list form.
    if (watched == m_filter && event->type() == QEvent::KeyPress) {
        auto* ke = static_cast<QKeyEvent*>(event);
        switch (ke->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
            QApplication::sendEvent(m_view, event);
            return true;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------

TProcuraDialog::TProcuraDialog(TDataSet* dataSet, QWidget* parent)
    : QDialog(parent), m_ds(dataSet) {
    setWindowTitle(QStringLiteral("Procurar"));
    auto* lay = new QVBoxLayout(this);
    auto* row1 = new QHBoxLayout;
    row1->addWidget(new QLabel(QStringLiteral("Campo:"), this));
    m_fields = new QComboBox(this);
    for (TField* f : listedFields(m_ds))
        m_fields->addItem(f->DisplayLabel(), f->FieldName());
    row1->addWidget(m_fields, 1);
    lay->addLayout(row1);
    auto* row2 = new QHBoxLayout;
    row2->addWidget(new QLabel(QStringLiteral("Texto:"), this));
    m_text = new QLineEdit(this);
    row2->addWidget(m_text, 1);
    lay->addLayout(row2);
    auto* buttons = new QDialogButtonBox(this);
    auto* find = buttons->addButton(QStringLiteral("Procurar"), QDialogButtonBox::AcceptRole);
    auto* close = buttons->addButton(QStringLiteral("Fechar"), QDialogButtonBox::RejectRole);
    find->setDefault(true);
    lay->addWidget(buttons);
    guardedConnect(find, &QPushButton::clicked, this, [this](bool) {
        if (!findNext())
            HostDialogs().showMessage(QStringLiteral("Registro não encontrado."),
                                      TMsgDlgType::Information, mbOK);
    });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    m_text->setFocus();
}

bool TProcuraDialog::findNext() {
    const QString text = m_text->text();
    TField* f = m_ds->FindField(m_fields->currentData().toString());
    if (!f || text.isEmpty() || !m_ds->Active())
        return false;
    const int n = m_ds->RecordCount();
    const int start = m_ds->CurrentPos();
    for (int step = 1; step <= n; ++step) {
        const int pos = (start + step) % n;
        if (m_ds->DisplayTextAt(pos, f, true).contains(text, Qt::CaseInsensitive)) {
            m_ds->MoveTo(pos);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------

bool TQtHostDialogs::pesquisar(TDataSource* source, const QString& title, bool, bool) {
    TDataSet* ds = source ? source->DataSet() : nullptr;
    if (!ds || !ds->Active())
        return false;
    QPointer<TPesquisaDialog> dlg =
        new TPesquisaDialog(ds, title, false, {}, QApplication::activeWindow());
    const int result = dlg->exec();
    const int pos = dlg ? dlg->chosenPosition() : -1;
    delete dlg.data();
    if (result != QDialog::Accepted || pos < 0)
        return false;
    ds->MoveTo(pos);
    return true;
}

bool TQtHostDialogs::pesquisaLista(TDataSource* source, const QString& keyField,
                                   const QString& title, bool, QString& keys) {
    TDataSet* ds = source ? source->DataSet() : nullptr;
    if (!ds || !ds->Active())
        return false;
    QPointer<TPesquisaDialog> dlg =
        new TPesquisaDialog(ds, title, true, keyField, QApplication::activeWindow());
    dlg->setKeys(keys);
    const int result = dlg->exec();
    if (!dlg)
        return false;
    const QString chosen = dlg->keys();
    const QList<bool> marked = dlg->marks();
    delete dlg.data();
    if (result != QDialog::Accepted)
        return false;
    keys = chosen;
    storeMarks(ds, ds->FindField(kMarkField), marked);
    return true;
}

void TQtHostDialogs::procura(TDataSet* dataset) {
    if (!dataset || !dataset->Active())
        return;
    QPointer<TProcuraDialog> dlg = new TProcuraDialog(dataset, QApplication::activeWindow());
    dlg->exec();
    delete dlg.data();
}
