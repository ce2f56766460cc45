#include "ui/HistoryDialog.h"

#include "history/HistoryFilterText.h"
#include "history/HistoryFormat.h"
#include "history/HistoryReader.h"
#include "ui/FileDialogChoice.h"
#include "ui/HistoryTableModel.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>

namespace {

template <typename Widget> Widget* named(Widget* widget, const char* name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* label(const char* name, const QString& text, QWidget* buddy, QWidget* parent)
{
    auto* l = named(new QLabel(text, parent), name);
    l->setBuddy(buddy);
    return l;
}

} // namespace

HistoryDialog::HistoryDialog(HistoryLocation location, QWidget* parent)
    : QDialog(parent), m_location(std::move(location)), m_model(new HistoryTableModel(this)),
      m_sorted(new QSortFilterProxyModel(this))
{
    setObjectName(QStringLiteral("dlgHistory"));
    setWindowTitle(QStringLiteral("Update History"));
    resize(1000, 600);

    m_where =
        named(new QLabel(QStringLiteral("History: ") + m_location.display(), this), "lblHistoryLocation");
    m_where->setTextFormat(Qt::PlainText);
    m_where->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_unit = named(new QLineEdit(this), "txtUnit");
    m_unit->setPlaceholderText(QStringLiteral("host or host:port"));
    m_since = named(new QLineEdit(this), "txtSince");
    m_since->setPlaceholderText(QStringLiteral("YYYY-MM-DD"));
    m_until = named(new QLineEdit(this), "txtUntil");
    m_until->setPlaceholderText(QStringLiteral("YYYY-MM-DD"));
    m_outcome = named(new QComboBox(this), "cboOutcome");
    m_outcome->addItem(QStringLiteral("(any)"), QString());
    for (const QString& name : HistoryFilterText::outcomeNames())
        m_outcome->addItem(name, name);
    m_sha256 = named(new QLineEdit(this), "txtSha256");
    m_sha256->setPlaceholderText(QStringLiteral("first hex digits"));
    m_serial = named(new QLineEdit(this), "txtSerial");
    m_serial->setPlaceholderText(QStringLiteral("exact"));
    m_lot = named(new QLineEdit(this), "txtLot");
    m_lot->setPlaceholderText(QStringLiteral("exact"));
    m_limit = named(new QSpinBox(this), "spnLimit");
    m_limit->setRange(1, 100000);
    m_limit->setValue(HistoryFilter{}.limit);
    m_show = named(new QPushButton(QStringLiteral("&Show"), this), "btnShow");
    m_show->setDefault(true);

    auto* filters = new QHBoxLayout;
    filters->addWidget(label("lblUnit", QStringLiteral("&Unit"), m_unit, this));
    filters->addWidget(m_unit, 2);
    filters->addWidget(label("lblSince", QStringLiteral("S&ince"), m_since, this));
    filters->addWidget(m_since, 1);
    filters->addWidget(label("lblUntil", QStringLiteral("Un&til"), m_until, this));
    filters->addWidget(m_until, 1);
    filters->addWidget(label("lblOutcome", QStringLiteral("&Outcome"), m_outcome, this));
    filters->addWidget(m_outcome, 1);
    filters->addWidget(label("lblSha256", QStringLiteral("S&HA-256"), m_sha256, this));
    filters->addWidget(m_sha256, 1);
    filters->addWidget(label("lblSerial", QStringLiteral("Se&rial"), m_serial, this));
    filters->addWidget(m_serial, 1);
    filters->addWidget(label("lblLot", QStringLiteral("Lot"), m_lot, this));
    filters->addWidget(m_lot, 1);
    filters->addWidget(label("lblLimit", QStringLiteral("&Latest"), m_limit, this));
    filters->addWidget(m_limit);
    filters->addWidget(m_show);

    m_sorted->setSourceModel(m_model);
    m_sorted->setSortRole(Qt::UserRole);
    m_table = named(new QTableView(this), "tblHistory");
    m_table->setModel(m_sorted);
    m_table->setSortingEnabled(true);
    m_table->sortByColumn(HistoryTableModel::Started, Qt::DescendingOrder);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setWordWrap(false);

    m_details = named(new QPlainTextEdit(this), "txtUpdateLog");
    m_details->setReadOnly(true);
    m_details->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_details->setPlaceholderText(QStringLiteral("Select an update to see its log."));

    auto* split = named(new QSplitter(Qt::Vertical, this), "splHistory");
    split->addWidget(m_table);
    split->addWidget(m_details);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);

