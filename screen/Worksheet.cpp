// The note worksheet of the main screen: the note record, the grid over it, ticking, the cell
// pictures and the per-field editing rules.
#include "Cli_Fis98100.h"
#include "ScreenParts.h"
#include "host/DBGrid.h"
#include "host/DataSet.h"
#include "host/HostGuard.h"
#include "host/Messages.h"
#include "host/core/Services.h"
#include "protocol/Records.h"

#include <QFrame>
#include <QHeaderView>
#include <QPainter>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

namespace {

const QString kIdCheck = QStringLiteral("IDCHECK");
const QString kStatus = QStringLiteral("IDSTATUSGUIA");
const QString kCodRece = QStringLiteral("CDRECEGUIA");
const QString kMulta = QStringLiteral("VRMULTAGUIA");
const QString kJuro = QStringLiteral("VRJUROGUIA");
const QString kMoneyFormat = QStringLiteral("#,##0.00");

// How the worksheet shows a field of the note record; a field not listed here is hidden.
struct TFieldLook {
    const char* name;
    const char* label; // nullptr: none
    bool money;
};

const TFieldLook kShownFields[] = {
    {"NRNOTAFISC", "Nº Nota", false},           {"EMITENTE", "Fornecedor/Cliente", false},
    {"CDRECEGUIA", "Código da Receita", false}, {"CDSERIE", "Série", false},
    {"VRIMPOSTONF", "Valor Imposto", true},     {"IDENTRSAIDOP", "Operação", false},
    {"VRNOTAFISC", "Valor NF", true},           {"VRMULTAGUIA", "Valor Multa", true},
    {"VRJUROGUIA", "Valor Juros", true},        {"DTVENCGUIA", "Vencimento", false},
    {"IDSTATUSGUIA", "Status", false},          {"DTENTRSAID", nullptr, false},
};

struct TColumnDef {
    const char* field;
    int width; // -1: the grid's default
    bool readOnly;
};

const TColumnDef kColumns[] = {
    {"IDCHECK", 21, false},
    {"IDENTRSAIDOP", 56, true},
    {"EMITENTE", 364, true},
    {"NRNOTAFISC", 66, true},
    {"CDSERIE", 33, true},
    {"VRNOTAFISC", 70, true},
    {"VRIMPOSTONF", -1, true},
    {"VRMULTAGUIA", -1, false},
    {"VRJUROGUIA", -1, false},
    {"CDRECEGUIA", 97, false},
    {"DSHISTGUIAPAGDOC", 249, false},
    {"DTVENCGUIA", 69, false},
    {"IDSTATUSGUIA", -1, true},
};

// Toggles the tick of the current note: "U" becomes "C", anything else "U".
void toggleCheck(TDataSet* ds) {
    TField* f = ds->FieldByName(kIdCheck);
    ds->Edit();
    f->setAsString(f->AsString() == QLatin1String("U") ? QStringLiteral("C") : QStringLiteral("U"));
}

bool isEditableColumn(const QString& name) {
    static const QStringList editable{QStringLiteral("VRMULTAGUIA"), QStringLiteral("VRJUROGUIA"),
                                      QStringLiteral("DTVENCGUIA"),
                                      QStringLiteral("DSHISTGUIAPAGDOC"), kCodRece};
    return editable.contains(name);
}

} // namespace

