#pragma once

#include "history/HistoryLocation.h"

#include <QDialog>

#include <functional>

class HistoryTableModel;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSortFilterProxyModel;
class QSpinBox;
class QTableView;
struct HistoryFilter;

// File > History... (`dlgHistory`): the latest recorded updates in a sortable table, with the
// filters of uploader-cli history, the selected update's details and log below, and Export CSV.
// Every read runs off the window's thread: a slow server leaves the window answering, and the
// answer to a superseded read is dropped.
class HistoryDialog : public QDialog
{
    Q_OBJECT
public:
    // Returns the full path to write the CSV to, or "" to cancel; suggestedPath is a full path.
    using CsvChooser = std::function<QString(const QString& suggestedPath)>;

    HistoryDialog(HistoryLocation location, QWidget* parent = nullptr);
    ~HistoryDialog() override;

    // Replaces the save dialog, e.g. in tests.
    void setCsvChooser(CsvChooser chooser);

    // Reads the rows the filters select; the table follows when they arrive.
    void refresh();
    void exportCsv();
    // Whether a read is under way (for tests and the status line).
    bool isReading() const { return m_reading > 0; }

signals:
    // The table holds the rows of the latest read (or its error is shown).
    void rowsShown();
    // The log of the selected update is shown.
    void detailsShown();

private:
    bool readFilter(HistoryFilter* filter);
    void showSelected();
    void setStatus(const QString& text);
    QString chooseCsvPath();

    HistoryLocation m_location;
    HistoryTableModel* m_model;
    QSortFilterProxyModel* m_sorted;
    QLabel* m_where;
    QLineEdit* m_unit;
    QLineEdit* m_since;
    QLineEdit* m_until;
    QComboBox* m_outcome;
    QLineEdit* m_sha256;
    QLineEdit* m_serial;
    QLineEdit* m_lot;
    QSpinBox* m_limit;
    QPushButton* m_show;
    QTableView* m_table;
    QPlainTextEdit* m_details;
    QLabel* m_status;
    QPushButton* m_export;
    QPushButton* m_close;
    CsvChooser m_csvChooser;
    QString m_lastCsvFolder;
    quint64 m_listSerial = 0;
    quint64 m_detailSerial = 0;
    int m_reading = 0;
};