    m_status = named(new QLabel(this), "lblHistoryStatus");
    m_status->setTextFormat(Qt::PlainText);
    m_status->setWordWrap(true);
    m_export = named(new QPushButton(QStringLiteral("&Export CSV..."), this), "btnExportCsv");
    m_close = named(new QPushButton(QStringLiteral("&Close"), this), "btnClose");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_status, 1);
    buttons->addWidget(m_export);
    buttons->addWidget(m_close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_where);
    layout->addLayout(filters);
    layout->addWidget(split, 1);
    layout->addLayout(buttons);

    connect(m_show, &QPushButton::clicked, this, &HistoryDialog::refresh);
    for (QLineEdit* edit : {m_unit, m_since, m_until, m_sha256, m_serial, m_lot})
        connect(edit, &QLineEdit::returnPressed, this, &HistoryDialog::refresh);
    connect(m_export, &QPushButton::clicked, this, &HistoryDialog::exportCsv);
    connect(m_close, &QPushButton::clicked, this, &QDialog::close);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HistoryDialog::showSelected);
}

HistoryDialog::~HistoryDialog() = default;

void HistoryDialog::setCsvChooser(CsvChooser chooser)
{
    m_csvChooser = std::move(chooser);
}

void HistoryDialog::setStatus(const QString& text)
{
    m_status->setText(text);
}

bool HistoryDialog::readFilter(HistoryFilter* filter)
{
    QString why;
    const auto field = [&](QLineEdit* edit, const QString& name,
                           bool (*parseText)(const QString&, HistoryFilter*, QString*)) {
        if (edit->text().trimmed().isEmpty() || parseText(edit->text(), filter, &why))
            return true;
        setStatus(QStringLiteral("%1: %2.").arg(name, why));
        edit->setFocus();
        return false;
    };
    if (!field(m_unit, QStringLiteral("Unit"), HistoryFilterText::parseUnit) ||
        !field(m_since, QStringLiteral("Since"), HistoryFilterText::parseSince) ||
        !field(m_until, QStringLiteral("Until"), HistoryFilterText::parseUntil) ||
        !field(m_sha256, QStringLiteral("SHA-256"), HistoryFilterText::parseSha256Prefix) ||
        !field(m_serial, QStringLiteral("Serial"), HistoryFilterText::parseSerial) ||
        !field(m_lot, QStringLiteral("Lot"), HistoryFilterText::parseLot))
        return false;
    if (!HistoryFilterText::checkRange(*filter, &why)) {
        setStatus(QStringLiteral("Since and Until: %1.").arg(why));
        return false;
    }
    filter->outcome = m_outcome->currentData().toString();
    filter->limit = m_limit->value();
    return true;
}