void TfrmEmissaoDarfDoc::CreateWorksheet() {
    imgCheck = Worksheet::PaintCheckBox(true);
    imgUncheck = Worksheet::PaintCheckBox(false);
    imgNAprovado = Worksheet::PaintLight(QColor(0, 192, 0));
    imgAprovado = Worksheet::PaintLight(QColor(224, 0, 0));

    cdsNotaFiscal = new TClientDataSet(this);
    cdsNotaFiscal->setObjectName(QStringLiteral("cdsNotaFiscal"));
    // The note record, in the order the server's packet carries it.
    for (const TPacketField& d : FisProtocol::notaFiscalFields()) {
        TField* f = cdsNotaFiscal->AddField(d.name, d.type, d.size);
        const auto look = std::find_if(std::begin(kShownFields), std::end(kShownFields),
                                       [&](const TFieldLook& l) { return d.name == l.name; });
        const bool shown = look != std::end(kShownFields);
        if (shown && look->label)
            f->setDisplayLabel(QString::fromUtf8(look->label));
        f->setVisible(shown);
        if (shown && look->money)
            f->setDisplayFormat(kMoneyFormat);
    }
    cdsNotaFiscal->FieldByName(QStringLiteral("EMITENTE"))->OnGetText =
        [this](TField* sender, QString& text, bool display) {
            cdsNotaFiscalEMITENTEGetText(sender, text, display);
        };
    cdsNotaFiscal->FieldByName(QStringLiteral("DTVENCGUIA"))->OnSetText =
        [this](TField* sender, const QString& text) {
            cdsNotaFiscalDTVENCGUIASetText(sender, text);
        };
    cdsNotaFiscal->BeforeInsert = [this](TDataSet* ds) { cdsNotaFiscalBeforeInsert(ds); };

    dtsPadrao = new TDataSource(this);
    dtsPadrao->setObjectName(QStringLiteral("dtsPadrao"));
    dtsPadrao->setDataSet(cdsNotaFiscal);
    dtsPadrao->OnStateChange = [this](TDataSource*) { dtsPadraoStateChange(); };

    ScrollBox1 = new QScrollArea(Panel1);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setFrameShape(QFrame::NoFrame);
    ScrollBox1->setWidgetResizable(true);
    Panel1Layout->addWidget(ScrollBox1);

    dbgPadrao = new TDBGrid();
    dbgPadrao->setObjectName(QStringLiteral("dbgPadrao"));
    dbgPadrao->setFrameShape(QFrame::NoFrame);
    // The column widths are laid out for a narrow 8-point face; the rows hold the 17-pixel
    // pictures.
    QFont gridFont = dbgPadrao->font();
    gridFont.setPointSize(8);
    gridFont.setStretch(QFont::SemiCondensed);
    dbgPadrao->setFont(gridFont);
    dbgPadrao->verticalHeader()->setDefaultSectionSize(
        qMax(QFontMetrics(gridFont).height() + 6, 19));
    QPalette pal = dbgPadrao->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::ToolTipBase));
    pal.setColor(QPalette::Text, pal.color(QPalette::ToolTipText));
    dbgPadrao->setPalette(pal);
    dbgPadrao->setOptions(dgTitles | dgColumnResize | dgColLines | dgRowLines | dgTabs |
                          dgAlwaysShowSelection | dgConfirmDelete);
    for (const TColumnDef& c : kColumns) {
        TColumn* col = dbgPadrao->AddColumn(QLatin1String(c.field), c.width);
        col->setReadOnly(c.readOnly);
        col->setTitleFont(gridFont);
    }
    // The tick column's heading: the tick itself (the symbol-font "4" of old desktops).
    TColumn* tick = dbgPadrao->Columns(0);
    tick->setTitleCaption(QString(QChar(0x2713)));
    tick->setTitleAlignment(Qt::AlignCenter);
    dbgPadrao->Columns(IndiceCol(dbgPadrao, QStringLiteral("DSHISTGUIAPAGDOC")))
        ->setTitleCaption(QString::fromUtf8("Histórico"));
    dbgPadrao->setDataSource(dtsPadrao);
    ScrollBox1->setWidget(dbgPadrao);

    dbgPadrao->OnCellClick = [this](TColumn* c) { dbgPadraoCellClick(c); };
    dbgPadrao->OnKeyPress = [this](QChar& key) { dbgPadraoKeyPress(key); };
    dbgPadrao->OnTitleClick = [this](TColumn* c) { dbgPadraoTitleClick(c); };
    dbgPadrao->OnColEnter = [this] { dbgPadraoColEnter(); };
    dbgPadrao->OnDrawColumnCell = [this](QPainter* canvas, const QRect& rect, int dataCol,
                                         TColumn* column, TGridDrawState state) {
        dbgPadraoDrawColumnCell(canvas, rect, dataCol, column, state);
    };

    Worksheet::CreateCompanyControls(this);
    Worksheet::CreateMenus(this);
    CreateFilterLink();
    CreateRevenueCode();
    CreateSaving();
    CreateFocusRules();
    CreateIssueRun();
}

const QPixmap* TfrmEmissaoDarfDoc::CellPicture(const QString& fieldName, const QString& value,
                                               bool empty) const {
    if (fieldName == kIdCheck) {
        if (empty)
            return nullptr;
        if (value == QLatin1String("C"))
            return &imgCheck;
        if (value == QLatin1String("U"))
            return &imgUncheck;
        return nullptr;
    }
    if (fieldName == kStatus) // every status but "N", the empty one included, is the red light
        return value == QLatin1String("N") ? &imgNAprovado : &imgAprovado;
    return nullptr;
}

void TfrmEmissaoDarfDoc::dbgPadraoDrawColumnCell(QPainter* Canvas, const QRect& Rect, int,
                                                 TColumn* Column, int) {
    TField* field = Column ? Column->Field() : nullptr;
    if (!field)
        return;
    // The hook is not told the row: the cell's place in the view gives it.
    const int row = dbgPadrao->rowAt(Rect.center().y());
    const QString value =
        row >= 0 ? cdsNotaFiscal->ValueAt(row, field->Index()).toString() : QString();
    const QPixmap* pic = CellPicture(field->FieldName(), value,
                                     !cdsNotaFiscal->Active() || cdsNotaFiscal->IsEmpty());
    if (!pic)
        return;
    // Erase the cell's text, then the picture 4 px in from the left, at the top; below the
    // picture the cell keeps its background.
    Canvas->fillRect(Rect, Canvas->brush());
    const int h = qMin(Rect.height(), pic->height());
    DrawOliveTransparent(Canvas, QRect(Rect.left() + 4, Rect.top(), pic->width(), h), *pic,
                         QRect(0, 0, pic->width(), h));
}