void HistoryDialog::refresh()
{
    HistoryFilter filter;
    if (!readFilter(&filter))
        return;
    const quint64 serial = ++m_listSerial;
    ++m_reading;
    setStatus(QStringLiteral("Reading the history..."));
    HistoryReader::listAsync(m_location, filter).then(this, [this, serial](const HistoryRows& result) {
        --m_reading;
        if (serial != m_listSerial)
            return;       // a later read replaces this one
        ++m_detailSerial; // and any details still on their way
        m_details->clear();
        // What waits on this computer is shown even when the shared history cannot be read.
        m_model->setRows(result.rows);
        const qsizetype waiting = std::count_if(result.rows.cbegin(), result.rows.cend(),
                                                [](const UpdateRecord& r) { return r.waiting; });
        const QString marked = waiting == 0
                                   ? QString()
                                   : QStringLiteral(" %1 marked * %2 recorded on this computer and not "
                                                    "yet in the history.")
                                         .arg(waiting)
                                         .arg(waiting == 1 ? QStringLiteral("is") : QStringLiteral("are"));
        if (!result.error.ok())
            setStatus(result.error.message + marked);
        else
            setStatus((result.rows.isEmpty() ? QStringLiteral("No updates recorded that match.")
                       : result.rows.size() == 1
                           ? QStringLiteral("1 update.")
                           : QStringLiteral("%1 updates, latest first.").arg(result.rows.size())) +
                      marked);
        emit rowsShown();
    });
}

void HistoryDialog::showSelected()
{
    const QModelIndex current = m_sorted->mapToSource(m_table->currentIndex());
    if (!current.isValid()) {
        m_details->clear();
        return;
    }
    const qint64 id = m_model->row(current.row()).id;
    if (id == 0) {
        // Only on this computer so far: what the list has of it is all there is to show here.
        ++m_detailSerial;
        m_details->setPlainText(HistoryFormat::details(m_model->row(current.row())));
        emit detailsShown();
        return;
    }
    const quint64 serial = ++m_detailSerial;
    ++m_reading;
    m_details->setPlainText(QStringLiteral("Reading update %1...").arg(id));
    HistoryReader::byIdAsync(m_location, id).then(this, [this, serial, id](const HistoryRow& result) {
        --m_reading;
        if (serial != m_detailSerial)
            return;
        if (!result.error.ok())
            m_details->setPlainText(result.error.message);
        else if (!result.record)
            m_details->setPlainText(QStringLiteral("Update %1 is no longer in the history.").arg(id));
        else
            m_details->setPlainText(HistoryFormat::details(*result.record));
        emit detailsShown();
    });
}

QString HistoryDialog::chooseCsvPath()
{
    const QString folder = m_lastCsvFolder.isEmpty()
                               ? QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
                               : m_lastCsvFolder;
    const QString suggested =
        QDir(folder.isEmpty() ? QDir::homePath() : folder)
            .filePath(QStringLiteral("update-history-%1.csv")
                          .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd-HHmm"))));
    if (m_csvChooser)
        return m_csvChooser(suggested);
    auto* dialog = named(new QFileDialog(this), "dlgExportCsv");
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setWindowTitle(QStringLiteral("Export History as CSV"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("CSV Files (*.csv);;All Files (*)"));
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->setDirectory(QFileInfo(suggested).absolutePath());
    dialog->selectFile(QFileInfo(suggested).fileName());
    const QString chosen = chosenFile(dialog);
    delete dialog;
    return chosen;
}

void HistoryDialog::exportCsv()
{
    // The rows in the order the table shows them.
    QList<UpdateRecord> rows;
    for (int i = 0; i < m_sorted->rowCount(); ++i)
        rows << m_model->row(m_sorted->mapToSource(m_sorted->index(i, 0)).row());
    const QString path = chooseCsvPath();
    if (path.isEmpty())
        return;
    m_lastCsvFolder = QFileInfo(path).absolutePath();
    // Whole or not at all: an earlier file of that name stays as it was when writing fails.
    QSaveFile file(path);
    const QByteArray contents = HistoryFormat::csv(rows).toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() || !file.commit()) {
        setStatus(
            QStringLiteral("Could not save %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return;
    }
    setStatus(QStringLiteral("Saved %1 %2 to %3.")
                  .arg(rows.size())
                  .arg(rows.size() == 1 ? QStringLiteral("update") : QStringLiteral("updates"),
                       QDir::toNativeSeparators(path)));
}