void TfrmEmissaoDarfDoc::dbgPadraoCellClick(TColumn* Column) {
    if (cdsNotaFiscal->IsEmpty() || !Column || Column->FieldName() != kIdCheck)
        return;
    toggleCheck(cdsNotaFiscal);
}

void TfrmEmissaoDarfDoc::dbgPadraoKeyPress(QChar& Key) {
    TField* selected = dbgPadrao->SelectedField();
    if (!selected)
        return;
    const QString name = selected->FieldName();
    if (name == kMulta || name == kJuro) {
        const bool allowed = Key.isDigit() && Key.unicode() < 128;
        if (Key == QLatin1Char(',')) {
            if (GridText(dbgPadrao, name, false).contains(QLatin1Char(',')))
                Key = QChar();
        } else if (!allowed && Key != QChar(8)) {
            Key = QChar();
        }
    }
    if (name == kIdCheck && Key == QLatin1Char(' ') && !cdsNotaFiscal->IsEmpty() &&
        (cdsNotaFiscal->State() == dsBrowse || cdsNotaFiscal->State() == dsEdit)) {
        cdsNotaFiscal->DisableControls();
        withRestore([&] { toggleCheck(cdsNotaFiscal); }, [&] { cdsNotaFiscal->EnableControls(); });
    }
}

void TfrmEmissaoDarfDoc::dbgPadraoTitleClick(TColumn* Column) {
    if (cdsNotaFiscal->IsEmpty())
        return;
    if (!Column || Column->FieldName() != kIdCheck)
        return; // the worksheet has no sorting
    TField* check = cdsNotaFiscal->FieldByName(kIdCheck);
    cdsNotaFiscal->DisableControls();
    withRestore(
        [&] {
            bool anyTicked = false;
            const int n = cdsNotaFiscal->RecordCount();
            for (int pos = 0; pos < n && !anyTicked; ++pos)
                anyTicked =
                    cdsNotaFiscal->ValueAt(pos, check->Index()).toString() == QLatin1String("C");
            const QString from = anyTicked ? QStringLiteral("C") : QStringLiteral("U");
            const QString to = anyTicked ? QStringLiteral("U") : QStringLiteral("C");
            // Each move to the next note saves the one just changed.
            cdsNotaFiscal->First();
            while (!cdsNotaFiscal->Eof()) {
                cdsNotaFiscal->Edit();
                if (check->AsString() == from)
                    check->setAsString(to);
                cdsNotaFiscal->Next();
            }
        },
        [&] { cdsNotaFiscal->EnableControls(); });
    cdsNotaFiscal->First();
}

void TfrmEmissaoDarfDoc::dbgPadraoColEnter() {
    TField* selected = dbgPadrao->SelectedField();
    if (selected && isEditableColumn(selected->FieldName())) {
        dbgPadrao->setOptions(dbgPadrao->Options() | dgEditing);
        const int col = IndiceCol(dbgPadrao, kCodRece);
        if (col >= 0)
            dbgPadrao->Columns(col)->setButtonStyle(cbsEllipsis);
    } else {
        dbgPadrao->setOptions(dbgPadrao->Options() & ~dgEditing);
    }
}

void TfrmEmissaoDarfDoc::cdsNotaFiscalDTVENCGUIASetText(TField* Sender, const QString& Text) {
    if (Text == EmptyDateText())
        Sender->Clear(); // the blank mask means no due date
    else if (!Text.isEmpty())
        DateSetText(Sender, Text);
}

void TfrmEmissaoDarfDoc::cdsNotaFiscalEMITENTEGetText(TField* Sender, QString& Text, bool) {
    if (cdsNotaFiscal->IsEmpty())
        return;
    const QString kind = cdsNotaFiscal->FieldByName(QStringLiteral("IDINSJUR"))->AsString();
    const QString number = cdsNotaFiscal->FieldByName(QStringLiteral("NRINSJUR"))->AsString();
    // A kind without a mask shows the number as stored (an empty mask formats nothing).
    Text = FormatMaskText(PictPess(kind), number) + QStringLiteral(" - ") + Sender->AsString();
}

void TfrmEmissaoDarfDoc::cdsNotaFiscalBeforeInsert(TDataSet*) {
    Abort(); // the notes come from the server only
}
